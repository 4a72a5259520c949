"""Helpers for the init and grading scripts of Oxbell course problems.

The Oxbell client runs a problem's script in PyPy with this module importable. It writes one
JSON document, {"servers": {name: {"address": ..., "port": ...}}}, to the script's standard
input and closes it; the script answers with one JSON message per line on standard output:

    feedback(summary, detail)  a feedback entry shown to the student
    failed(reason)             the script could not do its work (shown, does not end the run)
    complete(state)            the result that the client posts to the course server

Anything written to standard error, or a non-zero exit code, makes the run fail.
"""

import http.client
import json
import socket
import sys

__all__ = ["servers", "feedback", "failed", "complete", "address", "reachable", "http_get", "Grader"]


def _read_servers():
    try:
        # The client writes UTF-8 whatever the system's code page is.
        document = json.loads(sys.stdin.buffer.read().decode("utf-8") or "{}")
    except ValueError:
        return {}
    found = document.get("servers") if isinstance(document, dict) else None
    return found if isinstance(found, dict) else {}


# The student's practice servers by name, as configured in the client's user settings.
servers = _read_servers()


def _send(message):
    sys.stdout.write(json.dumps(message) + "\n")
    sys.stdout.flush()


def feedback(summary, detail=""):
    _send({"type": "feedback", "summary": str(summary), "detail": str(detail)})


def failed(reason):
    _send({"type": "failed", "reason": str(reason)})


def complete(state):
    _send({"type": "complete", "state": state})


def address(name):
    """(host, port) of a configured server, or None when the student has not configured it."""
    server = servers.get(name)
    if not isinstance(server, dict):
        return None
    try:
        return str(server.get("address", "")), int(server.get("port", ""))
    except (TypeError, ValueError):
        return None


def reachable(name, timeout=3.0):
    """(True, "") when a TCP connection to the named server succeeds, else (False, why)."""
    where = address(name)
    if where is None:
        return False, "no server named '%s' is configured (or its port is not a number)" % name
    host, port = where
    try:
        with socket.create_connection((host, port), timeout=timeout):
            return True, ""
    except OSError as error:
        return False, "%s:%d is not reachable (%s)" % (host, port, error.strerror or error)



def http_get(name, path, timeout=3.0, limit=65536):
    """(status, body) of an HTTP GET of `path` on the named server; raises OSError when the server
    does not answer, KeyError when no server of that name is configured."""
    where = address(name)
    if where is None:
        raise KeyError(name)
    connection = http.client.HTTPConnection(where[0], where[1], timeout=timeout)
    try:
        connection.request("GET", path)
        response = connection.getresponse()
        return response.status, response.read(limit)
    finally:
        connection.close()

class Grader:
    """Collects named checks, reports each as feedback, and sends them as the result state:
    {"checks": [{"name": str, "passed": bool, "points": number, "detail": str}, ...]}."""

    def __init__(self):
        self.checks = []

    def check(self, name, passed, points=1, detail=""):
        passed = bool(passed)
        self.checks.append({"name": str(name), "passed": passed, "points": points, "detail": str(detail)})
        feedback("%s: %s" % (name, "passed" if passed else "failed"), detail)
        return passed

    def finish(self):
        complete({"checks": self.checks})

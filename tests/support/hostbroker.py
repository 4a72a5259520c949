#!/usr/bin/env python3
"""Runs the practice server for test programs under Wine, which cannot drive a program of this
machine through pipes (support/hostprocess.cpp is the other end).

    hostbroker.py PROGRAM WINEPREFIX

prints the loopback port it listens on, then serves until its standard input closes. A test sends
one JSON line {"program": PROGRAM, "arguments": [...], "stderr": file}; PROGRAM (no other) runs with
those arguments, Windows paths among them and the standard error file turned into this machine's
paths through the prefix's drives. Each line it writes to standard output, and to standard error
when no file is named, comes back as {"out": line}, its end as {"exit": code}. The line "terminate"
sends it SIGTERM, "kill" SIGKILL; a closed connection kills it.
"""
import json
import os
import re
import socket
import subprocess
import sys
import threading

windows_path = re.compile(r"^([A-Za-z]):[\\/](.*)$")


def host_path(prefix, text):
    match = windows_path.match(text)
    if not match:
        return text
    drive = os.path.realpath(os.path.join(prefix, "dosdevices", match.group(1).lower() + ":"))
    return os.path.join(drive, match.group(2).replace("\\", "/"))


def serve(connection, program, prefix):
    with connection, connection.makefile("rwb", buffering=0) as stream:
        request = json.loads(stream.readline())
        send_lock = threading.Lock()

        def send(message):
            with send_lock:
                try:
                    stream.write(json.dumps(message).encode() + b"\n")
                except OSError:
                    pass

        if request.get("program") != program:
            send({"out": "the broker runs %s, not %s\n" % (program, request.get("program"))})
            send({"exit": 127})
            return
        arguments = [host_path(prefix, a) for a in request["arguments"]]
        stderr = subprocess.STDOUT
        if request.get("stderr"):
            stderr = open(host_path(prefix, request["stderr"]), "ab")
        child = subprocess.Popen([program] + arguments, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=stderr)

        def commands():
            for line in stream:
                if line.strip() == b"terminate":
                    child.terminate()
                elif line.strip() == b"kill":
                    child.kill()
            child.kill()

        threading.Thread(target=commands, daemon=True).start()
        for line in child.stdout:
            send({"out": line.decode(errors="replace")})
        send({"exit": child.wait()})


def main():
    program, prefix = sys.argv[1], sys.argv[2]
    listener = socket.create_server(("127.0.0.1", 0))
    print(listener.getsockname()[1], flush=True)

    def accept():
        while True:
            connection, _ = listener.accept()
            threading.Thread(target=serve, args=(connection, program, prefix), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    sys.stdin.read()


if __name__ == "__main__":
    main()

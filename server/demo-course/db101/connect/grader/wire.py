"""Just enough of the MongoDB wire protocol (OP_MSG, BSON) to send a hello command."""

import socket
import struct

OP_MSG = 2013


def _cstring(text):
    return text.encode("utf-8") + b"\x00"


def _document(fields):
    body = b""
    for name, value in fields:
        if isinstance(value, int):
            body += b"\x10" + _cstring(name) + struct.pack("<i", value)
        else:
            encoded = value.encode("utf-8") + b"\x00"
            body += b"\x02" + _cstring(name) + struct.pack("<i", len(encoded)) + encoded
    return struct.pack("<i", len(body) + 5) + body + b"\x00"


# Sizes of the fixed-size BSON types; the others carry their own length.
_FIXED = {1: 8, 7: 12, 8: 1, 9: 8, 10: 0, 16: 4, 17: 8, 18: 8, 19: 16}


def _top_level(document):
    """The top-level numeric and boolean fields of a BSON document, by name."""
    fields = {}
    at = 4
    while at < len(document) - 1:
        kind = document[at]
        end = document.index(b"\x00", at + 1)
        name = document[at + 1:end].decode("utf-8", "replace")
        at = end + 1
        if kind == 1:
            fields[name] = struct.unpack_from("<d", document, at)[0]
        elif kind == 8:
            fields[name] = document[at] == 1
        elif kind == 16:
            fields[name] = struct.unpack_from("<i", document, at)[0]
        if kind in _FIXED:
            at += _FIXED[kind]
        elif kind in (2, 13, 14):
            at += 4 + struct.unpack_from("<i", document, at)[0]
        elif kind in (3, 4):
            at += struct.unpack_from("<i", document, at)[0]
        elif kind == 5:
            at += 5 + struct.unpack_from("<i", document, at)[0]
        else:
            break
    return fields


def _receive(connection, count):
    data = b""
    while len(data) < count:
        chunk = connection.recv(count - len(data))
        if not chunk:
            raise OSError("the server closed the connection")
        data += chunk
    return data


def hello(host, port, timeout=3.0):
    """(True, detail) when the server answers {"hello": 1} with ok: 1, else (False, why)."""
    command = _document([("hello", 1), ("$db", "admin")])
    body = struct.pack("<I", 0) + b"\x00" + command
    message = struct.pack("<iiii", 16 + len(body), 1, 0, OP_MSG) + body
    try:
        with socket.create_connection((host, port), timeout=timeout) as connection:
            connection.sendall(message)
            length, _, _, opcode = struct.unpack("<iiii", _receive(connection, 16))
            if opcode != OP_MSG or length < 21 or length > 48 * 1024 * 1024:
                return False, "%s:%d does not answer like a MongoDB server" % (host, port)
            reply = _receive(connection, length - 16)
    except (OSError, struct.error) as error:
        return False, "no answer from %s:%d (%s)" % (host, port, error)
    try:
        fields = _top_level(reply[5:])
    except (ValueError, struct.error):
        return False, "%s:%d sent a reply that is not BSON" % (host, port)
    if fields.get("ok") in (1, 1.0, True):
        return True, "%s:%d answered hello" % (host, port)
    return False, "%s:%d refused the hello command" % (host, port)

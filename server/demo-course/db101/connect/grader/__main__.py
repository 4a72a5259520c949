# Runs as a zip archive: nothing is prepended to it, so it imports oxbell itself, and it carries a
# helper module of its own (wire.py) beside this file.
from oxbell import Grader, address, reachable

import wire

grader = Grader()
up, why = reachable("dbnode1")
if grader.check("dbnode1 is reachable", up, points=1,
                detail="" if up else why + ". Start your database server and check its address and port."):
    host, port = address("dbnode1")
    answered, detail = wire.hello(host, port)
    grader.check("dbnode1 answers a hello command", answered, points=1, detail=detail)
else:
    grader.check("dbnode1 answers a hello command", False, points=1,
                 detail="Not tried: the database server is not reachable.")
grader.finish()

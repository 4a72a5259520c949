import http.client
import json

from oxbell import Grader, http_get, reachable


grader = Grader()
up, why = reachable("web1")
status, body = None, b""
if up:
    try:
        status, body = http_get("web1", "/health")
    except (OSError, http.client.HTTPException) as error:
        why = "no HTTP answer: %s" % error
else:
    why += ". Start your web server and check its address and port."
grader.check("GET /health answers 200", status == 200, points=1,
             detail=why if status is None else "the answer was %d" % status)
try:
    document = json.loads(body.decode("utf-8"))
except ValueError:
    document = None
healthy = isinstance(document, dict) and document.get("status") == "ok"
grader.check("/health reports {\"status\": \"ok\"}", healthy, points=1,
             detail="" if healthy else "the body was %r" % body[:200])
grader.finish()

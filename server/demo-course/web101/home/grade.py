import http.client

from oxbell import Grader, http_get, reachable


grader = Grader()
up, why = reachable("web1")
if grader.check("web1 is reachable", up, points=1,
                detail="" if up else why + ". Start your web server and check its address and port."):
    try:
        status, _ = http_get("web1", "/")
        grader.check("GET / answers 200", status == 200, points=1, detail="the answer was %d" % status)
    except (OSError, http.client.HTTPException) as error:
        grader.check("GET / answers 200", False, points=1, detail="no HTTP answer: %s" % error)
else:
    grader.check("GET / answers 200", False, points=1, detail="Not tried: the web server is not reachable.")
grader.finish()

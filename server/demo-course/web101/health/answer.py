import http.client

from oxbell import Grader, http_get, reachable


grader = Grader()
up, why = reachable("web1")
if not up:
    grader.check("GET / answers 2xx", False, points=1,
                 detail=why + ". Start your web server and check its address and port.")
else:
    try:
        status, _ = http_get("web1", "/")
        grader.check("GET / answers 2xx", 200 <= status < 300, points=1, detail="the answer was %d" % status)
    except (OSError, http.client.HTTPException) as error:
        grader.check("GET / answers 2xx", False, points=1, detail="no HTTP answer: %s" % error)
grader.finish()

import http.client

from oxbell import Grader, address, reachable


def get(name, path):
    """(status, body) of a GET on a configured server; raises OSError when it does not answer."""
    host, port = address(name)
    connection = http.client.HTTPConnection(host, port, timeout=3)
    try:
        connection.request("GET", path)
        response = connection.getresponse()
        return response.status, response.read(65536)
    finally:
        connection.close()


grader = Grader()
up, why = reachable("web1")
if not up:
    grader.check("GET / answers 2xx", False, points=1,
                 detail=why + ". Start your web server and check its address and port.")
else:
    try:
        status, _ = get("web1", "/")
        grader.check("GET / answers 2xx", 200 <= status < 300, points=1, detail="the answer was %d" % status)
    except (OSError, http.client.HTTPException) as error:
        grader.check("GET / answers 2xx", False, points=1, detail="no HTTP answer: %s" % error)
grader.finish()

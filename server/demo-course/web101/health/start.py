from oxbell import Grader, reachable

grader = Grader()
up, why = reachable("web1")
grader.check("web1 is reachable", up, points=1,
             detail="" if up else why + ". Start your web server and check its address and port.")
grader.finish()

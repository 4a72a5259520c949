# A problem whose close date has passed: it can still be tested, but no longer turned in.
from oxbell import Grader, reachable

grader = Grader()
up, why = reachable("dbnode1")
grader.check("dbnode1 is reachable", up, points=1,
             detail="" if up else why + ". Start your database server and check its address and port.")
grader.finish()

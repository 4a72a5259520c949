# Tells the student what the three steps expect and whether web1 can be reached already.
from oxbell import failed, feedback, reachable

feedback("Step 1", "Start a web server at the address and port configured as web1.")
feedback("Step 2", "Make it answer GET / with any 2xx status.")
feedback("Step 3", "Make GET /health answer 200 with the JSON document {\"status\": \"ok\"}.")
up, why = reachable("web1")
if up:
    feedback("web1 is reachable", "You can turn in step 1.")
else:
    failed("web1 is not reachable yet: %s" % why)

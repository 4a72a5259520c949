# Full marks as soon as the client can run scripts and knows at least one server. The student's
# servers need not be running yet: their reachability is reported, not graded.
from oxbell import Grader, feedback, reachable, servers

grader = Grader()
names = sorted(servers)
grader.check("Servers are configured", bool(names), points=1,
             detail=", ".join(names) if names else "Add your servers in the settings.")
for name in names:
    up, why = reachable(name, timeout=1.0)
    feedback("%s: %s" % (name, "reachable" if up else "not reachable yet"),
             "" if up else why + " (not graded in this problem)")
grader.finish()

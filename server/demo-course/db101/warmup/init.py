# Prepares nothing on the student's servers: it shows which servers the client knows about, so the
# student can correct the settings before the real problems start.
from oxbell import feedback, servers

if not servers:
    feedback("No servers are configured", "Add your web server (web1) and database server (dbnode1) in the settings.")
for name in sorted(servers):
    server = servers[name]
    feedback("%s is configured" % name, "address %s, port %s" % (server.get("address", "?"), server.get("port", "?")))
feedback("Setup checked", "Turn in this problem to record that your client works.")

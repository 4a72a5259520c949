#pragma once

#include <QString>

// The one owner of the client's process-wide signal handling. A script run must not outlive the
// client: whatever ends the client (main returning, exit() after a fatal error, or SIGHUP, SIGINT,
// SIGQUIT, SIGTERM; on Windows a console's Ctrl+C or Ctrl+Break, its window closed, the user's
// log-off or the system's shut-down) stops the process group of every live run and removes its
// private folder; a signal then ends the client as it would have without this. The student's own
// servers run outside the groups and are never touched.
//
// On Windows a run's group is a job object that ends its processes when its last handle closes,
// so even a client that crashes takes its runs along.
namespace runguard {

// Installs the signal handling and the exit cleanup: once, at start-up, before any front end
// exists; later calls do nothing. Signals that are ignored, or handled by someone else, keep their
// handling.
void install();

// While set, `restore` runs first whenever a signal is about to end the client (a console puts
// its terminal back this way). It runs inside a signal handler, so it must be async-signal-safe;
// on Windows in the console's control handler, on a thread of its own. Null ends it.
void setRestorer(void (*restore)());

// Blocks the guarded signals in the calling thread for its lifetime, so that a child created
// meanwhile starts with them blocked: no signal can reach the client's handling through it
// before the child has called prepareChild().
class ChildCreation {
public:
    ChildCreation();
    ~ChildCreation();
    ChildCreation(const ChildCreation&) = delete;
    ChildCreation& operator=(const ChildCreation&) = delete;
};

// In a child between fork and exec: default actions for every signal the guard handles, then the
// signal mask the client had before ChildCreation. A signal that arrived meanwhile ends the child.
// Async-signal-safe.
void prepareChild();

// A live run: its interpreter leads process group `group` (on Windows: `group` is the handle of
// the job object that holds the interpreter; 0 before it starts); `folder` holds its script.
// Called again as the run gets its group.
void remember(const void* run, qint64 group, const QString& folder);
// The run is over: its owner has stopped its group, or it ended cleanly and its processes are no
// longer the client's. Removes its folder under the lock the signal path's cleanup holds, so that
// the two never remove it at once and the client never ends half-way through.
void forget(const void* run);

// Stops every process of `group`: SIGTERM, then SIGKILL to whatever is still alive after
// stopGraceMs (on Windows: every process of the job, at once). Returns once nothing of the group
// runs any more (an unreaped child may remain as a zombie for its parent to collect).
void stopGroup(qint64 group);

constexpr int stopGraceMs = 1000;

}

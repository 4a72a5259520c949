#pragma once

#include <QString>

// A script run must not outlive the client: whatever ends the client (main returning, exit()
// after a fatal error, or SIGHUP, SIGINT, SIGQUIT, SIGTERM) stops the run's process group and
// removes its private folder; a signal then ends the client as it would have without this.
// The student's own servers run outside the group and are never touched.
namespace runguard {

// Installs the signal handling and the exit cleanup; once per process, before the first run.
// Signals that are ignored, or handled by someone else, keep their handling.
void install();

// In a child between fork and exec, before it leaves the client's process group: a guarded
// signal sent to the new group must end the child, not reach the client's cleanup through the
// inherited handler. Async-signal-safe.
void restoreDefaultSignals();

// The run under way: its interpreter leads process group `group`; `folder` holds its script.
void remember(qint64 group, const QString& folder);
// The run's owner has stopped its group and removed its folder.
void forget(qint64 group);

// Stops every process of `group`: SIGTERM, then SIGKILL to whatever is still alive after
// stopGraceMs. Returns once nothing of the group runs any more (an unreaped child may remain
// as a zombie for its parent to collect).
void stopGroup(qint64 group);

constexpr int stopGraceMs = 1000;

}

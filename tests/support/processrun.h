#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>

// What a child process left behind.
struct ProcessOutcome {
    // False when the process had to be stopped: it ran past the time allowed or was stopped on request.
    bool finished = false;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;
};

// Runs a program with an empty standard input until it ends or `timeoutMs` passes. `stopWhen`,
// if given, is polled while it runs; once it holds, the program is killed.
ProcessOutcome runProcess(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment,
                          int timeoutMs = 60000, const std::function<bool()>& stopWhen = {});

// A test program that needs a process of its own (one that exits, or one under a resource limit)
// starts itself again as "--child NAME ARGUMENTS...". Its main() asks childRequest() first and, for
// a non-empty name, runs that child instead of the tests.
struct ChildRequest {
    QString name;
    QStringList arguments;
};
ChildRequest childRequest(int argc, char** argv);
// The process exists and is not a zombie.
bool processRunning(qint64 pid);
// Ends the process at once, if it runs.
void endProcess(qint64 pid);
ProcessOutcome runSelfAsChild(const QString& name, const QStringList& arguments,
                              const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());

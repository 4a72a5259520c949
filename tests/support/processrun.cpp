#include "support/processrun.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#endif

ProcessOutcome runProcess(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment,
                          int timeoutMs, const std::function<bool()>& stopWhen)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);

    ProcessOutcome outcome;
    if (!process.waitForStarted(timeoutMs))
        return outcome;
    QElapsedTimer clock;
    clock.start();
    bool ended = false;
    while (!ended && clock.elapsed() < timeoutMs && !(stopWhen && stopWhen()))
        ended = process.waitForFinished(20);
    if (!ended) {
        process.kill();
        process.waitForFinished(-1);
    }
    outcome.finished = ended;
    outcome.exitStatus = process.exitStatus();
    outcome.exitCode = process.exitCode();
    outcome.standardOutput = process.readAllStandardOutput();
    outcome.standardError = process.readAllStandardError();
    return outcome;
}

ChildRequest childRequest(int argc, char** argv)
{
    ChildRequest request;
    if (argc < 3 || qstrcmp(argv[1], "--child") != 0)
        return request;
    request.name = QString::fromUtf8(argv[2]);
    for (int i = 3; i < argc; ++i)
        request.arguments.append(QString::fromUtf8(argv[i]));
    return request;
}

ProcessOutcome runSelfAsChild(const QString& name, const QStringList& arguments, const QProcessEnvironment& environment)
{
    return runProcess(QCoreApplication::applicationFilePath(), QStringList{QStringLiteral("--child"), name} + arguments,
                      environment);
}

bool processRunning(qint64 pid)
{
#ifdef Q_OS_WIN
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    DWORD exitCode = 0;
    const bool running = process && GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE;
    if (process)
        CloseHandle(process);
    return running;
#else
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray fields = stat.readAll();
    return fields.mid(fields.lastIndexOf(')') + 2, 1) != "Z";
#endif
}

void endProcess(qint64 pid)
{
#ifdef Q_OS_WIN
    if (const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid))) {
        TerminateProcess(process, 1);
        CloseHandle(process);
    }
#else
    ::kill(pid_t(pid), SIGKILL);
#endif
}

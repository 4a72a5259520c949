#include "engine/scriptrun.h"

#include "engine/oxbell.h"
#include "engine/privatefile.h"
#include "engine/runguard.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QPointer>
#include <QProcess>

#include <algorithm>
#include <climits>

#ifdef Q_OS_WIN
#include <windows.h>

#include <tlhelp32.h>
#else
#include <csignal>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

// The interpreter. It leads a session and process group of its own, so that the run is stopped
// whole, with whatever the script started; a process that leaves the group on purpose (a server
// of the student's) is not the run's. On Windows it starts suspended, and runs only once it is in
// the run's job object: nothing it starts can escape the job before.
class ChildProcess : public QProcess {
public:
    explicit ChildProcess(QObject* parent)
        : QProcess(parent)
    {
#ifdef Q_OS_WIN
        setCreateProcessArgumentsModifier(
            [](QProcess::CreateProcessArguments* arguments) { arguments->flags |= CREATE_SUSPENDED; });
#endif
    }

#ifndef Q_OS_WIN
protected:
    // In the child, between fork and exec.
    void setupChildProcess() override
    {
        runguard::prepareChild();
        setsid();
#ifdef Q_OS_LINUX
        // Even a client killed outright takes its interpreter along.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parentId)
            _exit(127);
#endif
    }

private:
    const pid_t parentId = getpid();
#endif
};

namespace {

// SIGKILL ends a child at once; only one stuck in the kernel takes longer, and the toolkit still
// waits for that one when it destroys the process object.
constexpr int reapTimeoutMs = 5000;

QString processErrorReason(QProcess::ProcessError error)
{
    switch (error) {
    case QProcess::FailedToStart:
        return QStringLiteral("The process failed to start. Either the invoked program is missing, or you may have "
                              "insufficient permissions to invoke the program.");
    case QProcess::Crashed:
        return QStringLiteral("The process crashed some time after starting successfully.");
    case QProcess::Timedout:
        return QStringLiteral("The process timed out.");
    case QProcess::ReadError:
        return QStringLiteral("An error occurred when attempting to read from the process.");
    case QProcess::WriteError:
        return QStringLiteral("An error occurred when attempting to write to the process.");
    case QProcess::UnknownError:
        return QStringLiteral("An unknown error occurred.");
    }
    return QString();
}

#ifdef Q_OS_WIN

// A job whose processes all end when its last handle is closed, the client's end included.
HANDLE newJob()
{
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job && !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

bool putInJob(HANDLE job, DWORD processId)
{
    const HANDLE process = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, processId);
    const bool put = job && process && AssignProcessToJobObject(job, process);
    const DWORD error = GetLastError();
    if (process)
        CloseHandle(process);
    // For the log: why it failed.
    SetLastError(error);
    return put;
}

// Lets the one thread of a process created suspended run.
bool resume(DWORD processId)
{
    const HANDLE threads = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (threads == INVALID_HANDLE_VALUE)
        return false;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    bool resumed = false;
    for (BOOL more = Thread32First(threads, &entry); more && !resumed; more = Thread32Next(threads, &entry)) {
        if (entry.th32OwnerProcessID != processId)
            continue;
        if (const HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID)) {
            resumed = ResumeThread(thread) != DWORD(-1);
            CloseHandle(thread);
        }
    }
    CloseHandle(threads);
    return resumed;
}

#endif

} // namespace

// Python puts the script's own folder first on the import path, so the script lies alone in a
// folder that only its owner can enter: no other local user can plant a module there.
ScriptRun::ScriptRun(bool isInit, QObject* parent)
    : QObject(parent)
    , init(isInit)
    , process(new ChildProcess(this))
{
    if (folder.isValid())
        privatefile::restrictFolder(folder.path());
    runguard::remember(this, 0, folder.path());
    timeLimit.setSingleShot(true);
    connect(process, &QProcess::readyReadStandardOutput, this, &ScriptRun::readMessages);
    connect(process, &QProcess::readyReadStandardError, this, &ScriptRun::keepStandardError);
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this, &ScriptRun::interpreterEnded);
    connect(process, &QProcess::errorOccurred, this, &ScriptRun::processFailed);
}

ScriptRun::~ScriptRun()
{
    stop();
}

QString ScriptRun::textUpToNul(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes.constData(), int(qstrnlen(bytes.constData(), uint(bytes.size()))));
}

qint64 ScriptRun::processId() const
{
    return process->processId();
}

QString ScriptRun::scriptPath() const
{
    return folder.filePath(QStringLiteral("script.py"));
}

bool ScriptRun::writeScript(const QByteArray& script, QString* error)
{
    QFile file(scriptPath());
    const QByteArray importLine = QByteArrayLiteral("from oxbell import servers\n");
    // A script cut short by a full disk must not run as if it were whole.
    const bool written = folder.isValid() && file.open(QIODevice::WriteOnly | QIODevice::NewOnly)
        && (script.startsWith("PK") || file.write(importLine) == importLine.size())
        && file.write(script) == script.size() && file.flush();
    if (!written)
        *error = folder.isValid() ? file.errorString() : folder.errorString();
    return written;
}

void ScriptRun::start(const QString& interpreter, const QString& workingDirectory,
                      const QProcessEnvironment& environment, const QByteArray& input, double limitSeconds)
{
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->setWorkingDirectory(workingDirectory);
    const QPointer<ScriptRun> self = this;
    {
        // A failure the toolkit reports from inside start() waits until the client's signals are
        // back: whoever hears of it may run for a long time (a dialog).
        const runguard::ChildCreation creation;
        starting = true;
        process->start(interpreter, {scriptPath()}, QIODevice::ReadWrite);
        starting = false;
    }
    if (failureAtStart >= 0)
        processFailed(QProcess::ProcessError(failureAtStart));
    if (!self || done || process->state() == QProcess::NotRunning)
        return;
#ifdef Q_OS_WIN
    const auto processId = DWORD(process->processId());
    job = newJob();
    if (putInJob(job, processId))
        group = qint64(quintptr(job));
    else
        qWarning() << "The script's processes could not be put in a job object:" << GetLastError();
    if (!resume(processId)) {
        stop();
        emit failed(processErrorReason(QProcess::FailedToStart));
        return;
    }
#else
    group = process->processId();
#endif
    runguard::remember(this, group, folder.path());
    if (limitSeconds > 0) {
        connect(&timeLimit, &QTimer::timeout, this, [this, limitSeconds] { timeLimitPassed(limitSeconds); });
        timeLimit.start(int(std::min(std::max(limitSeconds * 1000, 1.0), double(INT_MAX))));
    }
    process->write(input);
    process->closeWriteChannel();
}

void ScriptRun::stop()
{
    done = true;
    stopProcesses(false);
}

void ScriptRun::readMessages()
{
    const QPointer<ScriptRun> self = this;
    process->setReadChannel(QProcess::StandardOutput);
    const QString overlong = QStringLiteral("a line longer than %1 bytes: ").arg(Oxbell::maxMessageLineBytes);
    // Whoever hears a message may stop the run, or let it go and start another.
    while (self && !done) {
        if (!process->canReadLine()) {
            // A line that never ends must not fill the client's memory.
            if (process->bytesAvailable() > Oxbell::maxMessageLineBytes)
                endMalformed(overlong, process->peek(Oxbell::messageExcerptBytes + 1));
            return;
        }
        const QByteArray line = process->readLine();
        if (line.size() > Oxbell::maxMessageLineBytes) {
            endMalformed(overlong, line);
            return;
        }
        QJsonParseError parseError;
        const QJsonDocument message = QJsonDocument::fromJson(line, &parseError);
        if (parseError.error != QJsonParseError::NoError) {
            endMalformed(parseError.errorString(), line);
            return;
        }
        emit messageReceived(message.object(), line);
    }
}

void ScriptRun::endMalformed(const QString& reason, const QByteArray& line)
{
    // The child can no longer be understood: it is stopped before anyone is told.
    stop();
    emit malformedLine(reason, line);
}

// Standard error is read as it comes; only its first maxStandardErrorBytes are kept.
void ScriptRun::keepStandardError()
{
    const QByteArray chunk = process->readAllStandardError();
    const int room = std::min(Oxbell::maxStandardErrorBytes - standardErrorHead.size(), chunk.size());
    standardErrorHead.append(chunk.constData(), room);
    standardErrorBeyond += chunk.size() - room;
}

void ScriptRun::interpreterEnded(int exitCode)
{
    if (done)
        return;
    keepStandardError();
    const QString standardError = textUpToNul(standardErrorHead);
    // A run that wrote to standard error has failed whatever its exit code.
    const bool clean = exitCode == 0 && standardError.isEmpty();
    // Before anything is shown: after a failure nothing the script started goes on; after a clean
    // end whatever it started is left running, as an init script's servers must be.
    if (clean)
        release(true);
    else
        stopProcesses(true);
    const QPointer<ScriptRun> self = this;
    if (!standardError.isEmpty()) {
        emit standardErrorWritten(standardError, standardErrorBeyond);
        if (!self || done)
            return;
    }
    readMessages();
    if (!self || done)
        return;
    done = true;
    emit ended(clean);
}

void ScriptRun::processFailed(QProcess::ProcessError error)
{
    if (starting) {
        failureAtStart = error;
        return;
    }
    if (done)
        return;
    if (error == QProcess::Crashed) {
        // What the child sent before it died still belongs to the run.
        const QPointer<ScriptRun> self = this;
        readMessages();
        if (!self || done)
            return;
    }
    done = true;
    // A crashed interpreter, or one that never started, is the toolkit's to collect: it is still
    // inside its own handling of it. Any other failure leaves a child that may still run.
    stopProcesses(error == QProcess::Crashed || error == QProcess::FailedToStart);
    emit failed(processErrorReason(error));
}

void ScriptRun::timeLimitPassed(double seconds)
{
    if (done)
        return;
    stop();
    emit failed(
        QStringLiteral("The script did not finish within %1 %2 and was stopped.")
            .arg(QString::number(seconds), seconds == 1 ? QStringLiteral("second") : QStringLiteral("seconds")));
}

void ScriptRun::stopProcesses(bool interpreterCollected)
{
    if (settled)
        return;
    timeLimit.stop();
    runguard::stopGroup(group);
    if (!interpreterCollected && process->state() != QProcess::NotRunning) {
        // What the group stop cannot reach: an interpreter stopped before it led a group of its
        // own, or on Windows one that no job took in.
        process->kill();
        // Collected here rather than at the deferred delete, so no zombie outlives the run.
        process->waitForFinished(reapTimeoutMs);
        // What it started before the kill is in its group by now.
        runguard::stopGroup(group);
    }
    release(false);
}

void ScriptRun::release(bool processesStay)
{
    if (settled)
        return;
    settled = true;
    timeLimit.stop();
    runguard::forget(this);
#ifdef Q_OS_WIN
    if (job) {
        // What a clean end left running is no longer the run's: closing the job must not end it.
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION noLimits = {};
        if (processesStay)
            SetInformationJobObject(job, JobObjectExtendedLimitInformation, &noLimits, sizeof noLimits);
        CloseHandle(job);
        job = nullptr;
    }
#else
    Q_UNUSED(processesStay)
#endif
}

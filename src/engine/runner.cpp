#include "engine/names.h"
#include "engine/oxbell.h"
#include "engine/runguard.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QJsonParseError>
#include <QPointer>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cmath>

#ifndef Q_OS_WIN
#include <csignal>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

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

QString failurePrefix(bool init, bool testMode)
{
    if (init)
        return QStringLiteral("Failed to initialize assignment\nReason:\n");
    return QStringLiteral("Failed to ") + modeVerb[testMode] + QStringLiteral(" assignment\nReason:\n");
}

// The interpreter of one run. It leads a process group of its own, so that the run is stopped
// whole, with whatever the script started; a process that leaves the group on purpose (a server
// of the student's) is not the run's. Python puts the script's own folder first on the import
// path, so the script lies alone in a folder that only its owner can enter: no other local user
// can plant a module there.
class ScriptProcess : public QProcess {
public:
    explicit ScriptProcess(QObject* parent)
        : QProcess(parent)
    {
        if (folder.isValid())
            QFile::setPermissions(folder.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        timeLimit.setSingleShot(true);
    }

    ~ScriptProcess() override { stop(false); }

    ScriptProcess(const ScriptProcess&) = delete;
    ScriptProcess& operator=(const ScriptProcess&) = delete;

    // Ends the run's processes and removes its folder, once. `interpreterEnded`: the toolkit has
    // already collected the interpreter, and must not be asked to wait for it again.
    void stop(bool interpreterEnded)
    {
        if (stopped)
            return;
        stopped = true;
        timeLimit.stop();
#ifndef Q_OS_WIN
        runguard::stopGroup(group);
#endif
        if (!interpreterEnded && state() != NotRunning) {
            // What the group stop cannot reach: the interpreter on Windows, or one stopped before it
            // led a group of its own.
            kill();
            // Collected here rather than at the deferred delete, so no zombie outlives the run.
            waitForFinished(reapTimeoutMs);
        }
        folder.remove();
        runguard::forget(group);
    }

    // Standard error is read as it comes; only its first maxStandardErrorBytes are kept.
    void keepStandardError()
    {
        const QByteArray chunk = readAllStandardError();
        const int room = std::min(Oxbell::maxStandardErrorBytes - standardErrorHead.size(), chunk.size());
        standardErrorHead.append(chunk.constData(), room);
        standardErrorBeyond += chunk.size() - room;
    }

    QTemporaryDir folder;
    qint64 group = 0;
    QTimer timeLimit;
    QByteArray standardErrorHead;
    qint64 standardErrorBeyond = 0;

protected:
    // In the child, between fork and exec.
    void setupChildProcess() override
    {
#ifndef Q_OS_WIN
        runguard::restoreDefaultSignals();
        setsid();
#endif
#ifdef Q_OS_LINUX
        // Even a client killed outright takes its interpreter along.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parentId)
            _exit(127);
#endif
    }

private:
#ifndef Q_OS_WIN
    const pid_t parentId = getpid();
#endif
    bool stopped = false;
};

ScriptProcess* scriptProcessOf(QProcess* process)
{
    return static_cast<ScriptProcess*>(process);
}

// What a message shows of a line the client could not use.
QByteArray excerpt(const QByteArray& line)
{
    return line.size() <= Oxbell::messageExcerptBytes ? line : line.left(Oxbell::messageExcerptBytes) + "...";
}

// The child's bytes as UTF-8 text; a NUL byte ends the text.
QString textUpToNul(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes.constData(), int(qstrnlen(bytes.constData(), uint(bytes.size()))));
}

} // namespace

void Oxbell::runScript(QByteArray script, bool isInit)
{
    runguard::install();
    clearFeedback();
    // A result belongs to the run that sent it: a script that sends none must not post the result
    // of an earlier run, perhaps of another problem.
    scriptState = QJsonDocument();
    if (scriptProcess)
        discardProcess();

    auto* const process = new ScriptProcess(this);
    scriptProcess = process;

    const QString appDir = QCoreApplication::applicationDirPath();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("PYTHONPATH"));
    environment.insert(QStringLiteral("PYTHONPATH"), appDir);
    qDebug() << "Set PYTHONPATH to:" << appDir;
    process->setProcessEnvironment(environment);

    // A process object that cancelRun or a later run has replaced may still report (its end, or
    // output already buffered); only the current child may act on the run.
    const auto onFinished = isInit ? &Oxbell::initFinished : &Oxbell::scriptFinished;
    const auto onError = isInit ? &Oxbell::initError : &Oxbell::scriptError;
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this, process, onFinished](int exitCode, QProcess::ExitStatus exitStatus) {
                if (process == scriptProcess)
                    (this->*onFinished)(exitCode, exitStatus);
            });
    connect(process, &QProcess::errorOccurred, this, [this, process, onError](QProcess::ProcessError error) {
        if (process == scriptProcess)
            (this->*onError)(error);
    });
    connect(process, &QProcess::readyReadStandardOutput, this, [this, process] {
        if (process == scriptProcess)
            readMessages();
    });
    connect(process, &QProcess::readyReadStandardError, process, &ScriptProcess::keepStandardError);
    const double limit = scriptTimeLimit;
    connect(&process->timeLimit, &QTimer::timeout, this, [this, process, isInit, limit] {
        if (process == scriptProcess)
            endRunOnTimeLimit(isInit, limit);
    });

    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->setWorkingDirectory(appDir);
    qDebug() << "Set working directory to:" << appDir;

    const QTemporaryDir& folder = process->folder;
    runguard::remember(0, folder.path());
    QFile file(folder.filePath(QStringLiteral("script.py")));
    const QByteArray importLine = QByteArrayLiteral("from oxbell import servers\n");
    // A script cut short by a full disk must not run as if it were whole.
    const bool written = folder.isValid() && file.open(QIODevice::WriteOnly | QIODevice::NewOnly)
        && (script.startsWith("PK") || file.write(importLine) == importLine.size())
        && file.write(script) == script.size() && file.flush();
    if (!written) {
        const QString reason = QStringLiteral("The script could not be written to a temporary file: ")
            + (folder.isValid() ? file.errorString() : folder.errorString());
        discardProcess();
        failRun(isInit, reason);
        return;
    }
    file.close();

    const QPointer<QProcess> started = process;
    process->start(interpreterPath, {file.fileName()}, QIODevice::ReadWrite);

    QJsonObject document;
    document.insert(JsonKey::servers, QJsonValue::fromVariant(userSettings.value(JsonKey::servers)));
    const QByteArray servers = QJsonDocument(document).toJson();
    qDebug() << "Running script with servers" << QString::fromUtf8(servers);
    // A start that failed at once has already ended the run through the error handler.
    if (started && started == scriptProcess && started->state() != QProcess::NotRunning) {
        process->group = process->processId();
        runguard::remember(process->group, folder.path());
        if (limit > 0)
            process->timeLimit.start(int(std::min(std::max(limit * 1000, 1.0), double(INT_MAX))));
        started->write(servers);
        started->closeWriteChannel();
    }
}

double Oxbell::scriptTimeLimitOf(const QVariantMap& problem, const QVariantMap& userSettings)
{
    for (const QVariant& given :
         {problem.value(JsonKey::timeLimit), userSettings.value(JsonKey::scriptTimeLimit)}) {
        bool ok = false;
        const double seconds = given.toDouble(&ok);
        // What is not a number of seconds gives no limit; the next source decides.
        if (ok && std::isfinite(seconds) && seconds >= 0)
            return seconds;
    }
    return defaultScriptTimeLimitSeconds;
}

void Oxbell::endRunOnTimeLimit(bool init, double seconds)
{
    discardProcess();
    failRun(init,
            QStringLiteral("The script did not finish within %1 %2 and was stopped.")
                .arg(QString::number(seconds), seconds == 1 ? QStringLiteral("second") : QStringLiteral("seconds")));
}

void Oxbell::readMessages()
{
    const QPointer<QProcess> process = scriptProcess;
    if (!process)
        return;
    process->setReadChannel(QProcess::StandardOutput);
    const QString overlong = QStringLiteral("a line longer than %1 bytes: ").arg(maxMessageLineBytes);
    // A hook may cancel the run or start another one; lines of a replaced child are dropped.
    while (process && process == scriptProcess) {
        if (!process->canReadLine()) {
            // A line that never ends must not fill the client's memory.
            if (process->bytesAvailable() > maxMessageLineBytes)
                endRunMalformed(overlong, process->peek(messageExcerptBytes + 1));
            return;
        }
        const QByteArray line = process->readLine();
        if (line.size() > maxMessageLineBytes) {
            endRunMalformed(overlong, line);
            return;
        }

        QJsonParseError parseError;
        const QJsonDocument message = QJsonDocument::fromJson(line, &parseError);
        if (parseError.error != QJsonParseError::NoError) {
            endRunMalformed(parseError.errorString(), line);
            return;
        }

        const QJsonObject object = message.object();
        const QString type = object.value(JsonKey::type).toString();
        if (type == MessageType::feedback) {
            addFeedback(object.value(JsonKey::summary).toString(),
                        object.value(JsonKey::detail).toString());
        } else if (type == MessageType::failed) {
            errorMessage(failurePrefix(runState == RunState::Init, testMode)
                             + object.value(JsonKey::reason).toString(),
                         false);
        } else if (type == MessageType::complete) {
            scriptState = QJsonDocument(object.value(JsonKey::state).toObject());
        } else {
            errorMessage(
                textUpToNul(QByteArrayLiteral("Internal error: malformed message from subprocess: no 'type' field: ")
                            + excerpt(line)),
                false);
        }
    }
}

void Oxbell::endRunMalformed(const QString& reason, const QByteArray& line)
{
    // The child can no longer be understood: it is stopped before anyone is told, and the run
    // ends here, once, without the toolkit's report of the stop as a crash.
    discardProcess();
    runState = RunState::None;
    errorMessage(QStringLiteral("Internal error: malformed message from subprocess: ") + reason
                     + QString::fromUtf8(excerpt(line)),
                 true);
    scriptFailed();
}

bool Oxbell::checkStandardError()
{
    if (!scriptProcess)
        return false;
    ScriptProcess* const process = scriptProcessOf(scriptProcess);
    process->keepStandardError();
    const QString text = textUpToNul(process->standardErrorHead);
    if (text.isEmpty())
        return false;
    QString message = QStringLiteral("Unexpected output on standard error: this likely indicates a bug in the problem. "
                                     "Please notify the course staff.\n\n")
        + text;
    if (process->standardErrorBeyond > 0)
        message
            += QStringLiteral("\n\n(%1 more bytes of standard error are not shown.)").arg(process->standardErrorBeyond);
    errorMessage(message, false);
    return true;
}

bool Oxbell::settleEndedRun(bool* failed)
{
    const QPointer<QProcess> process = scriptProcess;
    // What the script left running ends with it, and its folder goes, before anything is shown.
    scriptProcessOf(process)->stop(true);
    // A run that wrote to standard error has failed whatever its exit code: it ends once, as a
    // failure, so a grade is never posted after the student was told the run failed.
    *failed = checkStandardError();
    if (!process || process != scriptProcess)
        return false;
    readMessages();
    if (!process || process != scriptProcess)
        return false;
    runState = RunState::None;
    return true;
}

void Oxbell::scriptFinished(int exitCode, QProcess::ExitStatus)
{
    bool failed = false;
    if (!settleEndedRun(&failed))
        return;
    if (failed || exitCode != 0)
        scriptFailed();
    else
        gradingFinished();
}

void Oxbell::initFinished(int exitCode, QProcess::ExitStatus)
{
    qDebug() << "Init finished.";
    bool failed = false;
    if (!settleEndedRun(&failed))
        return;
    if (failed || exitCode != 0)
        scriptFailed();
    else
        initCompleted();
}

bool Oxbell::refuseWhileRunning(int kind, const QString& busyItemText)
{
    if (runState != kind)
        return false;
    if (kind == RunState::Init)
        errorMessage(QStringLiteral("Please wait for ") + busyItemText + QStringLiteral(" to initialize "), false);
    else
        errorMessage(QStringLiteral("Please wait for ") + busyItemText + QStringLiteral(" to complete ")
                         + modeGerund[testMode],
                     false);
    return true;
}

void Oxbell::endRunFailed(const QString& message)
{
    errorMessage(message, false);
    runState = RunState::None;
    scriptFailed();
}

void Oxbell::failRun(bool init, const QString& reason)
{
    endRunFailed(failurePrefix(init, testMode) + reason);
}

void Oxbell::initError(QProcess::ProcessError error)
{
    endRunOnProcessError(true, error);
}

void Oxbell::scriptError(QProcess::ProcessError error)
{
    endRunOnProcessError(false, error);
}

void Oxbell::endRunOnProcessError(bool init, QProcess::ProcessError error)
{
    // The child is let go before the run ends: the end that the toolkit reports after a crash, or
    // of a child still running after a read or write error, must not end the run a second time,
    // perhaps after the student has started the next one.
    const QPointer<QProcess> process = scriptProcess;
    if (error == QProcess::Crashed) {
        // What the child sent before it died still belongs to the run.
        readMessages();
        if (!process || process != scriptProcess)
            return;
    }
    if (error == QProcess::Crashed || error == QProcess::FailedToStart) {
        // The interpreter is gone, and the toolkit is still inside its own handling of it.
        scriptProcess = nullptr;
        scriptProcessOf(process)->stop(true);
        process->deleteLater();
    } else {
        discardProcess();
    }
    failRun(init, processErrorReason(error));
}

void Oxbell::discardProcess()
{
    QProcess* const process = scriptProcess;
    // Cleared first: whatever the child reports from here on is no longer the run's.
    scriptProcess = nullptr;
    scriptProcessOf(process)->stop(false);
    process->deleteLater();
}

void Oxbell::cancelRun()
{
    if (scriptProcess && scriptProcess->state() != QProcess::NotRunning)
        discardProcess();
    cancelPendingReplies();
    requestState = Idle;
    runState = RunState::None;
    scriptFailed();
}

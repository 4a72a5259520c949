#include "engine/oxbell.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QJsonParseError>
#include <QPointer>
#include <QProcessEnvironment>
#include <QTemporaryDir>

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

// Python puts the script's own folder first on the import path, so the script lies alone in a
// folder that only its owner can enter: no other local user can plant a module there. The folder
// goes with the process object of its run.
class ScriptFolder : public QObject {
public:
    explicit ScriptFolder(QObject* parent)
        : QObject(parent)
    {
        if (folder.isValid())
            QFile::setPermissions(folder.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    QTemporaryDir folder;
};

// The child's bytes as UTF-8 text; a NUL byte ends the text.
QString textUpToNul(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes.constData(), int(qstrnlen(bytes.constData(), uint(bytes.size()))));
}

} // namespace

void Oxbell::runScript(QByteArray script, bool isInit)
{
    clearFeedback();
    // A result belongs to the run that sent it: a script that sends none must not post the result
    // of an earlier run, perhaps of another problem.
    scriptState = QJsonDocument();
    if (scriptProcess)
        discardProcess();

    auto* const process = new QProcess(this);
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

    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->setWorkingDirectory(appDir);
    qDebug() << "Set working directory to:" << appDir;

    const auto* const scriptFolder = new ScriptFolder(process);
    QFile file(scriptFolder->folder.filePath(QStringLiteral("script.py")));
    const QByteArray importLine = QByteArrayLiteral("from oxbell import servers\n");
    // A script cut short by a full disk must not run as if it were whole.
    const bool written = scriptFolder->folder.isValid() && file.open(QIODevice::WriteOnly | QIODevice::NewOnly)
        && (script.startsWith("PK") || file.write(importLine) == importLine.size())
        && file.write(script) == script.size() && file.flush();
    if (!written) {
        const QString reason = QStringLiteral("The script could not be written to a temporary file: ")
            + (scriptFolder->folder.isValid() ? file.errorString() : scriptFolder->folder.errorString());
        discardProcess();
        failRun(isInit, reason);
        return;
    }
    file.close();

    const QPointer<QProcess> started = process;
    process->start(interpreterPath, {file.fileName()}, QIODevice::ReadWrite);

    QJsonObject document;
    document.insert(QStringLiteral("servers"), QJsonValue::fromVariant(userSettings.value(QStringLiteral("servers"))));
    const QByteArray servers = QJsonDocument(document).toJson();
    qDebug() << "Running script with servers" << QString::fromUtf8(servers);
    // A start that failed at once has already ended the run through the error handler.
    if (started && started == scriptProcess && started->state() != QProcess::NotRunning) {
        started->write(servers);
        started->closeWriteChannel();
    }
}

void Oxbell::readMessages()
{
    const QPointer<QProcess> process = scriptProcess;
    if (!process)
        return;
    process->setReadChannel(QProcess::StandardOutput);
    // A hook may cancel the run or start another one; lines of a replaced child are dropped.
    while (process && process == scriptProcess && process->canReadLine()) {
        const QByteArray line = process->readLine();

        QJsonParseError parseError;
        const QJsonDocument message = QJsonDocument::fromJson(line, &parseError);
        if (parseError.error != QJsonParseError::NoError) {
            errorMessage(QStringLiteral("Internal error: malformed message from subprocess: ")
                             + parseError.errorString() + QString::fromUtf8(line),
                         true);
            // The child can no longer be understood: the run ends here, once, without the
            // toolkit's report of the kill as a crash.
            if (process && process == scriptProcess) {
                discardProcess();
                runState = RunState::None;
                scriptFailed();
            }
            return;
        }

        const QJsonObject object = message.object();
        const QString type = object.value(QStringLiteral("type")).toString();
        if (type == QLatin1String("feedback")) {
            addFeedback(object.value(QStringLiteral("summary")).toString(),
                        object.value(QStringLiteral("detail")).toString());
        } else if (type == QLatin1String("failed")) {
            errorMessage(failurePrefix(runState == RunState::Init, testMode)
                             + object.value(QStringLiteral("reason")).toString(),
                         false);
        } else if (type == QLatin1String("complete")) {
            scriptState = QJsonDocument(object.value(QStringLiteral("state")).toObject());
        } else {
            errorMessage(
                textUpToNul(QByteArrayLiteral("Internal error: malformed message from subprocess: no 'type' field: ")
                            + line),
                false);
        }
    }
}

bool Oxbell::checkStandardError()
{
    if (!scriptProcess)
        return false;
    const QString text = textUpToNul(scriptProcess->readAllStandardError());
    if (text.isEmpty())
        return false;
    errorMessage(QStringLiteral("Unexpected output on standard error: this likely indicates a bug in the problem. "
                                "Please notify the course staff.\n\n")
                     + text,
                 false);
    return true;
}

bool Oxbell::settleEndedRun(bool* failed)
{
    const QPointer<QProcess> process = scriptProcess;
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
        // Nothing left to kill, and the toolkit is still inside its own handling of the child.
        scriptProcess = nullptr;
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
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        // Reaped here rather than at the deferred delete, so no zombie outlives the run.
        process->waitForFinished(reapTimeoutMs);
    }
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

#include "engine/names.h"
#include "engine/oxbell.h"
#include "engine/scriptrun.h"

#include <QCoreApplication>
#include <QDebug>
#include <QProcessEnvironment>

#include <cmath>

namespace {

QString failurePrefix(bool init, bool testMode)
{
    if (init)
        return QStringLiteral("Failed to initialize assignment\nReason:\n");
    return QStringLiteral("Failed to ") + modeVerb[testMode] + QStringLiteral(" assignment\nReason:\n");
}

// What a message shows of a line the client could not use.
QByteArray excerpt(const QByteArray& line)
{
    return line.size() <= Oxbell::messageExcerptBytes ? line : line.left(Oxbell::messageExcerptBytes) + "...";
}

} // namespace

void Oxbell::runScript(QByteArray script, bool isInit)
{
    clearFeedback();
    // A result belongs to the run that sent it: a script that sends none must not post the result
    // of an earlier run, perhaps of another problem.
    scriptState = QJsonDocument();
    if (scriptRun)
        discardRun();

    auto* const run = new ScriptRun(isInit, this);
    scriptRun = run;

    const QString appDir = QCoreApplication::applicationDirPath();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("PYTHONPATH"));
    environment.insert(QStringLiteral("PYTHONPATH"), appDir);
    qDebug() << "Set PYTHONPATH to:" << appDir;

    // The run falls silent once it has ended or been let go: whatever it reports is the current run's.
    connect(run, &ScriptRun::messageReceived, this, &Oxbell::handleMessage);
    connect(run, &ScriptRun::malformedLine, this, &Oxbell::endRunMalformed);
    connect(run, &ScriptRun::standardErrorWritten, this, &Oxbell::reportStandardError);
    connect(run, &ScriptRun::ended, this, &Oxbell::runEnded);
    connect(run, &ScriptRun::failed, this, &Oxbell::runStopped);
    qDebug() << "Set working directory to:" << appDir;

    QString error;
    if (!run->writeScript(script, &error)) {
        discardRun();
        failRun(isInit, QStringLiteral("The script could not be written to a temporary file: ") + error);
        return;
    }

    QJsonObject document;
    document.insert(JsonKey::servers, QJsonValue::fromVariant(userSettings.value(JsonKey::servers)));
    const QByteArray servers = QJsonDocument(document).toJson();
    qDebug() << "Running script with servers" << QString::fromUtf8(servers);
    run->start(interpreterPath, appDir, environment, servers, scriptTimeLimit);
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

void Oxbell::handleMessage(const QJsonObject& message, const QByteArray& line)
{
    const QString type = message.value(JsonKey::type).toString();
    if (type == MessageType::feedback) {
        addFeedback(message.value(JsonKey::summary).toString(), message.value(JsonKey::detail).toString());
    } else if (type == MessageType::failed) {
        errorMessage(failurePrefix(runState == RunState::Init, testMode) + message.value(JsonKey::reason).toString(),
                     false);
    } else if (type == MessageType::complete) {
        scriptState = QJsonDocument(message.value(JsonKey::state).toObject());
    } else {
        errorMessage(ScriptRun::textUpToNul(
                         QByteArrayLiteral("Internal error: malformed message from subprocess: no 'type' field: ")
                         + excerpt(line)),
                     false);
    }
}

void Oxbell::endRunMalformed(const QString& reason, const QByteArray& line)
{
    // The run has stopped its child; it ends here, once.
    discardRun();
    runState = RunState::None;
    errorMessage(QStringLiteral("Internal error: malformed message from subprocess: ") + reason
                     + QString::fromUtf8(excerpt(line)),
                 true);
    scriptFailed();
}

void Oxbell::reportStandardError(const QString& text, qint64 bytesBeyond)
{
    QString message = QStringLiteral("Unexpected output on standard error: this likely indicates a bug in the problem. "
                                     "Please notify the course staff.\n\n")
        + text;
    if (bytesBeyond > 0)
        message += QStringLiteral("\n\n(%1 more bytes of standard error are not shown.)").arg(bytesBeyond);
    errorMessage(message, false);
}

void Oxbell::runEnded(bool clean)
{
    const bool init = scriptRun->isInit();
    if (init)
        qDebug() << "Init finished.";
    discardRun();
    runState = RunState::None;
    // A run that failed ends once, as a failure: a grade is never posted after the student was
    // told the run failed.
    if (!clean)
        scriptFailed();
    else if (init)
        initCompleted();
    else
        gradingFinished();
}

void Oxbell::runStopped(const QString& reason)
{
    const bool init = scriptRun->isInit();
    discardRun();
    failRun(init, reason);
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

void Oxbell::discardRun()
{
    ScriptRun* const run = scriptRun;
    // Cleared first: whatever the run was doing is no longer the engine's.
    scriptRun = nullptr;
    run->stop();
    run->deleteLater();
}

void Oxbell::cancelRun()
{
    if (scriptRun)
        discardRun();
    cancelPendingReplies();
    requestState = Idle;
    runState = RunState::None;
    scriptFailed();
}

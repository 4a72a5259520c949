#include "engine/oxbell.h"
#include "engine/names.h"
#include "engine/turnin.h"

#include <QCoreApplication>
#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTreeWidgetItem>

QStringList Oxbell::problemIdentifiers(QTreeWidgetItem* problem) const
{
    const QVariantMap map = problem ? problem->data(0, Qt::UserRole).toMap() : QVariantMap();
    return {map.value(JsonKey::course).toString(), map.value(JsonKey::week).toString(),
            map.value(JsonKey::section).toString(), map.value(JsonKey::problem).toString()};
}

void Oxbell::login(const QString& email, const QString& password)
{
    qDebug() << "Login email:" << email;
    loginSent = {email, password};
    const QJsonObject login{{JsonKey::email, email}, {JsonKey::password, password}};
    sendSessionRequest(SessionRequest::post(LoggingIn, QStringLiteral("/login"),
                                            sessionKeys.encrypt(QJsonDocument(login).toJson()), false));
}

void Oxbell::loadCourses()
{
    requestState = LoadingCourses;
    showStatus(QStringLiteral("Loading course information..."));
    sendSessionRequest(SessionRequest::get(LoadingCourses, QStringLiteral("/grades")));
}

void Oxbell::downloadScript(QTreeWidgetItem* problem, bool init)
{
    if (userSettings.value(JsonKey::servers).toMap().isEmpty()) {
        endRunFailed(QStringLiteral("You do not have any servers configured. Please add at least one"));
        return;
    }
    scriptTimeLimit = scriptTimeLimitOf(problem ? problem->data(0, Qt::UserRole).toMap() : QVariantMap(), userSettings);
    const QStringList ids = problemIdentifiers(problem);
    // One multi-argument substitution, so a "%2" inside an identifier stays literal.
    const QString path = (init ? QStringLiteral("/download/init/%1/%2/%3/%4") : QStringLiteral("/download/%1/%2/%3/%4"))
                             .arg(ids[0], ids[1], ids[2], ids[3]);
    qDebug() << "Making request to:" << serverUrl.toString() + path;
    sendSessionRequest(SessionRequest::get(init ? DownloadingInit : DownloadingScript, path));
}

void Oxbell::postGrade(QTreeWidgetItem* problem)
{
    const QStringList ids = problemIdentifiers(problem);
    const QString path = QStringLiteral("/grade/%1/%2/%3/%4/%5")
                             .arg(ids[0], ids[1], ids[2], ids[3], QString::number(testMode ? 1 : 0));
    TurnIn& run = turnIn ? *turnIn : startTurnIn();
    // What is needed to keep the result should the post fail, taken as it is sent.
    run.posted.post = postedProblem(problem, testMode);
    run.posted.state = scriptState;
    run.posted.attemptsBefore = problem ? problem->data(0, Qt::UserRole).toMap().value(JsonKey::attempts) : QVariant();
    run.again = run.toSend.has_value();
    run.toSend.reset();
    // A new result replaces the kept one; a run without one leaves it.
    if (!run.again && scriptState.isObject())
        Receipts::drop(run.posted.post);
    // A turn-in spends an attempt: it is never sent twice without the client deciding so.
    sendSessionRequest(
        SessionRequest::post(PostingGrade, path, sessionKeys.encrypt(QString::fromUtf8(scriptState.toJson())), true));
}

void Oxbell::coursesReplied(QNetworkReply* reply)
{
    const QJsonDocument document = QJsonDocument::fromJson(readDecrypted(reply));
    qDebug() << "Courses:" << QString::fromUtf8(document.toJson());
    if (!document.isObject())
        errorMessage(QStringLiteral("Received malformed JSON for Courses"), true);
    requestState = Idle;
    showStatus(QStringLiteral("Course(s) Loaded"));
    coursesLoaded(document.object());
}

void Oxbell::coursesFailed(const QString& reason)
{
    if (promptRetry(QStringLiteral("Failed to retrieve course listings.\n\nReason: ") + reason)) {
        sendSessionRequest(SessionRequest::get(LoadingCourses, QStringLiteral("/grades")));
        return;
    }
    QCoreApplication::exit(1);
}

void Oxbell::scriptDownloaded(QNetworkReply* reply)
{
    const QByteArray body = reply->readAll();
    // Running what did not decrypt would report a broken problem, or even succeed on nothing.
    if (!AESKeyPair::isCiphertext(body)) {
        downloadFailed(QStringLiteral("The server's answer could not be decrypted."));
        return;
    }
    const bool init = requestState == DownloadingInit;
    requestState = Idle;
    qDebug() << (init ? "Running init script." : "Running grading script.");
    runScript(sessionKeys.decrypt(body), init);
}

void Oxbell::downloadFailed(const QString& reason)
{
    const QString message = requestState == DownloadingInit
        ? QStringLiteral("Failed to initialize assignment. Please try again.\n\nReason: ")
        : QStringLiteral("Failed to ") + modeVerb[testMode]
            + QStringLiteral(" assignment. Please try again.\n\nReason: ");
    requestState = Idle;
    endTurnIn();
    endRunFailed(message + reason);
}

void Oxbell::gradeReplied(QNetworkReply* reply)
{
    const QJsonDocument document = QJsonDocument::fromJson(readDecrypted(reply));
    qDebug() << "Post grade:" << QString::fromUtf8(document.toJson());
    // An answer nobody can read is no grade: the student must not be shown an empty result as if
    // the turn-in had gone through.
    if (!document.isObject()) {
        gradeFailed(QStringLiteral("The server's answer could not be read."), true);
        return;
    }
    const QVariantMap result = document.object().toVariantMap();
    if (turnIn)
        turnIn->recordAnswer(result);
    endTurnIn();
    requestState = Idle;
    runState = RunState::None;
    showGradeResult(result);
}

void Oxbell::gradeFailed(const QString& reason, bool verdictUnknown)
{
    if (requestState == PostingGrade && turnIn)
        turnIn->recordFailure(reason, verdictUnknown);
    endTurnIn();
    requestState = Idle;
    endRunFailed(QStringLiteral("Failed to ") + modeVerb[testMode]
                 + QStringLiteral(" assignment. Please try again\n Reason: ") + reason);
}

#include "engine/oxbell.h"
#include "engine/names.h"

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
    const QJsonObject credentials{{JsonKey::email, email}, {JsonKey::password, password}};
    sendPost(QStringLiteral("/login"), LoggingIn, sessionKeys.encrypt(QJsonDocument(credentials).toJson()));
}

void Oxbell::loadCourses()
{
    requestState = LoadingCourses;
    const QNetworkRequest request = requestFor(QStringLiteral("/grades"));
    showStatus(QStringLiteral("Loading course information..."));
    pendingReplies.append(network->get(request));
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
    sendGet(path, init ? DownloadingInit : DownloadingScript);
}

void Oxbell::postGrade(QTreeWidgetItem* problem)
{
    const QStringList ids = problemIdentifiers(problem);
    const QString path = QStringLiteral("/grade/%1/%2/%3/%4/%5")
                             .arg(ids[0], ids[1], ids[2], ids[3], QString::number(testMode ? 1 : 0));
    // What is needed to keep the result should the post fail, taken as it is sent.
    post.result.post = postedProblem(problem, testMode);
    post.result.state = scriptState;
    post.result.attemptsBefore = problem ? problem->data(0, Qt::UserRole).toMap().value(JsonKey::attempts) : QVariant();
    post.again = keptToSend.has_value();
    keptToSend.reset();
    // A turn-in spends an attempt: it is never sent twice without the client deciding so.
    sendPost(path, PostingGrade, sessionKeys.encrypt(QString::fromUtf8(scriptState.toJson())), true);
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
        pendingReplies.append(network->get(requestFor(QStringLiteral("/grades"))));
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
    recordAnswer(result);
    requestState = Idle;
    runState = RunState::None;
    showGradeResult(result);
}

void Oxbell::gradeFailed(const QString& reason, bool verdictUnknown)
{
    if (requestState == PostingGrade)
        recordFailure(reason, verdictUnknown);
    keptToSend.reset();
    requestState = Idle;
    endRunFailed(QStringLiteral("Failed to ") + modeVerb[testMode]
                 + QStringLiteral(" assignment. Please try again\n Reason: ") + reason);
}

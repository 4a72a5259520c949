#include "engine/oxbell.h"
#include "engine/names.h"

#include <QCoreApplication>
#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QVersionNumber>

#include <cstring>

namespace {
// Statuses of a grade post that refuse the result itself; any other failure recorded nothing.
const QList<int> resultRefusals{403, 404, 409, 422};

// Error bodies are plain text, never ciphertext.
QString errorBodyText(QNetworkReply* reply)
{
    return QString::fromUtf8(reply->readAll().constData());
}

// A request body that is read once: the network layer cannot rewind it, so it cannot quietly send
// the request a second time on a new connection.
class OneTimeBody : public QIODevice {
public:
    OneTimeBody(const QByteArray& body, QObject* parent)
        : QIODevice(parent)
        , bytes(body)
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }

    bool isSequential() const override { return true; }
    bool reset() override { return false; }
    qint64 bytesAvailable() const override { return bytes.size() - position + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        if (position == bytes.size())
            return -1;
        const qint64 count = qMin(maxSize, qint64(bytes.size()) - position);
        std::memcpy(data, bytes.constData() + position, size_t(count));
        position += count;
        return count;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    const QByteArray bytes;
    qint64 position = 0;
};
}

QNetworkRequest Oxbell::requestFor(const QString& path) const
{
    // Plain text concatenation: a base URL ending in "/" gives a double slash, as configured.
    QNetworkRequest request(QUrl(serverUrl.toString() + path, QUrl::TolerantMode));
    // A server that accepts the connection and then says nothing must not hold a front end for ever.
    request.setTransferTimeout(requestTimeoutMs);
    return request;
}

QString Oxbell::failureReason(QNetworkReply* reply, bool serverBodyIsReason) const
{
    // The engine aborts no request of its own, so a cancelled one is the transfer timeout.
    if (reply->error() == QNetworkReply::OperationCanceledError)
        return QStringLiteral("The server did not answer in time.");
    if (reply->error() == QNetworkReply::ContentReSendError)
        return QStringLiteral("The connection closed before the server answered.");
    // Errors up to the proxy range mean no complete answer came (refused, dropped, proxy); their
    // body, if any, explains nothing.
    if (serverBodyIsReason && reply->error() > QNetworkReply::UnknownProxyError)
        return errorBodyText(reply);
    return reply->errorString();
}

void Oxbell::sendGet(const QString& path, RequestState state)
{
    const QNetworkRequest request = requestFor(path);
    requestState = state;
    pendingReplies.append(network->get(request));
}

void Oxbell::sendPost(const QString& path, RequestState state, const QByteArray& body, bool once)
{
    QNetworkRequest request = requestFor(path);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    requestState = state;
    if (!once) {
        pendingReplies.append(network->post(request, body));
        return;
    }
    // Without a length the network layer would buffer the body, and could replay the buffer.
    request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
    request.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);
    auto* upload = new OneTimeBody(body, nullptr);
    QNetworkReply* reply = network->post(request, upload);
    upload->setParent(reply);
    pendingReplies.append(reply);
}

void Oxbell::sendSessionRequest(const SessionRequest& request)
{
    if (request.isPost)
        sendPost(request.path, request.state, request.body, request.once);
    else
        sendGet(request.path, request.state);
    lastRequest = request;
}

bool Oxbell::sessionLost(QNetworkReply* reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if ((status != 400 && status != 401) || !reply->isOpen())
        return false;
    // Peeked: the failure's reason is read from the body afterwards.
    const QByteArray body = reply->peek(reply->bytesAvailable());
    return body.startsWith(status == 400 ? "No session" : "Not logged in");
}

bool Oxbell::recoverSession(QNetworkReply* reply)
{
    if (recoveringFrom || requestState < LoggingIn || requestState != lastRequest.state || lastRequest.repeated
        || (requestState != LoggingIn && !credentials) || !sessionLost(reply))
        return false;
    recoveringFrom = failureReason(reply, true);
    qDebug() << "The course server no longer knows the session, making a new one for" << lastRequest.path
             << "after:" << *recoveringFrom;
    // The start-up handshake, without its messages: the front end sees one request.
    sendGet(QStringLiteral("/version"), CheckingVersion);
    return true;
}

void Oxbell::repeatRequest()
{
    recoveringFrom.reset();
    qDebug() << "New session made; sending again:" << lastRequest.path;
    SessionRequest again = lastRequest;
    again.repeated = true;
    sendSessionRequest(again);
}

void Oxbell::recoveryFailed()
{
    const QString reason = *recoveringFrom;
    recoveringFrom.reset();
    qDebug() << "No new session could be made for" << lastRequest.path;
    requestState = lastRequest.state;
    // Nothing was recorded under the lost session.
    requestFailed(reason, true);
}

void Oxbell::checkVersion()
{
    showStatus(QStringLiteral("Checking for updates..."));
    sendGet(QStringLiteral("/version"), CheckingVersion);
}

void Oxbell::negotiateIv()
{
    const QJsonObject message{{JsonKey::iv, QString::fromLatin1(sessionKeys.ivBytes().toBase64())}};
    sendPost(QStringLiteral("/negotiate"), NegotiatingIv, serverKey.encrypt(QJsonDocument(message).toJson()));
}

void Oxbell::negotiateKey()
{
    const QJsonObject message{{JsonKey::key, QString::fromLatin1(sessionKeys.keyBytes().toBase64())}};
    sendPost(QStringLiteral("/negotiate"), NegotiatingKey, serverKey.encrypt(QJsonDocument(message).toJson()));
}

QByteArray Oxbell::readDecrypted(QNetworkReply* reply)
{
    return sessionKeys.decrypt(reply->readAll());
}

void Oxbell::cancelPendingReplies()
{
    // A request abandoned while its session is made anew is not sent again.
    recoveringFrom.reset();
    ignoredReplies.append(pendingReplies);
    pendingReplies.clear();
}

void Oxbell::replyFinished(QNetworkReply* reply)
{
    if (ignoredReplies.contains(reply)) {
        ignoredReplies.removeAll(reply);
        reply->deleteLater();
        return;
    }
    pendingReplies.removeAll(reply);
    const bool failed = reply->error() != QNetworkReply::NoError;
    // Errors up to the proxy range mean the server was not reached or gave no complete answer.
    const bool failingBefore = connectionFailure;
    connectionFailure = failed && reply->error() <= QNetworkReply::UnknownProxyError;

    if (failed && recoverSession(reply)) {
        connectionFailure = failingBefore;
        reply->deleteLater();
        return;
    }

    switch (requestState) {
    case CheckingVersion:
        if (recoveringFrom && failed)
            recoveryFailed();
        else if (recoveringFrom)
            negotiateIv();
        else if (failed)
            handshakeFailed(QStringLiteral("Failed to check for updates.\n\nReason: ") + failureReason(reply, false));
        else
            versionReceived(reply);
        break;
    case NegotiatingIv:
        if (recoveringFrom && failed)
            recoveryFailed();
        else if (failed)
            handshakeFailed(
                QStringLiteral("Failed to establish connection to server (IV). Please restart client.\n\nReason: ")
                + failureReason(reply, false));
        else
            negotiateKey();
        break;
    case NegotiatingKey:
        if (recoveringFrom && failed) {
            recoveryFailed();
        } else if (recoveringFrom && lastRequest.state == LoggingIn) {
            repeatRequest();
        } else if (recoveringFrom) {
            const QJsonObject login{{JsonKey::email, credentials->email}, {JsonKey::password, credentials->password}};
            sendPost(QStringLiteral("/login"), LoggingIn, sessionKeys.encrypt(QJsonDocument(login).toJson()));
        } else if (failed) {
            handshakeFailed(
                QStringLiteral("Failed to establish connection to server (Key). Please restart client.\n\nReason: ")
                + failureReason(reply, false));
        } else {
            showStatus(QStringLiteral("Ready to log in"));
            loginStateChanged(LoginState::Ready);
        }
        break;
    case LoggingIn:
        if (recoveringFrom && failed) {
            recoveryFailed();
        } else if (recoveringFrom) {
            repeatRequest();
        } else if (failed) {
            requestFailed(failureReason(reply, true), true);
        } else {
            credentials = loginSent;
            requestState = Idle;
            loginStateChanged(LoginState::LoggedIn);
        }
        break;
    case LoadingCourses:
        if (failed)
            coursesFailed(failureReason(reply, true));
        else
            coursesReplied(reply);
        break;
    case DownloadingInit:
    case DownloadingScript:
        if (failed)
            downloadFailed(failureReason(reply, true));
        else
            scriptDownloaded(reply);
        break;
    case PostingGrade:
        if (failed) {
            // Only a refusal of the result itself is a verdict; anything else recorded nothing.
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            gradeFailed(failureReason(reply, true), !resultRefusals.contains(status));
        } else {
            gradeReplied(reply);
        }
        break;
    case CheckingAttempts:
        if (failed)
            gradeFailed(failureReason(reply, true), true);
        else
            attemptsChecked(reply);
        break;
    default:
        break;
    }
    connectionFailure = failingBefore;
    reply->deleteLater();
}

void Oxbell::requestFailed(const QString& reason, bool verdictUnknown)
{
    switch (requestState) {
    case LoggingIn:
        errorMessage(QStringLiteral("Failed to login. Please try again.\n\nReason: ") + reason, false);
        requestState = Idle;
        loginStateChanged(LoginState::Refused);
        break;
    case LoadingCourses:
        coursesFailed(reason);
        break;
    case DownloadingInit:
    case DownloadingScript:
        downloadFailed(reason);
        break;
    case PostingGrade:
        gradeFailed(reason, verdictUnknown);
        break;
    case CheckingAttempts:
        gradeFailed(reason, true);
        break;
    default:
        break;
    }
}

void Oxbell::handshakeFailed(const QString& message)
{
    // Nothing is awaited any more, whether or not the front end ends the program.
    requestState = Idle;
    errorMessage(message, true);
}

void Oxbell::versionReceived(QNetworkReply* reply)
{
    const QJsonDocument document = QJsonDocument::fromJson(reply->readAll());
    qDebug() << "Version JSON document:" << QString::fromUtf8(document.toJson());
    if (document.isObject()) {
        const QJsonObject info = document.object();
        const QString version = info.value(JsonKey::version).toString();
        // Numeric, segment by segment: "10.0" is newer than "2.0", and "2.0.0" is "2.0".
        if (QVersionNumber::compare(QVersionNumber::fromString(QCoreApplication::applicationVersion()).normalized(),
                                    QVersionNumber::fromString(version).normalized())
            < 0)
            notifyNewVersion(version, info.value(JsonKey::url).toString());
    } else {
        errorMessage(QStringLiteral("Received malformed JSON for version info"), true);
    }
    negotiateIv();
}

QList<QSslError> Oxbell::acceptedSslErrors(const QList<QSslError>& errors, const QString& caFile)
{
    QList<QSslError> expected;
    for (const QSslError& error : errors) {
        switch (error.error()) {
        case QSslError::UnableToGetLocalIssuerCertificate: {
            // The intermediate CA that the server does not send in full ships beside the program.
            const QList<QSslCertificate> shipped
                = QSslCertificate::fromPath(caFile, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
            if (!shipped.isEmpty())
                expected.append(QSslError(error.error(), shipped.first()));
            break;
        }
        case QSslError::CertificateUntrusted:
            expected.append(QSslError(error.error(), error.certificate()));
            break;
        default:
            break;
        }
    }
    return expected;
}

void Oxbell::handleSslErrors(QNetworkReply* reply, const QList<QSslError>& errors)
{
    reply->ignoreSslErrors(acceptedSslErrors(errors, QCoreApplication::applicationDirPath() + AppFile::caCertificate));
}

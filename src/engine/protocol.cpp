#include "engine/oxbell.h"
#include "engine/names.h"

#include <QCoreApplication>
#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QVersionNumber>

namespace {
// Error bodies are plain text, never ciphertext.
QString errorBodyText(QNetworkReply* reply)
{
    return QString::fromUtf8(reply->readAll().constData());
}
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

void Oxbell::sendPost(const QString& path, RequestState state, const QByteArray& body)
{
    QNetworkRequest request = requestFor(path);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    requestState = state;
    pendingReplies.append(network->post(request, body));
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

    switch (requestState) {
    case CheckingVersion:
        if (failed)
            handshakeFailed(QStringLiteral("Failed to check for updates.\n\nReason: ") + failureReason(reply, false));
        else
            versionReceived(reply);
        break;
    case NegotiatingIv:
        if (failed)
            handshakeFailed(
                QStringLiteral("Failed to establish connection to server (IV). Please restart client.\n\nReason: ")
                + failureReason(reply, false));
        else
            negotiateKey();
        break;
    case NegotiatingKey:
        if (failed) {
            handshakeFailed(
                QStringLiteral("Failed to establish connection to server (Key). Please restart client.\n\nReason: ")
                + failureReason(reply, false));
        } else {
            showStatus(QStringLiteral("Ready to log in"));
            loginStateChanged(LoginState::Ready);
        }
        break;
    case LoggingIn:
        if (failed) {
            errorMessage(QStringLiteral("Failed to login. Please try again.\n\nReason: ") + failureReason(reply, true),
                         false);
            requestState = Idle;
            loginStateChanged(LoginState::Refused);
        } else {
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
        if (failed)
            gradeFailed(failureReason(reply, true));
        else
            gradeReplied(reply);
        break;
    default:
        break;
    }
    connectionFailure = failingBefore;
    reply->deleteLater();
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

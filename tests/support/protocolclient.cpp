#include "support/protocolclient.h"

#include "cryptography/rsapublickey.h"

#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QTimer>

namespace {
constexpr int replyTimeoutMs = 60000;
}

QJsonObject ProtocolClient::Reply::json() const
{
    return QJsonDocument::fromJson(body).object();
}

ProtocolClient::ProtocolClient(const QString& serverUrl)
    : url(serverUrl)
{
}

ProtocolClient::Reply ProtocolClient::get(const QString& path)
{
    return send("GET", path, {}, path != QLatin1String("/version"));
}

ProtocolClient::Reply ProtocolClient::post(const QString& path, const QByteArray& plain)
{
    return send("POST", path, sessionKeys.encrypt(plain), true);
}

ProtocolClient::Reply ProtocolClient::postRaw(const QString& path, const QByteArray& body)
{
    return send("POST", path, body, false);
}

QByteArray ProtocolClient::negotiationMessage(const QString& field) const
{
    QFile pem(QStringLiteral(OXBELL_PKI_DIR "/session-public.pem"));
    if (!pem.open(QIODevice::ReadOnly))
        return {};
    RsaPublicKey serverKey;
    serverKey.fromPem(QString::fromLatin1(pem.readAll()));
    const QByteArray value = field == QLatin1String("iv") ? sessionKeys.ivBytes() : sessionKeys.keyBytes();
    const QJsonObject message{{field, QString::fromLatin1(value.toBase64())}};
    return serverKey.encrypt(QJsonDocument(message).toJson());
}

bool ProtocolClient::handshake()
{
    return get(QStringLiteral("/version")).status == 200
        && postRaw(QStringLiteral("/negotiate"), negotiationMessage(QStringLiteral("iv"))).status == 200
        && postRaw(QStringLiteral("/negotiate"), negotiationMessage(QStringLiteral("key"))).status == 200;
}

bool ProtocolClient::login(const QString& email, const QString& password)
{
    const QJsonObject credentials{{QStringLiteral("email"), email}, {QStringLiteral("password"), password}};
    return post(QStringLiteral("/login"), QJsonDocument(credentials).toJson()).status == 200;
}

ProtocolClient::Reply ProtocolClient::send(const QByteArray& method, const QString& path, const QByteArray& body,
                                           bool encrypted)
{
    QNetworkRequest request(QUrl(url + path, QUrl::TolerantMode));
    if (method == "POST")
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply* reply = method == "GET" ? manager.get(request) : manager.sendCustomRequest(request, method, body);

    Reply result;
    QObject::connect(reply, &QNetworkReply::sslErrors, reply, [reply, &result](const QList<QSslError>& errors) {
        result.sslErrors = errors;
        QList<QSslError> expected;
        for (const QSslError& error : errors) {
            if (error.error() == QSslError::UnableToGetLocalIssuerCertificate) {
                const QList<QSslCertificate> ca
                    = QSslCertificate::fromPath(QStringLiteral(OXBELL_APP_DIR "/certs/GandiStandardSSLCA.pem"),
                                                QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
                if (!ca.isEmpty())
                    expected.append(QSslError(error.error(), ca.first()));
            } else if (error.error() == QSslError::CertificateUntrusted) {
                expected.append(QSslError(error.error(), error.certificate()));
            }
        }
        reply->ignoreSslErrors(expected);
    });
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(replyTimeoutMs, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();

    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.error = reply->error();
    result.errorString = reply->errorString();
    result.raw = reply->readAll();
    result.body = encrypted && result.status == 200 ? sessionKeys.decrypt(result.raw) : result.raw;
    delete reply;
    return result;
}

QJsonObject catalogueProblem(const QJsonObject& catalogue, const QString& path)
{
    const QStringList parts = path.split(QLatin1Char('/'));
    if (parts.size() < 4)
        return {};
    // Each level is a list of objects, one of which has the wanted "url_name".
    const auto named = [](const QJsonArray& list, const QString& name) {
        for (const QJsonValue& entry : list) {
            if (entry.toObject().value(QLatin1String("url_name")).toString() == name)
                return entry.toObject();
        }
        return QJsonObject();
    };
    const QJsonArray weeks = catalogue.value(parts.mid(0, parts.size() - 3).join(QLatin1Char('/'))).toArray();
    const QJsonObject week = named(weeks, parts.at(parts.size() - 3));
    const QJsonObject section = named(week.value(QLatin1String("sections")).toArray(), parts.at(parts.size() - 2));
    return named(section.value(QLatin1String("problems")).toArray(), parts.last());
}

// The set-up checks over the network: the proxy, the course server from its name to the
// session negotiation, and the student's own servers.

#include "engine/doctor.h"
#include "engine/names.h"
#include "engine/oxbell.h"
#include "engine/servercheck.h"

#include <QHostInfo>
#include <QJsonDocument>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <QVersionNumber>

#include <algorithm>
#include <memory>

// What a rejected certificate error means to a student.
QString Doctor::trustRuleFailed(const QSslError& error)
{
    switch (error.error()) {
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::InvalidCaCertificate:
    case QSslError::CertificateRejected:
        return QStringLiteral("unknown issuer");
    case QSslError::HostNameMismatch:
        return QStringLiteral("wrong host name");
    case QSslError::CertificateExpired:
        return QStringLiteral("expired on ") + day(error.certificate().expiryDate());
    case QSslError::CertificateNotYetValid:
        return QStringLiteral("not yet valid (from ") + day(error.certificate().effectiveDate()) + QLatin1Char(')');
    default:
        return error.errorString();
    }
}

void Doctor::awaitSocket(QAbstractSocket* socket, int timeoutMs, const SocketDone& then)
{
    auto* timer = new QTimer(socket);
    timer->setSingleShot(true);
    auto reported = std::make_shared<bool>(false);
    const auto end = [socket, then, reported](bool connected, QAbstractSocket::SocketError error, const QString& why) {
        if (*reported)
            return;
        *reported = true;
        socket->disconnect();
        // Reported before the socket lets go of the certificate it was shown.
        then(connected, error, why);
        socket->abort();
        socket->deleteLater();
    };
    if (auto* secure = qobject_cast<QSslSocket*>(socket))
        connect(secure, &QSslSocket::encrypted, this, [end] { end(true, QAbstractSocket::UnknownSocketError, {}); });
    else
        connect(socket, &QAbstractSocket::connected, this,
                [end] { end(true, QAbstractSocket::UnknownSocketError, {}); });
    connect(socket, &QAbstractSocket::errorOccurred, this,
            [socket, end](QAbstractSocket::SocketError error) { end(false, error, socket->errorString()); });
    connect(timer, &QTimer::timeout, this, [end, timeoutMs] {
        end(false, QAbstractSocket::SocketTimeoutError, QStringLiteral("no answer within %1 s").arg(timeoutMs / 1000));
    });
    timer->start(timeoutMs);
}

QString Doctor::serverName() const
{
    return serverUrl.toString(QUrl::RemovePassword | QUrl::RemovePath | QUrl::RemoveQuery);
}

QString Doctor::proxyName() const
{
    QString name
        = (proxy.type() == QNetworkProxy::Socks5Proxy ? QStringLiteral("SOCKS5 proxy ") : QStringLiteral("HTTP proxy "))
        + proxy.hostName() + QLatin1Char(':') + QString::number(proxy.port());
    if (!proxy.user().isEmpty())
        name += QStringLiteral(" as ") + proxy.user();
    // The password itself is never shown: only that there is one.
    if (!proxy.password().isEmpty())
        name += QStringLiteral(" with password ********");
    return name;
}

bool Doctor::throughProxy() const
{
    return isNamedProxy(proxy);
}

void Doctor::checkProxy()
{
    const QNetworkProxy configured = Oxbell::proxyOf(proxySettings);
    proxy = configured;
    systemProxy = configured.type() == QNetworkProxy::DefaultProxy;
    if (systemProxy) {
        const QList<QNetworkProxy> found = QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(serverUrl));
        proxy = found.isEmpty() ? QNetworkProxy(QNetworkProxy::NoProxy) : found.first();
    }
    if (!isNamedProxy(proxy))
        proxy = QNetworkProxy(QNetworkProxy::NoProxy);
    const QString kind = systemProxy ? QStringLiteral("the system's: ") : QString();
    const QString described
        = throughProxy() ? kind + proxyName() : kind + QStringLiteral("none, connections go directly");

    const auto connectToProxy = [this, described] {
        if (!throughProxy()) {
            finish(Outcome::Ok, described);
            return;
        }
        auto* socket = new QTcpSocket(this);
        socket->setProxy(QNetworkProxy::NoProxy);
        awaitSocket(socket, serverTimeoutMs,
                    [this, described](bool connected, QAbstractSocket::SocketError, const QString& why) {
                        if (connected)
                            finish(Outcome::Ok, described + QStringLiteral(", which accepts connections"));
                        else
                            finish(Outcome::Fail, described + QStringLiteral(" does not accept connections: ") + why,
                                   QStringLiteral("Check the proxy's \"host\" and \"port\" in ")
                                       + SettingsFileName::user
                                       + QStringLiteral(", or ask your network's administrators."));
                    });
        socket->connectToHost(proxy.hostName(), proxy.port());
    };

    // The program looks the configured host up at every start, whatever the type, and stops
    // when it does not resolve.
    if (!(proxySettings.contains(JsonKey::host) && proxySettings.contains(JsonKey::port))) {
        connectToProxy();
        return;
    }
    const QString host = configured.hostName();
    QHostInfo::lookupHost(host, this, [this, host, described, connectToProxy](const QHostInfo& lookup) {
        if (lookup.error() != QHostInfo::NoError) {
            finish(Outcome::Fail,
                   described + QStringLiteral("; the proxy host ") + quoted(host)
                       + QStringLiteral(" does not resolve: ") + lookup.errorString(),
                   QStringLiteral("Correct the proxy's \"host\" in ") + SettingsFileName::user
                       + QStringLiteral(", or remove \"host\" and \"port\" there if you use no proxy."));
            return;
        }
        connectToProxy();
    });
}

void Doctor::checkServerAddress()
{
    const QString host = serverUrl.host();
    const QString advice = QStringLiteral("Check the course server URL in ") + SettingsFileName::app
        + QStringLiteral(" and that your computer is online.");
    if (!throughProxy()) {
        QHostInfo::lookupHost(host, this, [this, host, advice](const QHostInfo& lookup) {
            if (lookup.error() != QHostInfo::NoError || lookup.addresses().isEmpty()) {
                finish(Outcome::Fail, quoted(host) + QStringLiteral(" does not resolve: ") + lookup.errorString(),
                       advice);
                return;
            }
            QStringList addresses;
            for (const QHostAddress& address : lookup.addresses())
                addresses << address.toString();
            finish(Outcome::Ok, host + QStringLiteral(" resolves to ") + addresses.join(QStringLiteral(", ")));
        });
        return;
    }
    // The proxy resolves the name, as it does for the program: only a connection through it tells.
    auto* socket = new QTcpSocket(this);
    socket->setProxy(proxy);
    awaitSocket(socket, serverTimeoutMs,
                [this, host, advice](bool connected, QAbstractSocket::SocketError error, const QString& why) {
                    proxiedConnectionError = connected ? QString() : why;
                    if (!connected && error == QAbstractSocket::HostNotFoundError)
                        finish(Outcome::Fail,
                               QStringLiteral("the proxy cannot resolve ") + quoted(host) + QStringLiteral(": ") + why,
                               advice);
                    else
                        finish(Outcome::Ok, host + QStringLiteral(" is resolved by the proxy"));
                });
    socket->connectToHost(host, quint16(serverUrl.port(443)));
}

void Doctor::checkServerConnection()
{
    const QString target = serverUrl.host() + QLatin1Char(':') + QString::number(serverUrl.port(443));
    const QString via = throughProxy() ? QStringLiteral(" through the proxy") : QString();
    const auto report = [this, target, via](bool connected, const QString& why) {
        if (connected)
            finish(Outcome::Ok, target + QStringLiteral(" accepts connections") + via);
        else
            finish(Outcome::Fail,
                   target + QStringLiteral(" did not accept a connection") + via + QStringLiteral(": ") + why,
                   QStringLiteral("The course server may be down, or a firewall blocks the port: try again "
                                  "later, and tell the course staff if it lasts."));
    };
    if (throughProxy()) {
        report(proxiedConnectionError.isEmpty(), proxiedConnectionError);
        return;
    }
    auto* socket = new QTcpSocket(this);
    socket->setProxy(QNetworkProxy::NoProxy);
    awaitSocket(socket, serverTimeoutMs,
                [report](bool connected, QAbstractSocket::SocketError, const QString& why) { report(connected, why); });
    socket->connectToHost(serverUrl.host(), quint16(serverUrl.port(443)));
}

void Doctor::checkServerCertificate()
{
    const QString caFile = places.applicationDir + AppFile::caCertificate;
    auto* socket = new QSslSocket(this);
    socket->setProxy(proxy);
    auto rejected = std::make_shared<QList<QSslError>>();
    auto presented = std::make_shared<QSslCertificate>();
    connect(socket, QOverload<const QList<QSslError>&>::of(&QSslSocket::sslErrors), this,
            [socket, caFile, rejected, presented](const QList<QSslError>& errors) {
                const QList<QSslError> accepted = Oxbell::acceptedSslErrors(errors, caFile);
                for (const QSslError& error : errors) {
                    if (!accepted.contains(error))
                        rejected->append(error);
                }
                *presented = socket->peerCertificate();
                socket->ignoreSslErrors(accepted);
            });
    awaitSocket(
        socket, serverTimeoutMs,
        [this, socket, rejected, presented](bool connected, QAbstractSocket::SocketError, const QString& why) {
            if (connected) {
                const QSslCertificate leaf = socket->peerCertificate();
                finish(Outcome::Ok,
                       QStringLiteral("the server presented ") + certificateName(leaf) + QStringLiteral(", issued by ")
                           + leaf.issuerDisplayName() + QStringLiteral(", valid until ") + day(leaf.expiryDate()));
                return;
            }
            if (rejected->isEmpty()) {
                finish(Outcome::Fail, QStringLiteral("no secure connection: ") + why,
                       QStringLiteral("Something between you and the course server breaks secure connections: try "
                                      "another network."));
                return;
            }
            QStringList rules;
            bool unknownIssuer = false;
            for (const QSslError& error : *rejected) {
                // The toolkit adds an unspecified error beside the ones that say what failed.
                if (error.error() == QSslError::UnspecifiedError && rejected->size() > 1)
                    continue;
                const QString rule = trustRuleFailed(error);
                unknownIssuer = unknownIssuer || rule == QLatin1String("unknown issuer");
                if (!rules.contains(rule))
                    rules << rule;
            }
            const QString issuer
                = presented->isNull() ? QStringLiteral("nobody named") : presented->issuerDisplayName();
            finish(Outcome::Fail,
                   QStringLiteral("refused (") + rules.join(QStringLiteral(", "))
                       + QStringLiteral("); the certificate presented is ")
                       + (presented->isNull() ? QStringLiteral("unknown") : certificateName(*presented))
                       + QStringLiteral(", issued by ") + issuer,
                   unknownIssuer
                       ? QStringLiteral("That issuer is not the course server's: a network that intercepts secure "
                                        "connections (a firewall, an antivirus) is in between, or the program's CA "
                                        "file is not the course server's. Try another network, or reinstall oxbell.")
                       : QStringLiteral("The server at this address is not the course server, or its certificate is "
                                        "out of date: check the URL in ")
                           + SettingsFileName::app
                           + QStringLiteral(" and your computer's date, then tell the course staff."));
        });
    socket->connectToHostEncrypted(serverUrl.host(), quint16(serverUrl.port(443)));
}

QNetworkReply* Doctor::send(const QString& path, const QByteArray* body)
{
    if (!network) {
        network = new QNetworkAccessManager(this);
        network->setProxy(proxy);
        const QString caFile = places.applicationDir + AppFile::caCertificate;
        connect(network, &QNetworkAccessManager::sslErrors, this,
                [caFile](QNetworkReply* reply, const QList<QSslError>& errors) {
                    reply->ignoreSslErrors(Oxbell::acceptedSslErrors(errors, caFile));
                });
    }
    // Built as the program builds its requests.
    QNetworkRequest request(QUrl(serverUrl.toString() + path, QUrl::TolerantMode));
    request.setTransferTimeout(serverTimeoutMs);
    if (!body)
        return network->get(request);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    return network->post(request, *body);
}

void Doctor::negotiate(const QString& member, const QByteArray& value, const std::function<void()>& then)
{
    RsaPublicKey key;
    Oxbell::loadServerKey(key);
    const QByteArray body
        = key.encrypt(QJsonDocument(QJsonObject{{member, QString::fromLatin1(value.toBase64())}}).toJson());
    if (body.isEmpty()) {
        finish(Outcome::Fail, QStringLiteral("the program's built-in server key cannot be used"),
               QStringLiteral("Reinstall oxbell."));
        return;
    }
    QNetworkReply* reply = send(QStringLiteral("/negotiate"), &body);
    connect(reply, &QNetworkReply::finished, this, [this, reply, then] {
        reply->deleteLater();
        if (reply->error() == QNetworkReply::NoError) {
            then();
            return;
        }
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QString answer = QString::fromUtf8(reply->readAll().left(200)).trimmed();
        finish(Outcome::Fail,
               QStringLiteral("the session negotiation was refused: ")
                   + (status ? QStringLiteral("HTTP %1 %2").arg(status).arg(answer) : reply->errorString()),
               QStringLiteral("The server does not hold the key this client was built for: install the client "
                              "your course provides for this server, or check the URL in ")
                   + SettingsFileName::app + QLatin1Char('.'));
    });
}

void Doctor::checkServerProtocol()
{
    QNetworkReply* reply = send(QStringLiteral("/version"), nullptr);
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError) {
            finish(Outcome::Fail, QStringLiteral("the version request failed: ") + reply->errorString(),
                   QStringLiteral("The course server does not answer as it should: tell the course staff."));
            return;
        }
        const QByteArray date = reply->rawHeader("Date");
        if (!date.isEmpty()) {
            serverDate = QLocale::c().toDateTime(QString::fromLatin1(date).trimmed(),
                                                 QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"));
            serverDate.setTimeSpec(Qt::UTC);
            serverDateReceived = QDateTime::currentDateTimeUtc();
        }
        const QJsonDocument document = QJsonDocument::fromJson(reply->readAll());
        if (!document.isObject()) {
            finish(Outcome::Fail, QStringLiteral("the answer to the version request is not a JSON object"),
                   QStringLiteral("The server at this address is not a course server: check the URL in ")
                       + SettingsFileName::app + QLatin1Char('.'));
            return;
        }
        const QString version = document.object().value(JsonKey::version).toString();
        if (QVersionNumber::compare(QVersionNumber::fromString(QStringLiteral(OXBELL_VERSION)).normalized(),
                                    QVersionNumber::fromString(version).normalized())
            < 0) {
            newerVersion = version;
            newerVersionUrl = document.object().value(JsonKey::url).toString();
        }
        auto keys = std::make_shared<AESKeyPair>();
        negotiate(JsonKey::iv, keys->ivBytes(), [this, keys] {
            negotiate(JsonKey::key, keys->keyBytes(), [this] {
                const QString found = QStringLiteral("the version request is answered and the session negotiation "
                                                     "with the built-in server key succeeds");
                if (newerVersion.isEmpty())
                    finish(Outcome::Ok, found);
                else
                    finish(Outcome::Warn,
                           found + QStringLiteral("; a newer client, version ") + newerVersion
                               + QStringLiteral(", is available at ") + newerVersionUrl,
                           QStringLiteral("Install it from ") + newerVersionUrl + QLatin1Char('.'));
            });
        });
    });
}

void Doctor::checkYourServers()
{
    if (servers.isEmpty()) {
        finish(Outcome::Warn, QStringLiteral("none configured"),
               QStringLiteral("Add your servers in Settings: the problems' scripts check them."));
        return;
    }
    // Tried as before a turn-in: all at once, directly, never through the proxy.
    QList<ServerCheck::Server> tried;
    for (auto it = servers.cbegin(); it != servers.cend(); ++it) {
        const QVariantMap server = it.value().toMap();
        tried.append(
            {it.key(), true, server.value(JsonKey::address).toString(), server.value(JsonKey::port).toString()});
    }
    auto* check = new ServerCheck(tried, studentServerTimeoutMs, this);
    connect(check, &ServerCheck::finished, this, [this, check, tried] {
        check->deleteLater();
        QStringList up;
        QStringList down;
        for (int i = 0; i < tried.size(); ++i) {
            if (check->reached(i))
                up << ServerCheck::describe(tried.at(i));
            else
                down << ServerCheck::describe(tried.at(i)) + QStringLiteral(" did not accept a connection: ")
                        + check->reason(i);
        }
        if (down.isEmpty())
            finish(Outcome::Ok,
                   up.join(QStringLiteral(", "))
                       + (up.size() == 1 ? QStringLiteral(" accepts") : QStringLiteral(" accept"))
                       + QStringLiteral(" connections"));
        else
            finish(Outcome::Warn, down.join(QStringLiteral("; ")),
                   QStringLiteral("Start your servers before you initialise, test or turn in a problem; they "
                                  "need not run at other times."));
    });
}

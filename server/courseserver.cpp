#include "courseserver.h"

#include <QFile>
#include <QHostAddress>

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace {
QString openSslError()
{
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    return QString::fromLatin1(text);
}

// Sends the whole chain file (leaf and intermediates) and refuses anything older than TLS 1.2.
bool setUpTls(SSL_CTX& context, const QByteArray& chain, const QByteArray& key, QString* error)
{
    SSL_CTX_set_options(&context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION);
    if (SSL_CTX_set_min_proto_version(&context, TLS1_2_VERSION) != 1
        || SSL_CTX_use_certificate_chain_file(&context, chain.constData()) != 1) {
        *error = QStringLiteral("certificate chain %1: %2").arg(QString::fromLocal8Bit(chain), openSslError());
        return false;
    }
    if (SSL_CTX_use_PrivateKey_file(&context, key.constData(), SSL_FILETYPE_PEM) != 1
        || SSL_CTX_check_private_key(&context) != 1) {
        *error = QStringLiteral("certificate key %1: %2").arg(QString::fromLocal8Bit(key), openSslError());
        return false;
    }
    return true;
}
}

CourseServer::CourseServer() = default;
CourseServer::~CourseServer() = default;

bool CourseServer::isLoopbackHost(const QString& host)
{
    return host == QLatin1String("localhost") || QHostAddress(host).isLoopback();
}

bool CourseServer::setUp(const Options& options, QString* error)
{
    // Fault injection answers anyone who can reach the port; only this machine may.
    if (options.faults && !isLoopbackHost(options.host)) {
        *error = QStringLiteral("--faults needs a loopback address to listen on, not %1").arg(options.host);
        return false;
    }
    if (!courses.load(options.courses, error) || !database.open(options.database, error))
        return false;

    QFile keyFile(options.sessionKey);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        *error = options.sessionKey + QStringLiteral(": ") + keyFile.errorString();
        return false;
    }
    if (!sessionKey.fromPem(keyFile.readAll()) || sessionKey.blockSize() * 8 < minimumSessionKeyBits) {
        *error = options.sessionKey
            + QStringLiteral(": not an unencrypted RSA private key of at least %1 bits").arg(minimumSessionKeyBits);
        return false;
    }

    sessions = std::make_unique<SessionStore>(options.maxSessions);
    routes = std::make_unique<Routes>(courses, database, *sessions, throttle, sessionKey,
                                      options.faults ? &faults : nullptr, options.version);
    HttpsFront::Limits limits;
    limits.maxConnections = options.maxConnections;
    Routes* const served = routes.get();
    front = std::make_unique<HttpsFront>(limits, &Routes::bodyLimit,
                                         [served](const HttpRequest& request) { return served->serve(request); });
    const QByteArray chain = QFile::encodeName(options.certificateChain);
    const QByteArray key = QFile::encodeName(options.certificateKey);
    QString tlsError;
    if (!front->setUpTls([&](SSL_CTX& context) { return setUpTls(context, chain, key, &tlsError); })) {
        *error = tlsError.isEmpty() ? QStringLiteral("TLS could not be set up") : tlsError;
        return false;
    }

    boundPort = front->bind(options.host.toStdString(), options.port);
    if (boundPort < 0) {
        *error = QStringLiteral("cannot listen on %1:%2").arg(options.host).arg(options.port);
        return false;
    }
    return true;
}

bool CourseServer::run()
{
    return front && boundPort >= 0 && front->run();
}

bool CourseServer::isRunning() const
{
    return front && front->isRunning();
}

void CourseServer::stop()
{
    if (front)
        front->stop();
}

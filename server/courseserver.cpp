#include "courseserver.h"

#include <QFile>
#include <QHostAddress>

#include <httplib.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

namespace {
constexpr int workerThreads = 48;
constexpr size_t maxBodyBytes = 1 << 20;
// Also how long stopping may wait for an idle connection to close.
constexpr time_t keepAliveSeconds = 2;

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

    const QByteArray chain = QFile::encodeName(options.certificateChain);
    const QByteArray key = QFile::encodeName(options.certificateKey);
    QString tlsError;
    server = std::make_unique<httplib::SSLServer>(
        [&](SSL_CTX& context) { return setUpTls(context, chain, key, &tlsError); });
    if (!server->is_valid()) {
        *error = tlsError.isEmpty() ? QStringLiteral("TLS could not be set up") : tlsError;
        return false;
    }
    if (options.faults)
        FaultInjector::watchConnections(server->ssl_context());
    server->new_task_queue = [] { return new httplib::ThreadPool(workerThreads); };
    server->set_payload_max_length(maxBodyBytes);
    server->set_keep_alive_timeout(keepAliveSeconds);
    // A reply's header and body leave in separate writes; without this, Nagle's algorithm and the
    // peer's delayed acknowledgement hold every reply back by about 40 ms.
    server->set_tcp_nodelay(true);

    sessions = std::make_unique<SessionStore>(options.maxSessions);
    routes = std::make_unique<Routes>(courses, database, *sessions, throttle, sessionKey,
                                      options.faults ? &faults : nullptr, options.version);
    routes->install(*server);

    const std::string host = options.host.toStdString();
    boundPort = options.port == 0 ? server->bind_to_any_port(host)
                                  : (server->bind_to_port(host, options.port) ? options.port : -1);
    if (boundPort < 0) {
        *error = QStringLiteral("cannot listen on %1:%2").arg(options.host).arg(options.port);
        return false;
    }
    return true;
}

bool CourseServer::run()
{
    return server && boundPort >= 0 && server->listen_after_bind();
}

bool CourseServer::isRunning() const
{
    return server && server->is_running();
}

void CourseServer::stop()
{
    if (server)
        server->stop();
}

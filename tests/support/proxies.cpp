#include "support/proxies.h"
#include "support/timeouts.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <pwd.h>
#include <unistd.h>

namespace {
constexpr int startTimeoutMs = testWaitMs;
constexpr int stopTimeoutMs = 10000;
constexpr int pollIntervalMs = 50;
const QString squidProgram = QStringLiteral("/usr/sbin/squid");
const QString squidPasswordHelper = QStringLiteral("/usr/lib/squid/basic_ncsa_auth");
const QString microsocksProgram = QStringLiteral("/usr/bin/microsocks");
// The account squid switches to when started as root; it must own the proxy's files.
const char* const squidAccount = "proxy";

int freeLoopbackPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

bool writeFile(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}
}

LoopbackProxy::LoopbackProxy(Kind proxyKind, const QString& userName, const QString& userPassword)
    : kind(proxyKind)
    , user(userName)
    , password(userPassword)
{
}

LoopbackProxy::~LoopbackProxy()
{
    stop();
}

bool LoopbackProxy::writeSquidFiles(QStringList* arguments)
{
    // An MD5-crypt password line, as basic_ncsa_auth reads it.
    QProcess hash;
    hash.start(QStringLiteral("openssl"), {QStringLiteral("passwd"), QStringLiteral("-1"), password});
    if (!hash.waitForFinished(startTimeoutMs) || hash.exitCode() != 0) {
        error = QStringLiteral("openssl passwd failed: ") + hash.errorString();
        return false;
    }
    const QString passwords = directory->filePath(QStringLiteral("passwords"));
    const QString config = directory->filePath(QStringLiteral("squid.conf"));
    const QString lines = QStringLiteral("http_port 127.0.0.1:%1\n"
                                         "pid_filename %2/squid.pid\n"
                                         "access_log stdio:%2/access.log\n"
                                         "cache_log %2/cache.log\n"
                                         "cache_store_log none\n"
                                         "netdb_filename none\n"
                                         "coredump_dir %2\n"
                                         "cache deny all\n"
                                         // Names come from /etc/hosts; nothing may leave the machine.
                                         "dns_nameservers 127.0.0.1\n"
                                         "auth_param basic program %3 %4\n"
                                         "auth_param basic realm oxbell-test\n"
                                         "acl authenticated proxy_auth REQUIRED\n"
                                         "http_access allow authenticated\n"
                                         "http_access deny all\n"
                                         "shutdown_lifetime 0 seconds\n"
                                         // squid will not start where the host name does not resolve.
                                         "visible_hostname localhost\n")
                              .arg(listeningPort)
                              .arg(directory->path(), squidPasswordHelper, passwords);
    if (!writeFile(passwords, user.toUtf8() + ':' + hash.readAllStandardOutput())
        || !writeFile(config, lines.toUtf8())) {
        error = QStringLiteral("cannot write the squid configuration");
        return false;
    }
    if (geteuid() == 0) {
        const passwd* account = getpwnam(squidAccount);
        if (!account
            || chown(QFile::encodeName(directory->path()).constData(), account->pw_uid, account->pw_gid) != 0) {
            error
                = QStringLiteral("cannot hand the proxy directory to the account %1").arg(QLatin1String(squidAccount));
            return false;
        }
        QFile::setPermissions(passwords, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    }
    *arguments = QStringList{QStringLiteral("-N"), QStringLiteral("-f"), config};
    return true;
}

bool LoopbackProxy::start()
{
    stop();
    directory = std::make_unique<QTemporaryDir>();
    listeningPort = freeLoopbackPort();
    if (!directory->isValid() || listeningPort == 0) {
        error = QStringLiteral("no directory or no free port for the proxy");
        return false;
    }

    QString program = microsocksProgram;
    QStringList arguments{QStringLiteral("-i"), QStringLiteral("127.0.0.1"),
                          QStringLiteral("-p"), QString::number(listeningPort),
                          QStringLiteral("-u"), user,
                          QStringLiteral("-P"), password};
    if (kind == Kind::Http) {
        program = squidProgram;
        if (!writeSquidFiles(&arguments))
            return false;
    }
    if (!QFile::exists(program)) {
        error = program + QStringLiteral(" is missing: run tools/install-deps.sh");
        return false;
    }

    process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardOutputFile(directory->filePath(QStringLiteral("output.log")));
    process->start(program, arguments);

    const QDeadlineTimer deadline(startTimeoutMs);
    while (!deadline.hasExpired() && process->state() != QProcess::NotRunning) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, quint16(listeningPort));
        if (probe.waitForConnected(pollIntervalMs))
            return true;
        QThread::msleep(pollIntervalMs);
    }
    QFile output(directory->filePath(QStringLiteral("output.log")));
    output.open(QIODevice::ReadOnly);
    error = QStringLiteral("%1 did not accept connections: %2\n%3")
                .arg(program, process->errorString(), QString::fromUtf8(output.readAll()));
    stop();
    return false;
}

void LoopbackProxy::stop()
{
    if (!process)
        return;
    process->terminate();
    if (!process->waitForFinished(stopTimeoutMs)) {
        process->kill();
        process->waitForFinished(stopTimeoutMs);
    }
    process.reset();
}

QByteArray LoopbackProxy::log() const
{
    if (!directory)
        return {};
    QFile file(directory->filePath(kind == Kind::Http ? QStringLiteral("access.log") : QStringLiteral("output.log")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int LoopbackProxy::connectionsTo(int targetPort, const QString& host) const
{
    // squid: "... TCP_TUNNEL/200 ... CONNECT HOST:PORT user ..."; microsocks: "client[5] 127.0.0.1:
    // connected to HOST:PORT".
    const QString target = QRegularExpression::escape(host) + QLatin1Char(':') + QString::number(targetPort);
    const QRegularExpression connection(kind == Kind::Http ? QStringLiteral("/200 .*CONNECT %1 ").arg(target)
                                                           : QStringLiteral("connected to %1$").arg(target),
                                        QRegularExpression::MultilineOption);
    int count = 0;
    for (auto matches = connection.globalMatch(QString::fromUtf8(log())); matches.hasNext(); matches.next())
        ++count;
    return count;
}

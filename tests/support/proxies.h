#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// A real proxy run for a test on a free port of 127.0.0.1, stopped by the destructor:
// - Http: squid with Basic authentication against a password file of its own. It answers a
//   missing or wrong password with 407 and a challenge, so the client is asked to authenticate.
// - Socks5: microsocks with a user name and password.
//
//     LoopbackProxy proxy(LoopbackProxy::Kind::Http, "alice", "secret");
//     QVERIFY2(proxy.start(), qPrintable(proxy.errorString()));
class LoopbackProxy {
public:
    enum class Kind { Http, Socks5 };

    LoopbackProxy(Kind kind, const QString& user, const QString& password);
    ~LoopbackProxy();
    LoopbackProxy(const LoopbackProxy&) = delete;
    LoopbackProxy& operator=(const LoopbackProxy&) = delete;

    // Starts the proxy and waits until it accepts connections; false (see errorString()) otherwise.
    bool start();
    void stop();

    int port() const { return listeningPort; }
    QString errorString() const { return error; }
    // The proxy's own log: squid's access log (one line per tunnel, written when it closes), or what
    // microsocks prints (one line per connection it opens).
    QByteArray log() const;
    // Connections the proxy opened to `host`:`targetPort` on behalf of a client, after successful
    // authentication.
    int connectionsTo(int targetPort, const QString& host = QStringLiteral("localhost")) const;

private:
    bool writeSquidFiles(QStringList* arguments);

    Kind kind;
    QString user;
    QString password;
    std::unique_ptr<QTemporaryDir> directory;
    std::unique_ptr<QProcess> process;
    int listeningPort = 0;
    QString error;
};

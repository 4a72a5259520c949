// The proxy settings against real proxies on loopback: squid (HTTP, Basic authentication) and
// microsocks (SOCKS 5 with user and password), started by the test itself.
#include "support/apphome.h"
#include "support/enginesession.h"
#include "support/practiceserver.h"
#include "support/proxies.h"
#include "support/testengine.h"
#include "support/timeouts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTest>

#include <memory>

namespace {
const QString httpUser = QStringLiteral("alice");
const QString httpPassword = QStringLiteral("squid-secret");
const QString socksUser = QStringLiteral("bob");
const QString socksPassword = QStringLiteral("socks-secret");
const QString wrongPassword = QStringLiteral("not-the-secret");
const QString unresolvable = QStringLiteral("no..such.proxy");
// A proxy looks up the server's name itself, and where /etc/hosts names localhost for ::1 too (as
// Debian's does) it may try only that address, where the practice server does not listen. Through a
// proxy the server is named by its IPv4 address, which its certificate names as well.
const QString proxiedServerHost = QStringLiteral("127.0.0.1");

enum Through { Direct, Squid, Socks };

QString authenticationMessage(const QString& credentials)
{
    return QStringLiteral("Proxy requires authentication and is rejecting your credentials.\n") + credentials
        + QStringLiteral("\nPlease check user_settings.json and try again.");
}

// Distinct client connections in the part of the practice server's log that begins at `from`.
int serverConnections(const QByteArray& log, int from)
{
    static const QRegularExpression peer(QStringLiteral("^\\S+ 127\\.0\\.0\\.1:(\\d+) "),
                                         QRegularExpression::MultilineOption);
    QSet<QString> ports;
    for (auto matches = peer.globalMatch(QString::fromUtf8(log.mid(from))); matches.hasNext();)
        ports.insert(matches.next().captured(1));
    return ports.size();
}
}

class TestProxy : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void proxyOf_data();
    void proxyOf();
    void engineSession_data();
    void engineSession();
    void headlessRun_data();
    void headlessRun();

private:
    // The settings with "{http}" and "{socks}" as ports replaced by the running proxies' ports.
    QVariantMap withPorts(QVariantMap proxy) const;
    LoopbackProxy& proxyOf(Through through) { return through == Squid ? squid : socks; }

    PracticeServer server;
    LoopbackProxy squid{LoopbackProxy::Kind::Http, httpUser, httpPassword};
    LoopbackProxy socks{LoopbackProxy::Kind::Socks5, socksUser, socksPassword};
};

void TestProxy::initTestCase()
{
    // Settings go to a test area even when the program runs outside ctest's own home.
    QStandardPaths::setTestModeEnabled(true);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    // Loopback connections must go through the proxies under test.
    qunsetenv("no_proxy");
    qunsetenv("NO_PROXY");
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY2(squid.start(), qPrintable(squid.errorString()));
    QVERIFY2(socks.start(), qPrintable(socks.errorString()));
}

void TestProxy::cleanup()
{
    QNetworkProxyFactory::setUseSystemConfiguration(false);
    qunsetenv("https_proxy");
}

QVariantMap TestProxy::withPorts(QVariantMap proxy) const
{
    const QString port = proxy.value("port").toString();
    if (port == QLatin1String("{http}"))
        proxy.insert("port", QString::number(squid.port()));
    else if (port == QLatin1String("{socks}"))
        proxy.insert("port", QString::number(socks.port()));
    return proxy;
}

void TestProxy::proxyOf_data()
{
    using P = QNetworkProxy;
    QTest::addColumn<QVariantMap>("settings");
    QTest::addColumn<QNetworkProxy>("proxy");

    const QString host = QStringLiteral("proxy.example");
    const QVariantMap at{{"host", host}, {"port", "3128"}};
    auto with = [&at](const QVariantMap& more) {
        QVariantMap map = at;
        for (auto it = more.begin(); it != more.end(); ++it)
            map.insert(it.key(), it.value());
        return map;
    };
    QTest::newRow("empty") << QVariantMap() << P(P::NoProxy);
    QTest::newRow("defaults: none, yet a host") << with({{"type", "none"}}) << P(P::NoProxy, host, 3128);
    QTest::newRow("HTTP in capitals") << with({{"type", "HTTP"}}) << P(P::HttpProxy, host, 3128);
    QTest::newRow("https") << with({{"type", "https"}}) << P(P::HttpProxy, host, 3128);
    QTest::newRow("SOCKS5 with credentials")
        << with({{"type", "SOCKS5"}, {"username", "u"}, {"password", "p"}}) << P(P::Socks5Proxy, host, 3128, "u", "p");
    QTest::newRow("socks") << with({{"type", "socks"}}) << P(P::Socks5Proxy, host, 3128);
    QTest::newRow("Auto") << with({{"type", "Auto"}}) << P(P::DefaultProxy, host, 3128);
    QTest::newRow("automatic") << QVariantMap{{"type", "automatic"}} << P(P::DefaultProxy);
    QTest::newRow("unknown type") << with({{"type", "ftp"}}) << P(P::NoProxy, host, 3128);
    QTest::newRow("port abc") << with({{"type", "http"}, {"port", "abc"}}) << P(P::HttpProxy, host, 0);
    QTest::newRow("port past 16 bits") << with({{"type", "http"}, {"port", "65537"}}) << P(P::HttpProxy, host, 1);
    QTest::newRow("host without port") << QVariantMap{{"type", "http"}, {"host", host}} << P(P::HttpProxy);
    QTest::newRow("user without password")
        << with({{"type", "http"}, {"username", "u"}}) << P(P::HttpProxy, host, 3128, "u");
}

void TestProxy::proxyOf()
{
    QFETCH(QVariantMap, settings);
    QFETCH(QNetworkProxy, proxy);
    QCOMPARE(Oxbell::proxyOf(settings), proxy);
}

void TestProxy::engineSession_data()
{
    QTest::addColumn<QVariantMap>("proxy"); // empty: no "proxy" entry at all
    QTest::addColumn<QString>("environmentProxy"); // https_proxy; "{http}" is squid's port
    QTest::addColumn<QString>("serverHost");
    QTest::addColumn<int>("through");
    QTest::addColumn<QString>("firstError"); // empty: the session gets ready to log in

    const QVariantMap squidAt{{"type", "http"}, {"host", "127.0.0.1"}, {"port", "{http}"}};
    QVariantMap withPassword = squidAt;
    withPassword.insert("username", httpUser);
    withPassword.insert("password", httpPassword);
    QVariantMap wrong = withPassword;
    wrong.insert("password", wrongPassword);
    QVariantMap userOnly = squidAt;
    userOnly.insert("username", httpUser);
    const QVariantMap socksAt{{"type", "SOCKS5"},
                              {"host", "localhost"},
                              {"port", "{socks}"},
                              {"username", socksUser},
                              {"password", socksPassword}};
    const QString environment = QStringLiteral("http://%1:%2@127.0.0.1:{http}").arg(httpUser, httpPassword);

    const QString local = QStringLiteral("localhost");
    QTest::newRow("http with password") << withPassword << "" << proxiedServerHost << int(Squid) << "";
    QTest::newRow("SOCKS5 in capitals") << socksAt << "" << proxiedServerHost << int(Socks) << "";
    // The system configuration never sends localhost or a loopback address through a proxy; 0.0.0.0
    // reaches the server all the same, though its certificate does not name that host.
    QTest::newRow("automatic follows https_proxy") << QVariantMap{{"type", "automatic"}} << environment << "0.0.0.0"
                                                   << int(Squid) << "Failed to check for updates.\n\nReason: ";
    QTest::newRow("no proxy entry ignores https_proxy") << QVariantMap() << environment << local << int(Direct) << "";
    QTest::newRow("wrong password") << wrong << "" << local << int(Direct)
                                    << authenticationMessage(
                                           "Using alice as the username. Using ******** as the password.");
    QTest::newRow("missing password") << userOnly << "" << local << int(Direct)
                                      << authenticationMessage("Using alice as the username. Missing password. ");
    QTest::newRow("missing user name and password")
        << squidAt << "" << local << int(Direct) << authenticationMessage("Missing username. Missing password. ");
    QVariantMap badHost = withPassword;
    badHost.insert("host", unresolvable);
    QTest::newRow("unresolvable host") << badHost << "" << local << int(Direct)
                                       << "Error encountered with proxy host (" + unresolvable + "): ";
    QVariantMap badPort = withPassword;
    badPort.insert("port", "abc");
    QTest::newRow("port abc") << badPort << "" << local << int(Direct)
                              << QStringLiteral("Failed to check for updates.\n\nReason: ");
}

void TestProxy::engineSession()
{
    QFETCH(QVariantMap, proxy);
    QFETCH(QString, environmentProxy);
    QFETCH(QString, serverHost);
    QFETCH(int, through);
    QFETCH(QString, firstError);

    if (!environmentProxy.isEmpty())
        qputenv("https_proxy", environmentProxy.replace("{http}", QString::number(squid.port())).toUtf8());
    const int tunnelsBefore
        = through == Direct ? 0 : proxyOf(Through(through)).connectionsTo(server.port(), serverHost);

    auto engine = std::make_unique<TestEngine>();
    QVariantMap settings{{"servers", QVariantMap{{"web1", QVariantMap{{"address", "localhost"}, {"port", "8082"}}}}}};
    if (!proxy.isEmpty())
        settings.insert("proxy", withPorts(proxy));
    QDir().mkpath(engine->settingsDir());
    QFile file(engine->settingsDir() + "/user_settings.json");
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QJsonDocument::fromVariant(settings).toJson()) > 0);
    file.close();

    QVERIFY(enginesession::start(*engine, QStringLiteral("https://%1:%2").arg(serverHost).arg(server.port()), false));
    QVERIFY(
        QTest::qWaitFor([&] { return engine->called("loginStateChanged") || engine->called("errorMessage"); }, testWaitMs));
    // A proxy host is looked up before anything is sent.
    QCOMPARE(engine->callsOf("showStatus").first().arguments.value(0).toString(),
             proxy.contains("host") ? QStringLiteral("Checking proxy host...")
                                    : QStringLiteral("Connecting to Oxbell server..."));
    if (proxy.isEmpty())
        QCOMPARE(engine->network->proxy().type(), QNetworkProxy::NoProxy);

    const auto errors = engine->callsOf("errorMessage");
    if (firstError.isEmpty()) {
        QVERIFY2(errors.isEmpty(), qPrintable(errors.value(0).arguments.value(0).toString()));
        QVERIFY(enginesession::login(*engine, PracticeServer::studentEmail, PracticeServer::studentPassword));
    } else {
        const QString message = errors.first().arguments.value(0).toString();
        QVERIFY2(message.startsWith(firstError), qPrintable(message));
        QVERIFY(errors.first().arguments.value(1).toBool());
        QVERIFY(!engine->called("loginStateChanged"));
        for (const auto& error : errors)
            QVERIFY(!error.arguments.value(0).toString().contains(wrongPassword));
    }
    QVERIFY(!engine->called("requestProxyCredentials"));

    // squid logs a tunnel when it closes.
    engine.reset();
    if (through != Direct)
        QTRY_VERIFY(proxyOf(Through(through)).connectionsTo(server.port(), serverHost) > tunnelsBefore);
}

void TestProxy::headlessRun_data()
{
    QTest::addColumn<int>("through");
    QTest::addColumn<QString>("password");

    QTest::newRow("http") << int(Squid) << httpPassword;
    QTest::newRow("socks5") << int(Socks) << socksPassword;
    QTest::newRow("http, wrong password") << int(Squid) << wrongPassword;
}

// The real program: every connection of a whole run is one the proxy opened, and a password never
// reaches the result or the log.
void TestProxy::headlessRun()
{
    QFETCH(int, through);
    QFETCH(QString, password);
    const bool accepted = password != wrongPassword;

    LoopbackProxy& proxy = proxyOf(Through(through));
    const int tunnelsBefore = proxy.connectionsTo(server.port(), proxiedServerHost);
    const int logBefore = server.log().size();
    AppHome home;
    QVERIFY(home.isValid()
            && PracticeServer::writeAppSettings(
                home.configDir(), QStringLiteral("https://%1:%2").arg(proxiedServerHost).arg(server.port())));
    const QJsonObject settings{
        {"servers", QJsonObject{{"web1", QJsonObject{{"address", "localhost"}, {"port", "8082"}}}}},
        {"proxy",
         QJsonObject{{"type", through == Squid ? "http" : "socks5"},
                     {"host", "localhost"},
                     {"port", QString::number(proxy.port())},
                     {"username", through == Squid ? httpUser : socksUser},
                     {"password", password}}}};
    QFile file(home.configDir() + "/user_settings.json");
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(settings).toJson()) > 0);
    file.close();

    const ProcessOutcome outcome = home.run({"-headless-test"});
    QVERIFY(outcome.finished);
    const QJsonObject result = QJsonDocument::fromJson(outcome.standardOutput).object();
    QVERIFY2(!outcome.standardOutput.contains(password.toUtf8()), outcome.standardOutput.constData());
    QVERIFY(!home.logLines().join('\n').contains(password));
    if (!accepted) {
        QVERIFY(result.value("exitCode").toInt() != 0);
        QVERIFY2(result.value("errorMessages").toArray().first().toString().contains("Using ******** as the password."),
                 outcome.standardOutput.constData());
        return;
    }
    QVERIFY2(result.value("exitCode").toInt() == 0, outcome.standardOutput.constData());
    const int connections = serverConnections(server.log(), logBefore);
    QVERIFY(connections > 0);
    QTRY_COMPARE(proxy.connectionsTo(server.port(), proxiedServerHost) - tunnelsBefore, connections);
}

QTEST_GUILESS_MAIN(TestProxy)

#include "tst_proxy.moc"

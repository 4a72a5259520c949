#include "support/apphome.h"
#include "support/enginesession.h"
#include "support/practiceserver.h"
#include "support/processrun.h"
#include "support/testengine.h"
#include "support/timeouts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QSslCertificate>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QVersionNumber>

#include <cstdio>

using enginesession::waitForHook;

using Kind = PracticeServer::FaultKind;

namespace {
const QString connecting = QStringLiteral("Connecting to Oxbell server...");
const QString checking = QStringLiteral("Checking for updates...");
const QString ready = QStringLiteral("Ready to log in");
const QString updateFailed = QStringLiteral("Failed to check for updates.\n\nReason: ");

QString firstError(const TestEngine& engine)
{
    const auto errors = engine.callsOf(QStringLiteral("errorMessage"));
    return errors.isEmpty() ? QString() : errors.first().arguments.value(0).toString();
}

bool firstErrorIsFatal(const TestEngine& engine)
{
    const auto errors = engine.callsOf(QStringLiteral("errorMessage"));
    return !errors.isEmpty() && errors.first().arguments.value(1).toBool();
}

// A loopback port that nothing listens on.
int closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}
}

class TestProtocol : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void handshake();
    void versionCheck_data();
    void versionCheck();
    void versionNotJson();
    void negotiationFailures_data();
    void negotiationFailures();
    void serverUnreachable();
    void urlIsNotNormalised();
    void tlsChains_data();
    void tlsChains();
    void caFileMissingOrEmpty_data();
    void caFileMissingOrEmpty();
    void cancelledReplyIsSwallowed_data();
    void cancelledReplyIsSwallowed();

private:
    PracticeServer server;
};

void TestProtocol::initTestCase()
{
    PracticeServer::Options options;
    options.faults = true;
    QVERIFY2(server.start(options), qPrintable(server.errorString()));
}

void TestProtocol::cleanup()
{
    QVERIFY(server.clearFaults());
}

void TestProtocol::handshake()
{
    TestEngine engine;
    QVERIFY(enginesession::start(engine, server.url()));

    // The default proxy entry (type "none", host localhost) is looked up before the first request.
    QCOMPARE(engine.hookNames(),
             QStringList({"showStatus", "showStatus", "showStatus", "showStatus", "loginStateChanged"}));
    QCOMPARE(engine.callsOf("showStatus").at(0).arguments.value(0).toString(), QStringLiteral("Checking proxy host..."));
    QCOMPARE(engine.callsOf("showStatus").at(1).arguments.value(0).toString(), connecting);
    QCOMPARE(engine.callsOf("showStatus").at(2).arguments.value(0).toString(), checking);
    QCOMPARE(engine.callsOf("showStatus").at(3).arguments.value(0).toString(), ready);
    QCOMPARE(engine.callsOf("loginStateChanged").at(0).arguments.value(0).toInt(), 0);
    // The key request's state stays until the next request is sent.
    QCOMPARE(engine.requestState, int(NegotiatingKey));
    QVERIFY(engine.pendingReplies.isEmpty());

    // The server now holds the session's key: an encrypted login succeeds.
    QVERIFY(enginesession::login(engine, PracticeServer::studentEmail, PracticeServer::studentPassword));
}

void TestProtocol::versionCheck_data()
{
    QTest::addColumn<QString>("serverVersion");
    QTest::addColumn<bool>("notifies");

    // Versions around the client's own.
    const QVersionNumber own = QVersionNumber::fromString(QStringLiteral(OXBELL_VERSION));
    const auto version = [](int major, int minor) { return QVersionNumber(major, minor).toString(); };
    const int major = own.majorVersion();
    const int minor = own.minorVersion();
    QTest::newRow("same version") << own.toString() << false;
    QTest::newRow("newer minor") << version(major, minor + 1) << true;
    QTest::newRow("newer, two-digit major") << version(major + 10, 0) << true;
    QTest::newRow("older") << (minor > 0 ? version(major, minor - 1) : version(major - 1, 9)) << false;
    QTest::newRow("same version, more segments") << own.toString() + QStringLiteral(".0") << false;
    QTest::newRow("lexically older, numerically newer") << version(major, minor + 10) << true;
    QTest::newRow("no version member") << "" << false;
}

void TestProtocol::versionCheck()
{
    QFETCH(QString, serverVersion);
    QFETCH(bool, notifies);

    PracticeServer versionServer;
    PracticeServer::Options options;
    options.extraArguments
        = QStringList{"--client-version", serverVersion, "--client-url", "https://example.invalid/new"};
    QVERIFY2(versionServer.start(options), qPrintable(versionServer.errorString()));

    TestEngine engine;
    QVERIFY(enginesession::start(engine, versionServer.url()));
    const auto notices = engine.callsOf("notifyNewVersion");
    QCOMPARE(notices.size(), notifies ? 1 : 0);
    if (notifies)
        QCOMPARE(notices.first().arguments, QVariantList({serverVersion, "https://example.invalid/new"}));
    // Whatever the answer, the key exchange follows.
    QCOMPARE(engine.callsOf("loginStateChanged").size(), 1);
}

void TestProtocol::versionNotJson()
{
    QVERIFY(server.injectFault(PracticeServer::fault("/version", Kind::BadJson)));
    TestEngine engine;
    QVERIFY(enginesession::start(engine, server.url(), false));
    QVERIFY(waitForHook(engine, "loginStateChanged"));

    QCOMPARE(firstError(engine), QStringLiteral("Received malformed JSON for version info"));
    QVERIFY(firstErrorIsFatal(engine));
    QVERIFY(!engine.called("notifyNewVersion"));
}

void TestProtocol::negotiationFailures_data()
{
    QTest::addColumn<bool>("keyStep");
    QTest::addColumn<QString>("prefix");

    QTest::newRow("IV") << false << "Failed to establish connection to server (IV). Please restart client.\n\nReason: ";
    QTest::newRow("key") << true
                         << "Failed to establish connection to server (Key). Please restart client.\n\nReason: ";
}

void TestProtocol::negotiationFailures()
{
    QFETCH(bool, keyStep);
    QFETCH(QString, prefix);
    const QString body = QStringLiteral("negotiation body text");

    TestEngine engine;
    if (keyStep) {
        QVERIFY(enginesession::start(engine, server.url()));
        QVERIFY(server.injectFault(PracticeServer::fault("/negotiate", Kind::Status, 500, body)));
        engine.negotiateKey();
    } else {
        QVERIFY(server.injectFault(PracticeServer::fault("/negotiate", Kind::Status, 500, body)));
        QVERIFY(enginesession::start(engine, server.url(), false));
    }
    QVERIFY(waitForHook(engine, "errorMessage"));

    const QString message = firstError(engine);
    QVERIFY2(message.startsWith(prefix), qPrintable(message));
    // The reason is the network layer's text, not the server's body.
    QVERIFY2(message.size() > prefix.size(), qPrintable(message));
    QVERIFY2(!message.contains(body), qPrintable(message));
    QVERIFY(firstErrorIsFatal(engine));
    QCOMPARE(engine.callsOf("loginStateChanged").size(), keyStep ? 1 : 0);
}

void TestProtocol::serverUnreachable()
{
    TestEngine engine;
    QVERIFY(enginesession::start(engine, QStringLiteral("https://127.0.0.1:%1").arg(closedPort()), false));
    QVERIFY(waitForHook(engine, "errorMessage"));
    QCOMPARE(firstError(engine), updateFailed + QStringLiteral("Connection refused"));
    QVERIFY(firstErrorIsFatal(engine));
    QVERIFY(!engine.called("loginStateChanged"));
}

void TestProtocol::urlIsNotNormalised()
{
    TestEngine engine;
    QVERIFY(enginesession::start(engine, server.url() + QLatin1Char('/'), false));
    QCOMPARE(engine.pendingReplies.size(), 1);
    QCOMPARE(engine.pendingReplies.first()->url().toString(), server.url() + QStringLiteral("//version"));
}

void TestProtocol::tlsChains_data()
{
    QTest::addColumn<int>("chain");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("leaf and our intermediate") << int(PracticeServer::Chain::Normal) << true;
    QTest::newRow("unrelated CA") << int(PracticeServer::Chain::OtherCa) << false;
    QTest::newRow("host name mismatch") << int(PracticeServer::Chain::WrongHost) << false;
    QTest::newRow("name outside the practice CA's constraints") << int(PracticeServer::Chain::OutsideName) << false;
}

void TestProtocol::tlsChains()
{
    QFETCH(int, chain);
    QFETCH(bool, accepted);

    PracticeServer chainServer;
    PracticeServer::Options options;
    options.chain = PracticeServer::Chain(chain);
    QVERIFY2(chainServer.start(options), qPrintable(chainServer.errorString()));

    TestEngine engine;
    QVERIFY(enginesession::start(engine, chainServer.url(), false));
    QList<QSslError> reported;
    connect(engine.network, &QNetworkAccessManager::sslErrors, this,
            [&](QNetworkReply*, const QList<QSslError>& errors) { reported += errors; });
    QVERIFY(
        QTest::qWaitFor([&] { return engine.called("loginStateChanged") || engine.called("errorMessage"); }, testWaitMs));

    if (accepted) {
        QVERIFY2(!engine.called("errorMessage"), qPrintable(firstError(engine)));
        const QList<QSslCertificate> intermediate
            = QSslCertificate::fromPath(QStringLiteral(OXBELL_PKI_DIR "/intermediate.pem"));
        QCOMPARE(intermediate.size(), 1);
        // Every request of the session reports the same single, expected error.
        QVERIFY(!reported.isEmpty());
        for (const QSslError& error : qAsConst(reported)) {
            QCOMPARE(error.error(), QSslError::UnableToGetLocalIssuerCertificate);
            QCOMPARE(error.certificate(), intermediate.first());
        }
    } else {
        QVERIFY(firstError(engine).startsWith(updateFailed));
        QVERIFY(firstErrorIsFatal(engine));
        QVERIFY(!engine.called("loginStateChanged"));
    }
}

void TestProtocol::caFileMissingOrEmpty_data()
{
    QTest::addColumn<bool>("emptyFile");
    QTest::newRow("no CA file") << false;
    QTest::newRow("CA file without a certificate") << true;
}

// The CA file lies in the application directory, so a copy of this program in a directory of
// its own runs the session.
void TestProtocol::caFileMissingOrEmpty()
{
    QFETCH(bool, emptyFile);
    QTemporaryDir appDir;
    QVERIFY(appDir.isValid());
    const QString copy = appDir.filePath(QStringLiteral("tst_protocol"));
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), copy));
    if (emptyFile) {
        QVERIFY(QDir(appDir.path()).mkpath(QStringLiteral("certs")));
        QFile ca(appDir.filePath(QStringLiteral("certs/GandiStandardSSLCA.pem")));
        QVERIFY(ca.open(QIODevice::WriteOnly));
        ca.write("not a certificate\n");
    }

    // The child ends right after the failed handshake, as the real program does.
    const AppHome home;
    const ProcessOutcome outcome
        = runProcess(copy, {QStringLiteral("--child"), QStringLiteral("session"), server.url()}, home.environment());
    QVERIFY2(outcome.finished && outcome.exitStatus == QProcess::NormalExit && outcome.exitCode == 0,
             outcome.standardError.constData());
    QString report = QString::fromUtf8(outcome.standardOutput);
#ifdef Q_OS_WIN
    // Text on standard output has Windows line ends there.
    report.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
#endif
    QVERIFY2(report.startsWith(QStringLiteral("errorMessage fatal ") + updateFailed), qPrintable(report));
}

void TestProtocol::cancelledReplyIsSwallowed_data()
{
    QTest::addColumn<bool>("throughCancelRun");
    QTest::newRow("cancelPendingReplies") << false;
    QTest::newRow("cancelRun") << true;
}

void TestProtocol::cancelledReplyIsSwallowed()
{
    QFETCH(bool, throughCancelRun);

    TestEngine engine;
    QVERIFY(enginesession::start(engine, server.url()));
    QVERIFY(enginesession::login(engine, PracticeServer::studentEmail, PracticeServer::studentPassword));
    QVERIFY(server.injectFault(PracticeServer::fault("/grades", Kind::Delay, 200, {}, 1, 1000)));

    engine.loadCourses();
    QCOMPARE(engine.pendingReplies.size(), 1);
    QPointer<QNetworkReply> reply = engine.pendingReplies.first();
    const int hooksBefore = engine.calls.size();
    if (throughCancelRun)
        engine.cancelRun();
    else
        engine.cancelPendingReplies();
    const int hooksAfterCancel = engine.calls.size();
    const int stateAfterCancel = engine.requestState;
    QCOMPARE(engine.ignoredReplies.size(), 1);
    QVERIFY(engine.pendingReplies.isEmpty());
    if (throughCancelRun) {
        QCOMPARE(engine.hookNames().mid(hooksBefore), QStringList({"scriptFailed"}));
        QCOMPARE(stateAfterCancel, int(Idle));
        QCOMPARE(engine.runState, 0);
    }

    QTRY_VERIFY_WITH_TIMEOUT(reply.isNull(), 20000);
    QCOMPARE(engine.calls.size(), hooksAfterCancel);
    QCOMPARE(engine.requestState, stateAfterCancel);
    QVERIFY(engine.ignoredReplies.isEmpty());
}

// Child mode: one session in this program's own application directory; prints the first hook
// that ended it.
static int runSessionChild(const QStringList& arguments)
{
    TestEngine engine;
    enginesession::start(engine, arguments.value(0), false);
    if (!QTest::qWaitFor([&] { return engine.called("loginStateChanged") || engine.called("errorMessage"); }, testWaitMs))
        return 1;
    QByteArray report;
    if (engine.called("errorMessage"))
        report = "errorMessage " + QByteArray(firstErrorIsFatal(engine) ? "fatal " : "") + firstError(engine).toUtf8();
    else
        report = engine.hookNames().join(' ').toUtf8();
    std::fwrite(report.constData(), 1, size_t(report.size()), stdout);
    return 0;
}

int main(int argc, char** argv)
{
    const ChildRequest child = childRequest(argc, argv);
    QCoreApplication application(argc, argv);
    // Settings go to a test area even when the program runs outside ctest's own home.
    QStandardPaths::setTestModeEnabled(true);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    if (child.name == QLatin1String("session"))
        return runSessionChild(child.arguments);
    TestProtocol test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_protocol.moc"

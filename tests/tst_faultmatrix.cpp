// Every request the engine makes, against every way the practice server can fail it: each ends in
// its state's own message, once, with the engine idle again.
#include "support/enginesession.h"
#include "support/practiceserver.h"
#include "support/testengine.h"
#include "support/timeouts.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QTest>
#include <QTreeWidgetItem>

#include <memory>

using Kind = PracticeServer::FaultKind;

namespace {
// Short enough that a stalled request fails quickly, long enough for a sanitized server's answer.
constexpr int shortTimeoutMs = 1500;
constexpr int stallMs = 3 * shortTimeoutMs;
// Extra hooks (a second ending) would come within this.
constexpr int settleMs = 300;

const QString body = QStringLiteral("the course server is down");
const QString late = QStringLiteral("The server did not answer in time.");
const QString unreadable = QStringLiteral("The server's answer could not be read.");
const QString undecryptable = QStringLiteral("The server's answer could not be decrypted.");
const QString standardError = QStringLiteral("Unexpected output on standard error: ");
const QString closed = QStringLiteral("The connection closed before the server answered.");
const QString noSession = QStringLiteral("No session keys: negotiate the IV and the key with /negotiate first");

struct Request {
    RequestState state;
    QString name;
    QString faultPath;
    QString logged; // the request as the server logs it
};

const Request requests[] = {
    {CheckingVersion, "version", "/version", "GET /version "},
    {NegotiatingIv, "IV", "/negotiate", "POST /negotiate "},
    {NegotiatingKey, "key", "/negotiate", "POST /negotiate "},
    {LoggingIn, "login", "/login", "POST /login "},
    {LoadingCourses, "catalogue", "/grades", "GET /grades "},
    {DownloadingInit, "init download", "/download/init/*", "GET /download/init/"},
    {DownloadingScript, "script download", "/download/*", "GET /download/"},
    {PostingGrade, "grade post", "/grade/*", "POST /grade/"},
};

const std::pair<Kind, const char*> faults[] = {
    {Kind::Status, "error status"}, {Kind::BadJson, "not JSON"}, {Kind::BadDecrypt, "does not decrypt"},
    {Kind::Drop, "dropped"},        {Kind::Delay, "stalled"},
};

struct Outcome {
    QStringList hooks;
    QString message; // of the first errorMessage or promptRetry; ending in "Reason: ": any non-empty reason
    bool fatal = false;
    RequestState endState = Idle;
};

// What each state does with each fault.
Outcome expected(RequestState state, Kind kind)
{
    const bool answered = kind == Kind::Status; // a body that is the reason
    const QString reason = kind == Kind::Delay ? late : answered ? body : QString();
    switch (state) {
    case CheckingVersion:
        if (kind == Kind::BadJson || kind == Kind::BadDecrypt)
            return {{"errorMessage", "showStatus", "loginStateChanged"},
                    "Received malformed JSON for version info",
                    true,
                    NegotiatingKey};
        // The handshake's reasons are the network layer's, never the body.
        return {{"errorMessage"}, "Failed to check for updates.\n\nReason: " + (kind == Kind::Delay ? late : ""), true};
    case NegotiatingIv:
    case NegotiatingKey: {
        // The negotiation's success body carries nothing.
        if (kind == Kind::BadJson || kind == Kind::BadDecrypt)
            return {{"showStatus", "loginStateChanged"}, QString(), false, NegotiatingKey};
        const QString which = state == NegotiatingIv ? "(IV)" : "(Key)";
        return {{"errorMessage"},
                "Failed to establish connection to server " + which
                    + ". Please restart client.\n\nReason: " + (kind == Kind::Delay ? late : ""),
                true};
    }
    case LoggingIn:
        // The login's success body is not read.
        if (kind == Kind::BadJson || kind == Kind::BadDecrypt)
            return {{"loginStateChanged"}, QString()};
        return {{"errorMessage", "loginStateChanged"}, "Failed to login. Please try again.\n\nReason: " + reason};
    case LoadingCourses:
        if (kind == Kind::BadJson || kind == Kind::BadDecrypt)
            return {{"showStatus", "errorMessage", "showStatus", "coursesLoaded"},
                    "Received malformed JSON for Courses",
                    true};
        // Retried once, and then the catalogue comes.
        return {{"showStatus", "promptRetry", "showStatus", "coursesLoaded"},
                "Failed to retrieve course listings.\n\nReason: " + reason};
    case DownloadingInit:
    case DownloadingScript: {
        // A script that decrypts but is no Python fails as a broken script would.
        if (kind == Kind::BadJson)
            return {{"clearFeedback", "errorMessage", "scriptFailed"}, standardError};
        const QString prefix = state == DownloadingInit
            ? "Failed to initialize assignment. Please try again.\n\nReason: "
            : "Failed to test assignment. Please try again.\n\nReason: ";
        return {{"errorMessage", "scriptFailed"}, prefix + (kind == Kind::BadDecrypt ? undecryptable : reason)};
    }
    case PostingGrade:
        // A connection closed before any answer fails the post rather than sending it again.
        if (kind == Kind::DropAfter || kind == Kind::DropBefore)
            return {{"errorMessage", "scriptFailed"},
                    "Failed to test assignment. Please try again\n Reason: " + closed};
        return {{"errorMessage", "scriptFailed"},
                "Failed to test assignment. Please try again\n Reason: "
                    + (kind == Kind::BadJson || kind == Kind::BadDecrypt ? unreadable : reason)};
    default:
        return {};
    }
}

QString firstMessage(const TestEngine& engine, int from)
{
    for (int i = from; i < engine.calls.size(); ++i) {
        const QString hook = engine.calls.at(i).hook;
        if (hook == QLatin1String("errorMessage") || hook == QLatin1String("promptRetry"))
            return engine.calls.at(i).arguments.value(0).toString();
    }
    return QString();
}
}

class TestFaultMatrix : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void matrix_data();
    void matrix();
    void sessionLost_data();
    void sessionLost();

private:
    PracticeServer server;
};

void TestFaultMatrix::initTestCase()
{
    // Settings go to a test area even when the program runs outside ctest's own home.
    QStandardPaths::setTestModeEnabled(true);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    PracticeServer::Options options;
    options.faults = true;
    QVERIFY2(server.start(options), qPrintable(server.errorString()));
}

void TestFaultMatrix::cleanup()
{
    QVERIFY(server.clearFaults());
}

void TestFaultMatrix::matrix_data()
{
    QTest::addColumn<int>("request");
    QTest::addColumn<int>("kind");
    for (int r = 0; r < int(std::size(requests)); ++r) {
        for (const auto& [kind, name] : faults)
            QTest::addRow("%s, %s", qPrintable(requests[r].name), name) << r << int(kind);
    }
    // Every other request may be sent again on a new connection: nothing is spent by it.
    const int gradePost = int(std::size(requests)) - 1;
    QTest::newRow("grade post, recorded, then no answer") << gradePost << int(Kind::DropAfter);
    QTest::newRow("grade post, dropped unread") << gradePost << int(Kind::DropBefore);
}

void TestFaultMatrix::matrix()
{
    QFETCH(int, request);
    QFETCH(int, kind);
    const Request& under = requests[request];
    const Outcome outcome = expected(under.state, Kind(kind));
    const PracticeServer::Fault fault
        = PracticeServer::fault(under.faultPath, Kind(kind), 503, body, 1, Kind(kind) == Kind::Delay ? stallMs : 0);
    const int logBefore = server.log().size();

    TestEngine engine;
    std::unique_ptr<QTreeWidgetItem> item(enginesession::demoWarmupItem());
    int before = 0;
    if (under.state <= NegotiatingKey) {
        // The IV's request passes, so the fault meets the key's.
        engine.requestTimeoutMs = shortTimeoutMs;
        if (under.state == NegotiatingKey)
            QVERIFY(server.injectFault(PracticeServer::fault(under.faultPath, Kind::Delay)));
        QVERIFY(server.injectFault(fault));
        QVERIFY(enginesession::start(engine, server.url(), false));
        before = engine.calls.size();
    } else {
        QVERIFY(enginesession::start(engine, server.url()));
        if (under.state != LoggingIn)
            QVERIFY(enginesession::login(engine, PracticeServer::studentEmail, PracticeServer::studentPassword));
        // Only the request under test meets the short time-out: a login checks a costly password hash.
        engine.requestTimeoutMs = shortTimeoutMs;
        QVERIFY(server.injectFault(fault));
        before = engine.calls.size();
        engine.testMode = true;
        engine.retryAnswers = {true};
        switch (under.state) {
        case LoggingIn:
            engine.login(PracticeServer::studentEmail, PracticeServer::studentPassword);
            break;
        case LoadingCourses:
            engine.loadCourses();
            break;
        case DownloadingInit:
        case DownloadingScript:
            engine.runState = under.state == DownloadingInit ? RunState::Init : RunState::Grading;
            engine.reactions.insert("gradingFinished", [&](const TestEngine::Call&) { engine.postGrade(item.get()); });
            engine.downloadScript(item.get(), under.state == DownloadingInit);
            break;
        default:
            engine.runState = RunState::Grading;
            engine.scriptState = QJsonDocument(QJsonObject{{"checks", QJsonArray()}});
            engine.postGrade(item.get());
        }
    }

    QVERIFY(QTest::qWaitFor([&] { return engine.calls.size() - before >= outcome.hooks.size(); }, stallMs + testWaitMs));
    QTest::qWait(settleMs);
    QCOMPARE(engine.hookNames().mid(before), outcome.hooks);

    const QString message = firstMessage(engine, before);
    if (outcome.message.endsWith(QLatin1String("Reason: "))) {
        QVERIFY2(message.startsWith(outcome.message) && message.size() > outcome.message.size(), qPrintable(message));
    } else if (outcome.message == standardError) {
        QVERIFY2(message.startsWith(standardError), qPrintable(message));
    } else {
        QCOMPARE(message, outcome.message);
    }
    const auto errors = engine.callsOf("errorMessage");
    if (!errors.isEmpty())
        QCOMPARE(errors.first().arguments.value(1).toBool(), outcome.fatal);

    QCOMPARE(engine.requestState, int(outcome.endState));
    QCOMPARE(engine.runState, RunState::None);
    QVERIFY(engine.pendingReplies.isEmpty());
    // A request that changes something on the server is sent once, whatever became of it.
    if (under.state == LoggingIn || under.state == PostingGrade)
        QVERIFY2(server.log().mid(logBefore).count(under.logged.toUtf8()) <= 1,
                 server.log().mid(logBefore).constData());
    // A stalled request is served after the client gave up: its line must not fall into the next row.
    if (Kind(kind) == Kind::Delay)
        QTRY_VERIFY_WITH_TIMEOUT(server.log().mid(logBefore).count(under.logged.toUtf8())
                                     >= (under.state == NegotiatingKey ? 2 : 1),
                                 stallMs + testWaitMs);
}

// A request the server answers as of a session it no longer knows is sent again, once, on a new
// session and login; the front end sees one request and its answer. A second loss fails it as any
// refusal would, and a turn-in's result stays kept.
void TestFaultMatrix::sessionLost_data()
{
    QTest::addColumn<int>("request");
    QTest::addColumn<int>("losses"); // 0: the server restarts while the script runs
    QTest::addColumn<QString>("ending");
    QTest::newRow("login") << 3 << 1 << "loginStateChanged";
    QTest::newRow("catalogue") << 4 << 1 << "coursesLoaded";
    QTest::newRow("script download") << 6 << 1 << "showGradeResult";
    QTest::newRow("grade post") << 7 << 1 << "showGradeResult";
    QTest::newRow("grade post, server restarted during the script") << 6 << 0 << "showGradeResult";
    QTest::newRow("grade post, lost again") << 7 << 2 << "scriptFailed";
}

void TestFaultMatrix::sessionLost()
{
    QFETCH(int, request);
    QFETCH(int, losses);
    QFETCH(QString, ending);
    const Request& under = requests[request];
    QVERIFY(QDir(Receipts::directory()).removeRecursively());
    TestEngine engine;
    std::unique_ptr<QTreeWidgetItem> item(enginesession::demoWarmupItem());
    QVERIFY(enginesession::start(engine, server.url()));
    if (under.state != LoggingIn)
        QVERIFY(enginesession::login(engine, PracticeServer::studentEmail, PracticeServer::studentPassword));
    if (losses > 0)
        QVERIFY(server.injectFault(PracticeServer::fault(under.faultPath, Kind::Status, 400, noSession, losses)));
    const int logBefore = server.log().size();
    const int before = engine.calls.size();
    engine.reactions.insert("gradingFinished", [&](const TestEngine::Call&) { engine.postGrade(item.get()); });
    if (losses == 0)
        engine.reactions.insert("clearFeedback", [&](const TestEngine::Call&) { QVERIFY(server.restart()); });
    engine.runState = RunState::Grading;
    engine.testMode = true;
    engine.scriptState = QJsonDocument(QJsonObject{{"checks", QJsonArray()}});
    if (under.state == LoggingIn)
        engine.login(PracticeServer::studentEmail, PracticeServer::studentPassword);
    else if (under.state == LoadingCourses)
        engine.loadCourses();
    else if (under.state == DownloadingScript)
        engine.downloadScript(item.get(), false);
    else
        engine.postGrade(item.get());

    QVERIFY(enginesession::waitForHook(engine, ending, engine.callsOf(ending).size() + 1));
    QTest::qWait(settleMs);
    const QStringList hooks = engine.hookNames().mid(before);
    QCOMPARE(hooks.count(ending), 1);
    QCOMPARE(hooks.contains("errorMessage"), losses == 2);
    if (losses == 2)
        QCOMPARE(firstMessage(engine, before), "Failed to test assignment. Please try again\n Reason: " + noSession);
    QCOMPARE(engine.hasKeptResult(item.get()), losses == 2);
    QCOMPARE(engine.requestState, int(Idle));
    // Sent twice, on the old session and on the new one, which was made once.
    const QByteArray log = server.log().mid(logBefore);
    QCOMPARE(log.count(losses == 0 ? "POST /grade/" : under.logged.toUtf8()), 2);
    QCOMPARE(log.count("POST /negotiate "), 2);
}

QTEST_GUILESS_MAIN(TestFaultMatrix)

#include "tst_faultmatrix.moc"

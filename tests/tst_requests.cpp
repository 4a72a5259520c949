#include "support/enginesession.h"
#include "support/practiceserver.h"
#include "support/testengine.h"
#include "support/timeouts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QTreeWidgetItem>

#include <memory>

using enginesession::waitForHook;

using Kind = PracticeServer::FaultKind;

namespace {
const QString demoCourse = QStringLiteral("OxbellX/DB101/2026_Fall");
const QString warmupPath = QStringLiteral("OxbellX/DB101/2026_Fall/week0/warmup/setup");

QString lastError(const TestEngine& engine)
{
    const auto errors = engine.callsOf(QStringLiteral("errorMessage"));
    return errors.isEmpty() ? QString() : errors.last().arguments.value(0).toString();
}

// Hook names from the index of the first call of `hook` on.
QStringList namesFrom(const TestEngine& engine, const QString& hook)
{
    const QStringList names = engine.hookNames();
    return names.mid(names.indexOf(hook));
}
}

class TestRequests : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void login_data();
    void login();
    void catalogue();
    void catalogueRetried();
    void catalogueRetryRefusedEndsTheProgram();
    void catalogueMalformed_data();
    void catalogueMalformed();
    void scriptRunsThroughToTheGrade_data();
    void scriptRunsThroughToTheGrade();
    void downloadFailures_data();
    void downloadFailures();
    void downloadPathKeepsEmptyIdentifiers();
    void noServersConfigured();
    void gradePostFailures_data();
    void gradePostFailures();
    void gradePostBeforeAnyState();
    void keptResultSentAgain_data();
    void keptResultSentAgain();
    void keptTurnInAfterItClosed();
    void receiptsStayBounded();

private:
    // A session that has logged in as the demo student.
    bool loggedIn();
    // The warm-up's attempts as the server's catalogue has them now; -1 when it did not load.
    int warmupAttempts();

    PracticeServer server;
    std::unique_ptr<TestEngine> engine;
};

void TestRequests::initTestCase()
{
    // Settings go to a test area even when the program runs outside ctest's own home.
    QStandardPaths::setTestModeEnabled(true);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    PracticeServer::Options options;
    options.faults = true;
    QVERIFY2(server.start(options), qPrintable(server.errorString()));
}

void TestRequests::init()
{
#ifdef OXBELL_INTERPRETER_STANDIN
    // The stand-in for PyPy (support/standin.cpp) carries out only simple lines.
    if (QTest::currentTestFunction() == QByteArray("scriptRunsThroughToTheGrade"))
        QSKIP("Needs more of Python than the stand-in carries out");
#endif
    engine = std::make_unique<TestEngine>();
    QVERIFY(enginesession::start(*engine, server.url()));
}

void TestRequests::cleanup()
{
    engine.reset();
    QVERIFY(server.clearFaults());
}

bool TestRequests::loggedIn()
{
    return enginesession::login(*engine, PracticeServer::studentEmail, PracticeServer::studentPassword);
}

int TestRequests::warmupAttempts()
{
    const int loads = engine->callsOf("coursesLoaded").size();
    engine->loadCourses();
    if (!waitForHook(*engine, "coursesLoaded", loads + 1))
        return -1;
    const QVariantMap catalogue = engine->callsOf("coursesLoaded").last().arguments.value(0).toMap();
    const QVariantMap week = catalogue.value(demoCourse).toList().value(0).toMap();
    const QVariantMap section = week.value("sections").toList().value(0).toMap();
    return section.value("problems").toList().value(0).toMap().value("attempts", -1).toInt();
}

void TestRequests::login_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("faultStatus");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("message");

    QTest::newRow("accepted") << PracticeServer::studentPassword << 0 << 1 << QString();
    QTest::newRow("wrong password") << "not the password" << 0 << 2
                                    << "Failed to login. Please try again.\n\nReason: Wrong e-mail address or password";
    QTest::newRow("refused with an empty body")
        << PracticeServer::studentPassword << 401 << 2 << "Failed to login. Please try again.\n\nReason: ";
}

void TestRequests::login()
{
    QFETCH(QString, password);
    QFETCH(int, faultStatus);
    QFETCH(int, state);
    QFETCH(QString, message);

    if (faultStatus)
        QVERIFY(server.injectFault(PracticeServer::fault("/login", Kind::Status, faultStatus)));
    const int before = engine->calls.size();
    engine->login(PracticeServer::studentEmail, password);
    QCOMPARE(engine->requestState, int(LoggingIn));
    QVERIFY(waitForHook(*engine, "loginStateChanged", 2));

    const QStringList expected
        = message.isEmpty() ? QStringList{"loginStateChanged"} : QStringList{"errorMessage", "loginStateChanged"};
    QCOMPARE(engine->hookNames().mid(before), expected);
    QCOMPARE(engine->callsOf("loginStateChanged").last().arguments.value(0).toInt(), state);
    if (!message.isEmpty())
        QCOMPARE(engine->callsOf("errorMessage").last().arguments, QVariantList({message, false}));
    QCOMPARE(engine->requestState, int(Idle));
}

void TestRequests::catalogue()
{
    QVERIFY(loggedIn());
    const int before = engine->calls.size();
    engine->loadCourses();
    QCOMPARE(engine->requestState, int(LoadingCourses));
    QVERIFY(waitForHook(*engine, "coursesLoaded"));

    QCOMPARE(engine->hookNames().mid(before), QStringList({"showStatus", "showStatus", "coursesLoaded"}));
    QCOMPARE(engine->calls.at(before).arguments.value(0).toString(), QStringLiteral("Loading course information..."));
    QCOMPARE(engine->calls.at(before + 1).arguments.value(0).toString(), QStringLiteral("Course(s) Loaded"));
    const QVariantMap catalogue = engine->callsOf("coursesLoaded").first().arguments.value(0).toMap();
    QVERIFY(catalogue.contains("status"));
    QVERIFY(catalogue.contains(demoCourse));
    const QVariantMap firstProblem = catalogue.value(demoCourse)
                                         .toList()
                                         .value(0)
                                         .toMap()
                                         .value("sections")
                                         .toList()
                                         .value(0)
                                         .toMap()
                                         .value("problems")
                                         .toList()
                                         .value(0)
                                         .toMap();
    QCOMPARE(firstProblem.value("url_name").toString(), QStringLiteral("setup"));
    QVERIFY(firstProblem.contains("attempts"));
    QCOMPARE(engine->requestState, int(Idle));
}

void TestRequests::catalogueRetried()
{
    QVERIFY(loggedIn());
    QVERIFY(server.injectFault(PracticeServer::fault("/grades", Kind::Status, 503, "catalogue is busy")));
    engine->retryAnswers = {true};
    const int before = engine->calls.size();
    engine->loadCourses();
    QVERIFY(waitForHook(*engine, "coursesLoaded"));

    // The retry is sent at once, without a second progress message.
    QCOMPARE(engine->hookNames().mid(before),
             QStringList({"showStatus", "promptRetry", "showStatus", "coursesLoaded"}));
    QCOMPARE(engine->callsOf("promptRetry").first().arguments.value(0).toString(),
             QStringLiteral("Failed to retrieve course listings.\n\nReason: catalogue is busy"));
    QVERIFY(engine->callsOf("coursesLoaded").first().arguments.value(0).toMap().contains(demoCourse));
}

void TestRequests::catalogueRetryRefusedEndsTheProgram()
{
    QVERIFY(loggedIn());
    QVERIFY(server.injectFault(PracticeServer::fault("/grades", Kind::Status, 500, "down")));
    engine->loadCourses();
    // The guard ends with this row: fired during a later one, it would leave every event loop of
    // the program quitting at once.
    QObject guard;
    QTimer::singleShot(testWaitMs, &guard, [] { QCoreApplication::exit(99); });
    QCOMPARE(QCoreApplication::exec(), 1);
    QCOMPARE(engine->callsOf("promptRetry").size(), 1);
    QVERIFY(!engine->called("coursesLoaded"));
}

void TestRequests::catalogueMalformed_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("not JSON") << int(Kind::BadJson);
    QTest::newRow("does not decrypt") << int(Kind::BadDecrypt);
}

void TestRequests::catalogueMalformed()
{
    QFETCH(int, kind);
    QVERIFY(loggedIn());
    QVERIFY(server.injectFault(PracticeServer::fault("/grades", Kind(kind))));
    engine->loadCourses();
    QVERIFY(waitForHook(*engine, "coursesLoaded"));

    QCOMPARE(namesFrom(*engine, "errorMessage"), QStringList({"errorMessage", "showStatus", "coursesLoaded"}));
    QCOMPARE(engine->callsOf("errorMessage").first().arguments,
             QVariantList({"Received malformed JSON for Courses", true}));
    QVERIFY(engine->callsOf("coursesLoaded").first().arguments.value(0).toMap().isEmpty());
}

void TestRequests::scriptRunsThroughToTheGrade_data()
{
    QTest::addColumn<bool>("init");
    QTest::addColumn<bool>("testMode");
    QTest::addColumn<QString>("request");

    QTest::newRow("init") << true << false << "GET /download/init/" + warmupPath + " 200";
    QTest::newRow("test") << false << true << "POST /grade/" + warmupPath + "/1 200";
    QTest::newRow("turn in") << false << false << "POST /grade/" + warmupPath + "/0 200";
}

void TestRequests::scriptRunsThroughToTheGrade()
{
    QFETCH(bool, init);
    QFETCH(bool, testMode);
    QFETCH(QString, request);

    QVERIFY(loggedIn());
    std::unique_ptr<QTreeWidgetItem> item(enginesession::demoWarmupItem());
    engine->reactions.insert("gradingFinished", [&](const TestEngine::Call&) { engine->postGrade(item.get()); });
    engine->testMode = testMode;
    engine->runState = init ? 1 : 2;
    engine->downloadScript(item.get(), init);
    QCOMPARE(engine->requestState, int(init ? DownloadingInit : DownloadingScript));

    const QString end = init ? QStringLiteral("initCompleted") : QStringLiteral("showGradeResult");
    QVERIFY(QTest::qWaitFor([&] { return engine->called(end) || engine->called("scriptFailed"); }, 60000));
    QVERIFY2(!engine->called("errorMessage"), qPrintable(lastError(*engine)));
    QVERIFY(namesFrom(*engine, "clearFeedback").contains("addFeedback"));
    QCOMPARE(engine->runState, 0);
    QCOMPARE(engine->requestState, int(Idle));
    // The server writes a request's log line once the reply is out.
    QTRY_VERIFY2(server.log().contains(request.toUtf8()), server.log().constData());

    if (!init) {
        const QVariantMap result = engine->callsOf("showGradeResult").first().arguments.value(0).toMap();
        QCOMPARE(result.value("earned").toDouble(), 1.0);
        QCOMPARE(result.value("possible").toDouble(), 1.0);
        QCOMPARE(result.value("complete").toBool(), true);
        // Only a turn-in uses an attempt.
        QCOMPARE(result.value("attempts").toInt(), testMode ? 0 : 1);
        QVERIFY(!result.value("feedback").toList().isEmpty());
    }
}

void TestRequests::downloadFailures_data()
{
    QTest::addColumn<bool>("init");
    QTest::addColumn<bool>("testMode");
    QTest::addColumn<bool>("injected");
    QTest::addColumn<QString>("message");

    QTest::newRow("init") << true << false << true
                          << "Failed to initialize assignment. Please try again.\n\nReason: script store is down";
    QTest::newRow("grade") << false << false << true
                           << "Failed to grade assignment. Please try again.\n\nReason: script store is down";
    QTest::newRow("test") << false << true << true
                          << "Failed to test assignment. Please try again.\n\nReason: script store is down";
    QTest::newRow("unknown problem") << false << true << false
                                     << "Failed to test assignment. Please try again.\n\nReason: No such problem: "
            + demoCourse + "/week0/warmup/nothing-here";
}

void TestRequests::downloadFailures()
{
    QFETCH(bool, init);
    QFETCH(bool, testMode);
    QFETCH(bool, injected);
    QFETCH(QString, message);

    QVERIFY(loggedIn());
    if (injected)
        QVERIFY(server.injectFault(PracticeServer::fault("/download/*", Kind::Status, 500, "script store is down")));
    std::unique_ptr<QTreeWidgetItem> item(
        injected ? enginesession::demoWarmupItem()
                 : enginesession::problemItem(demoCourse, "week0", "warmup", "nothing-here"));
    engine->testMode = testMode;
    engine->runState = init ? 1 : 2;
    const int before = engine->calls.size();
    engine->downloadScript(item.get(), init);
    QVERIFY(waitForHook(*engine, "scriptFailed"));

    QCOMPARE(engine->hookNames().mid(before), QStringList({"errorMessage", "scriptFailed"}));
    QCOMPARE(engine->callsOf("errorMessage").last().arguments, QVariantList({message, false}));
    QCOMPARE(engine->runState, 0);
    QCOMPARE(engine->requestState, int(Idle));
}

void TestRequests::downloadPathKeepsEmptyIdentifiers()
{
    QVERIFY(loggedIn());
    std::unique_ptr<QTreeWidgetItem> item(enginesession::problemItem(demoCourse, QString(), "warmup", "setup"));
    engine->runState = 2;
    engine->downloadScript(item.get(), false);
    QCOMPARE(engine->pendingReplies.size(), 1);
    QCOMPARE(engine->pendingReplies.first()->url().toString(),
             server.url() + "/download/" + demoCourse + "//warmup/setup");
    QVERIFY(waitForHook(*engine, "scriptFailed"));
}

void TestRequests::noServersConfigured()
{
    QVERIFY(loggedIn());
    engine->userSettings.insert("servers", QVariantMap());
    std::unique_ptr<QTreeWidgetItem> item(enginesession::demoWarmupItem());
    engine->runState = 2;
    const int before = engine->calls.size();
    engine->downloadScript(item.get(), false);

    QCOMPARE(engine->hookNames().mid(before), QStringList({"errorMessage", "scriptFailed"}));
    QCOMPARE(engine->callsOf("errorMessage").last().arguments,
             QVariantList({"You do not have any servers configured. Please add at least one", false}));
    QCOMPARE(engine->runState, 0);
    QVERIFY(engine->pendingReplies.isEmpty());
    QCOMPARE(engine->requestState, int(Idle));
}

void TestRequests::gradePostFailures_data()
{
    QTest::addColumn<QString>("problem");
    QTest::addColumn<bool>("testMode");
    QTest::addColumn<bool>("injected");
    QTest::addColumn<QString>("message");

    const QString warmup = QStringLiteral("setup");
    QTest::newRow("grade") << warmup << false << true
                           << "Failed to grade assignment. Please try again\n Reason: grading is closed";
    QTest::newRow("test") << warmup << true << true
                          << "Failed to test assignment. Please try again\n Reason: grading is closed";
    QTest::newRow("past its close date") << "closed" << false << false
                                         << "Failed to grade assignment. Please try again\n Reason: "
                                            "Reach dbnode1 before the deadline closed on 2023-11-14 22:13 UTC";
}

void TestRequests::gradePostFailures()
{
    QFETCH(QString, problem);
    QFETCH(bool, testMode);
    QFETCH(bool, injected);
    QFETCH(QString, message);

    QVERIFY(loggedIn());
    if (injected)
        QVERIFY(server.injectFault(PracticeServer::fault("/grade/*", Kind::Status, 403, "grading is closed")));
    std::unique_ptr<QTreeWidgetItem> item(problem == QLatin1String("closed")
                                              ? enginesession::problemItem(demoCourse, "week1", "early", "deadline")
                                              : enginesession::demoWarmupItem());
    engine->scriptState = QJsonDocument(QJsonObject{{"checks", QJsonArray()}});
    engine->testMode = testMode;
    engine->runState = 2;
    const int before = engine->calls.size();
    engine->postGrade(item.get());
    QCOMPARE(engine->requestState, int(PostingGrade));
    QVERIFY(waitForHook(*engine, "scriptFailed"));

    QCOMPARE(engine->hookNames().mid(before), QStringList({"errorMessage", "scriptFailed"}));
    QCOMPARE(engine->callsOf("errorMessage").last().arguments, QVariantList({message, false}));
    QCOMPARE(engine->runState, 0);
    QCOMPARE(engine->requestState, int(Idle));
}

// Without a "complete" message the body is the encryption of the empty text: one block that the
// server decrypts, and then refuses as no result.
void TestRequests::gradePostBeforeAnyState()
{
    QVERIFY(loggedIn());
    QVERIFY(engine->scriptState.isNull());
    std::unique_ptr<QTreeWidgetItem> item(enginesession::demoWarmupItem());
    engine->testMode = true;
    engine->postGrade(item.get());
    QVERIFY(waitForHook(*engine, "scriptFailed"));
    QVERIFY2(lastError(*engine).startsWith(
                 "Failed to test assignment. Please try again\n Reason: The result is not a JSON document"),
             qPrintable(lastError(*engine)));
    const auto lastLogLine = [this] { return server.log().trimmed().split('\n').last(); };
    QTRY_VERIFY2(lastLogLine().contains("POST /grade/" + warmupPath.toUtf8() + "/1 400 "), server.log().constData());
    QVERIFY2(lastLogLine().endsWith("(request 16)"), lastLogLine().constData());
}

// A turn-in whose post fails without a verdict keeps its result, across a restart and a new login;
// sending it again posts it once, or not at all when the first post arrived after all.
void TestRequests::keptResultSentAgain_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("kept");
    QTest::addColumn<bool>("arrived");

    QTest::newRow("recorded, then the answer lost") << int(Kind::DropAfter) << 500 << true << true;
    QTest::newRow("dropped before it was read") << int(Kind::DropBefore) << 500 << true << false;
    QTest::newRow("server error") << int(Kind::Status) << 503 << true << false;
    QTest::newRow("refused: nothing to send again") << int(Kind::Status) << 409 << false << false;
}

void TestRequests::keptResultSentAgain()
{
    QFETCH(int, kind);
    QFETCH(int, status);
    QFETCH(bool, kept);
    QFETCH(bool, arrived);

    QVERIFY(QDir(Receipts::directory()).removeRecursively());
    QVERIFY(loggedIn());
    const int attempts = warmupAttempts();
    QVERIFY(attempts >= 0);
    std::unique_ptr<QTreeWidgetItem> item(enginesession::demoWarmupItem());
    QVariantMap map = item->data(0, Qt::UserRole).toMap();
    map.insert("attempts", attempts);
    item->setData(0, Qt::UserRole, map);

    QVERIFY(server.injectFault(PracticeServer::fault("/grade/*", Kind(kind), status, "try later")));
    engine->scriptState = QJsonDocument(
        QJsonObject{{"checks", QJsonArray{QJsonObject{{"name", "up"}, {"passed", true}, {"points", 1}}}}});
    engine->testMode = false;
    engine->runState = RunState::Grading;
    engine->postGrade(item.get());
    QVERIFY(waitForHook(*engine, "scriptFailed"));
    QCOMPARE(warmupAttempts(), attempts + int(arrived));
    QCOMPARE(engine->hasKeptResult(item.get()), kept);
    QVERIFY2(engine->lastReceiptLine(item.get()).startsWith("Last turn-in: failed ("),
             qPrintable(engine->lastReceiptLine(item.get())));
#ifndef Q_OS_WIN
    // On Windows these bits come from the read-only attribute, not from who may read the file.
    const QFileInfoList files = QDir(Receipts::directory() + "/kept").entryInfoList(QDir::Files)
        + QFileInfoList{QFileInfo(Receipts::receiptPath())};
    for (const QFileInfo& file : files)
        QCOMPARE(file.permissions() & ~(QFile::ReadUser | QFile::WriteUser), QFile::ReadOwner | QFile::WriteOwner);
#endif
    if (!kept)
        return;
    // A new run that fails before it has a result leaves the kept one alone.
    QVERIFY(server.injectFault(PracticeServer::fault("/download/*", Kind::Status, 503, "busy")));
    QVERIFY(engine->startProblemRun(RunKind::TurnIn, item.get()));
    QVERIFY(waitForHook(*engine, "scriptFailed", 2));
    QVERIFY(engine->hasKeptResult(item.get()));

    engine = std::make_unique<TestEngine>();
    QVERIFY(enginesession::start(*engine, server.url()));
    QVERIFY(loggedIn());
    QVERIFY(engine->hasKeptResult(item.get()));
    engine->reactions.insert("showGradeResult", [&](const TestEngine::Call& call) {
        engine->applyGradeResult(call.arguments.value(0).toMap());
    });
    QVERIFY(engine->sendKeptResult(item.get()));
    QVERIFY(waitForHook(*engine, "showGradeResult"));
    QVERIFY2(!engine->called("errorMessage"), qPrintable(lastError(*engine)));
    QCOMPARE(engine->runState, RunState::None);
    QVERIFY(!engine->hasKeptResult(item.get()));
    QCOMPARE(warmupAttempts(), attempts + 1);
    const QString feedback = engine->callsOf("addFeedback").value(0).arguments.value(0).toString();
    QCOMPARE(feedback == "Your earlier turn-in arrived", arrived);
    // Merged as any turn-in's answer is.
    QCOMPARE(item->data(0, Qt::UserRole).toMap().value("attempts").toInt(), attempts + 1);
    QFile receipts(Receipts::receiptPath());
    QVERIFY(receipts.open(QIODevice::ReadOnly));
    // The latest receipt agrees with the grade, however it was learnt.
    QCOMPARE(receipts.readAll().count('\n'), 2);
    QVERIFY2(engine->lastReceiptLine(item.get()).startsWith("Last turn-in: 1/1"),
             qPrintable(engine->lastReceiptLine(item.get())));
}

// A kept turn-in of a problem that has closed is not sent: it goes, and the student is told why.
void TestRequests::keptTurnInAfterItClosed()
{
    QVERIFY(QDir(Receipts::directory()).removeRecursively());
    QVERIFY(loggedIn());
    std::unique_ptr<QTreeWidgetItem> item(enginesession::problemItem(demoCourse, "week1", "early", "deadline"));
    const KeptResult kept{{server.url(), demoCourse, "week1", "early", "deadline", "deadline", false},
                          QDateTime::currentDateTimeUtc(),
                          QJsonDocument(QJsonObject{{"checks", QJsonArray()}}),
                          0};
    QString error;
    QVERIFY2(Receipts::keep(kept, &error), qPrintable(error));
    const int logBefore = server.log().size();
    QVERIFY(engine->sendKeptResult(item.get()));
    QVERIFY(waitForHook(*engine, "scriptFailed"));
    QCOMPARE(
        lastError(*engine),
        QStringLiteral("The result kept from the last turn-in of deadline was not sent: its due date has passed."));
    QVERIFY(!server.log().mid(logBefore).contains("POST /grade/"));
    QVERIFY(!Receipts::kept(kept.post));

    // As the window and the console show the problem: not offered, and dropped with the reason.
    QVERIFY(Receipts::keep(kept, &error));
    QVariantMap map = item->data(0, Qt::UserRole).toMap();
    map.insert("close_date", 1700000000);
    item->setData(0, Qt::UserRole, map);
    QVERIFY(!engine->hasKeptResult(item.get()));
    QCOMPARE(engine->dropUnsendableKeptResult(item.get()), lastError(*engine));
    QVERIFY(!Receipts::kept(kept.post));
}

// A failure is kept as one short line; the latest receipt is found from the end, however far back;
// the file keeps its newest lines once it has twice as many.
void TestRequests::receiptsStayBounded()
{
    QVERIFY(QDir(Receipts::directory()).removeRecursively());
    const auto line = [](const Receipt& receipt) {
        QString error;
        QFile file(Receipts::receiptPath());
        return Receipts::append(receipt, &error) && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    Receipt first{QDateTime::currentDateTimeUtc(),
                  {server.url(), demoCourse, "week0", "warmup", "setup", "", false},
                  false,
                  {},
                  "<html><body><h1>502 Bad Gateway</h1>\n" + QString(500, 'x') + "</body></html>"};
    const QByteArray firstLine = line(first);
    const QString failure = QJsonDocument::fromJson(firstLine).object().value("failure").toString();
    QCOMPARE(failure, "502 Bad Gateway " + QString(Receipts::maxFailureChars - 19, 'x') + "...");
    Receipt other = first;
    other.post.problem = "other";
    QFile file(Receipts::receiptPath());
    QVERIFY(file.remove());
    const QByteArray otherLine = line(other);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(firstLine + otherLine.repeated(2 * Receipts::maxLines - 1)) > 0);
    file.close();
    QCOMPARE(Receipts::latest(first.post)->failure, failure);

    QCOMPARE(line(other).count('\n'), Receipts::maxLines);
    QVERIFY(!Receipts::latest(first.post));
#ifndef Q_OS_WIN
    // On Windows these bits come from the read-only attribute, not from who may read the file.
    QCOMPARE(file.permissions() & ~(QFile::ReadUser | QFile::WriteUser), QFile::ReadOwner | QFile::WriteOwner);
#endif
}

QTEST_GUILESS_MAIN(TestRequests)

#include "tst_requests.moc"

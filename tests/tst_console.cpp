#include "frontend/console.h"
#include "support/apphome.h"
#include "support/practiceserver.h"
#include "support/processrun.h"
#include "support/ptyprocess.h"

#include <QFile>
#include <QJsonDocument>
#include <QHostAddress>
#include <QJsonObject>
#include <QTcpServer>
#include <QTreeWidgetItem>
#include <QtTest>

#include <algorithm>

#include <sys/resource.h>
#include <sys/wait.h>

// The console front end as a student meets it: the real program on a terminal of its own (or fed
// a script through a pipe), against the practice server.
class TestConsole : public QObject {
    Q_OBJECT

private slots:
    void studentSession();
    void timeLimitEndsRun();
    void fatalErrorEndsAfterKeyPress();
    void interruptedPasswordRestoresEcho_data();
    void interruptedPasswordRestoresEcho();
    void scriptedWalk_data();
    void scriptedWalk();
    void gradeResultWithShortEntries();
};

namespace {
const QString program = QStringLiteral(OXBELL_APP_DIR "/oxbell");
constexpr int walkTimeoutMs = 300000;

// A practice server on the demo course and a home whose client uses it.
bool serve(PracticeServer& server, const AppHome& home, const QList<PracticeServer::Fault>& faults = {})
{
    PracticeServer::Options options;
    options.faults = true;
    if (!server.start(options) || !home.isValid() || !PracticeServer::writeAppSettings(home.configDir(), server.url()))
        return false;
    return std::all_of(faults.begin(), faults.end(),
                       [&](const PracticeServer::Fault& fault) { return server.injectFault(fault); });
}

// The student's servers on a loopback port that nothing listens on, so that the grading scripts'
// verdicts do not depend on what else runs on this machine; and the scripts' time limit, if given.
QProcessEnvironment environmentOf(const AppHome& home, const QJsonValue& timeLimit = {})
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const QJsonObject closed{{"address", "127.0.0.1"}, {"port", QString::number(probe.serverPort())}};
    probe.close();
    QFile settings(home.configDir() + "/user_settings.json");
    QJsonObject user{{"servers", QJsonObject{{"web1", closed}, {"dbnode1", closed}}}};
    if (!timeLimit.isUndefined())
        user.insert("script_time_limit", timeLimit);
    if (settings.open(QIODevice::WriteOnly))
        settings.write(QJsonDocument(user).toJson());
    QProcessEnvironment environment = home.environment();
    // Due dates are shown in local time.
    environment.insert("TZ", "UTC");
    return environment;
}

// Terminal output: every line break reaches the screen as CR LF.
QByteArray onScreen(QByteArray text)
{
    return text.replace("\n", "\r\n");
}

QByteArray loginScript()
{
    return (PracticeServer::studentEmail + "\n" + PracticeServer::studentPassword + "\n").toUtf8();
}
}

#define EXPECT(text)                                                                                                   \
    QVERIFY2(term.waitFor(onScreen(text)),                                                                             \
             (QByteArray("waiting for: ") + (text) + "\n---- shown:\n" + term.output().right(700)).constData())

void TestConsole::studentSession()
{
    PracticeServer server;
    AppHome home;
    QVERIFY2(serve(server, home), qPrintable(server.errorString()));

    PtyProcess term;
    QVERIFY(term.start(program, {"-console"}, environmentOf(home)));
    EXPECT("Oxbell version " OXBELL_VERSION "\n\n");
    QVERIFY(term.output().startsWith(onScreen("Oxbell version " OXBELL_VERSION "\n\n")));

    EXPECT("Ready to log in\nemail> ");
    term.type(PracticeServer::studentEmail.toUtf8() + "\r");
    EXPECT("password> ");
    QVERIFY(!(term.attributes().c_lflag & ECHO));
    term.type("wrong-secret\r");
    EXPECT("Failed to login. Please try again.\n\nReason: Wrong e-mail address or password\n\n"
           "Press any key to continue . . . ");
    term.type("x");
    EXPECT("\nemail> ");
    term.type(PracticeServer::studentEmail.toUtf8() + "\r");
    EXPECT("password> ");
    term.type(PracticeServer::studentPassword.toUtf8() + "\r");
    EXPECT("Login successful\n");
    QCOMPARE(term.lastStretch(), onScreen("\nLogin successful\n"));
    QVERIFY(term.attributes().c_lflag & ECHO);
    QVERIFY(!term.output().contains("wrong-secret"));
    QVERIFY(!term.output().contains("> " + PracticeServer::studentPassword.toUtf8()));

    EXPECT("\nCourses\n1: DB101 - 2026 Fall\n2: WEB101 - 2026 Fall\nr: Refresh Grades\ne: Exit\nChoose an option> ");
    for (const char* invalid : {"4", "0", "-1", "R", "b", ""}) {
        term.type(QByteArray(invalid) + "\r");
        EXPECT("Invalid choice\nChoose an option> ");
    }

    // A multistep section: only its first step is open.
    const QByteArray health = "WEB101 - 2026 Fall/Week 2: Health checks/A health check in three steps> ";
    term.type("2\r2\r");
    EXPECT("\nAssignments\n1: A health check in three steps\nb: Go back\nh: Go home\n"
           "WEB101 - 2026 Fall/Week 2: Health checks> ");
    term.type("1\r");
    EXPECT("\nProblems\n1: Step 1: Start the web server\nStep 2: Answer on / (Not Available Yet)\n"
           "Step 3: Report health on /health (Not Available Yet)\nb: Go back\nh: Go home\n"
           + health);
    term.type("2\r");
    EXPECT("Invalid choice\n" + health);
    term.type("b\rb\r");
    EXPECT("\nWeeks\n1: Week 1: Serving pages\n2: Week 2: Health checks\nb: Go back\nh: Go home\n"
           "WEB101 - 2026 Fall> ");

    // A test leaves the problem as it was; a turn-in uses an attempt. The latest post's receipt
    // follows the grade.
    const QByteArray homePage = "WEB101 - 2026 Fall\nWeek 1: Serving pages\nServe a home page\n\n"
                                "Due Date: 01/01/00\nAttempts: %1/3\nGrade: 0/2\n";
    const QByteArray homeMenu = "\n1: Grade\n%1t: Test\nb: Go back\nh: Go home\n\n"
                                "WEB101 - 2026 Fall/Week 1: Serving pages/Serve a home page> ";
    const QByteArray plainMenu = QByteArray(homeMenu).replace("%1", "");
    term.type("1\r1\r");
    EXPECT(QByteArray(homePage).replace("%1", "0") + plainMenu);
    term.type("t\r");
    EXPECT("\nweb1 is reachable: failed\n---> 127.0.0.1:");
    EXPECT("\nTested: 0 of 2 points\n---> A test is not recorded and uses no attempt.\n");
    EXPECT("Tested\n" + QByteArray(homePage).replace("%1", "0") + "Last test: 0/2, ");
    EXPECT(plainMenu);

    // web1 is down: the turn-in asks first, and No spends no attempt.
    const QByteArray question = " cannot be reached. Turn in anyway? A turn-in uses one of your attempts "
                                "(3 of 3 left). (y/n)> ";
    term.type("1\r");
    EXPECT("\nweb1 (127.0.0.1:");
    EXPECT(question);
    term.type("maybe\r");
    EXPECT(question);
    term.type("n\r");
    EXPECT(QByteArray(homePage).replace("%1", "0") + "Last test: 0/2, ");
    EXPECT(plainMenu);

    // Yes: the server records the turn-in, but its answer is lost. The result is kept, and sending
    // it again finds the turn-in in the catalogue instead of spending a second attempt.
    QVERIFY(server.injectFault(PracticeServer::fault("/grade/*", PracticeServer::FaultKind::DropAfter)));
    term.type("1\r");
    EXPECT(question);
    term.type("y\r");
    EXPECT("\nweb1 is reachable: failed\n");
    EXPECT("Failed to grade assignment. Please try again\n Reason: The connection closed before the server "
           "answered.\n\nPress any key to continue . . . ");
    term.type("x");
    EXPECT(QByteArray(homePage).replace("%1", "0")
           + "Last turn-in: failed (The connection closed before the server answered.), ");
    EXPECT(QByteArray(homeMenu).replace("%1", "s: Send the last result again\n"));
    term.type("s\r");
    EXPECT("\nYour earlier turn-in arrived\n---> The server recorded it: grade 0/2, attempts used 1 of 3. It was not "
           "sent again.\nGraded\n"
           + QByteArray(homePage).replace("%1", "1") + "Last turn-in: 0/2, ");
    EXPECT(plainMenu);

    // Initialising the warm-up, whose limit of 0 attempts means no limit.
    term.type("h\r1\r1\r1\r");
    EXPECT("i: Initialize\nt: Test\n");
    term.type("i\r");
    EXPECT("Initialized\nDB101 - 2026 Fall\nWeek 0: Getting started\nCheck your setup\n\nSelf Paced\n"
           "Attempts: 0/0\nGrade: 0/1\n\n1: Grade\ni: Initialize\nt: Test\n");

    // A problem past its close date offers no turn-in.
    term.type("b\rb\r2\r2\r");
    EXPECT("\nDue Date: 11/14/23\nAttempts: 0/3\nGrade: 0/1\n\nt: Test\nb: Go back\nh: Go home\n\n"
           "DB101 - 2026 Fall/Week 1: Reaching the database/Reach dbnode1 before the deadline> ");
    term.type("1\r");
    EXPECT("Invalid choice\n");

    term.type("h\rr\r");
    EXPECT("Loading course information...\n");
    EXPECT("\nCourses\n");
    EXPECT("Choose an option> ");
    term.type("e\r");
    const int status = term.waitForExit();
    QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, term.output().right(2000).constData());

    QVERIFY(server.stop());
    const QByteArray log = server.log();
    QVERIFY(log.contains("POST /grade/OxbellX/WEB101/2026_Fall/week1/first-page/home/1 200"));
    QVERIFY2(log.count("POST /grade/OxbellX/WEB101/2026_Fall/week1/first-page/home/0 ") <= 1, log.constData());
}

// A script still running at the time limit is stopped, and the problem menu comes back.
void TestConsole::timeLimitEndsRun()
{
    PracticeServer server;
    AppHome home;
    QVERIFY2(serve(server, home), qPrintable(server.errorString()));
    PtyProcess term;
    QVERIFY(term.start(program, {"-console"}, environmentOf(home, 0.001)));
    EXPECT("email> ");
    term.type(loginScript().replace('\n', '\r'));
    EXPECT("Choose an option> ");
    term.type("1\r1\r1\rt\r");
    EXPECT("Failed to test assignment\nReason:\nThe script did not finish within 0.001 seconds and was stopped.\n\n"
           "Press any key to continue . . . ");
    term.type("x");
    EXPECT("t: Test\n");
    term.type("h\re\r");
    const int status = term.waitForExit();
    QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, term.output().right(700).constData());
}

void TestConsole::fatalErrorEndsAfterKeyPress()
{
    PracticeServer server;
    AppHome home;
    QVERIFY2(serve(server, home, {PracticeServer::fault("/version", PracticeServer::FaultKind::Status, 500, "down")}),
             qPrintable(server.errorString()));

    PtyProcess term;
    QVERIFY(term.start(program, {"-console"}, environmentOf(home)));
    EXPECT("Failed to check for updates.\n\nReason: ");
    EXPECT("\n\nPress any key to continue . . . ");
    QVERIFY(term.waitForExit(500) == -1);
    term.type("x");
    const int status = term.waitForExit();
    QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 1, term.output().constData());
}

void TestConsole::interruptedPasswordRestoresEcho_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("Ctrl-C") << QByteArray("\x03") << int(SIGINT);
    QTest::newRow("Ctrl-\\") << QByteArray("\x1c") << int(SIGQUIT);
}

void TestConsole::interruptedPasswordRestoresEcho()
{
    QFETCH(QByteArray, key);
    QFETCH(int, signalNumber);
    // No core file for SIGQUIT.
    const rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    PracticeServer server;
    AppHome home;
    QVERIFY2(serve(server, home), qPrintable(server.errorString()));

    PtyProcess term;
    QVERIFY(term.start(program, {"-console"}, environmentOf(home)));
    EXPECT("email> ");
    term.type("someone\r");
    EXPECT("password> ");
    QVERIFY(!(term.attributes().c_lflag & ECHO));
    term.type(key);
    const int status = term.waitForExit();
    QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber, term.output().constData());
    QVERIFY(term.attributes().c_lflag & ECHO);
}

void TestConsole::scriptedWalk_data()
{
    QTest::addColumn<int>("rounds");
    QTest::addColumn<QByteArray>("ending");
    QTest::addColumn<int>("exitCode");
    // Each round is four moves: a course, a week, a section's problem menu, home.
    QTest::newRow("input ends at a menu") << 250 << QByteArray() << 1;
    QTest::newRow("100,000 moves, then e without a line break") << 25000 << QByteArray("e") << 0;
}

// A piped run: the password is read as it is, pauses do not wait, and the menus neither nest
// nor spin at the end of input.
void TestConsole::scriptedWalk()
{
    QFETCH(int, rounds);
    QFETCH(QByteArray, ending);
    QFETCH(int, exitCode);

    PracticeServer server;
    AppHome home;
    QVERIFY2(serve(server, home), qPrintable(server.errorString()));
    QFile input(home.path() + "/input");
    QVERIFY(input.open(QIODevice::WriteOnly));
    input.write(loginScript() + QByteArray("2\n1\n1\nh\n").repeated(rounds) + ending);
    input.close();

    QProcess walk;
    QProcessEnvironment environment = environmentOf(home);
    // Freed memory that the address sanitizer holds back would look like growth.
    environment.insert("ASAN_OPTIONS", environment.value("ASAN_OPTIONS") + ":quarantine_size_mb=16");
    walk.setProcessEnvironment(environment);
    walk.setStandardInputFile(input.fileName());
    const QString outputPath = home.path() + "/output";
    walk.setStandardOutputFile(outputPath);
    walk.setProcessChannelMode(QProcess::MergedChannels);
    walk.start(program, {"-console"});
    QVERIFY(walk.waitForFinished(walkTimeoutMs));
    // The largest of the children so far: the walks, and sessions that do less.
    rusage usage = {};
    getrusage(RUSAGE_CHILDREN, &usage);
    QFile output(outputPath);
    QVERIFY(output.open(QIODevice::ReadOnly));
    const QByteArray shown = output.readAll();
    QVERIFY2(walk.exitStatus() == QProcess::NormalExit && walk.exitCode() == exitCode, shown.right(700).constData());
    QCOMPARE(shown.count("\nAssignments\n1: Serve a home page\n"), rounds);
    QVERIFY(!shown.contains("Invalid choice"));
    QCOMPARE(shown.endsWith("Input ended: oxbell stops.\n"), exitCode == 1);

    static long smallWalkPeakKiB = 0;
    if (rounds < 1000) {
        smallWalkPeakKiB = usage.ru_maxrss;
    } else if (smallWalkPeakKiB > 0) {
        constexpr long allowedGrowthKiB = 32 * 1024;
        QVERIFY2(usage.ru_maxrss < smallWalkPeakKiB + allowedGrowthKiB,
                 qPrintable(QString("peak %1 KiB, before %2 KiB").arg(usage.ru_maxrss).arg(smallWalkPeakKiB)));
    }
}

namespace {
// A console whose problem of the last run is set by hand.
class ResultConsole : public frontend::Console {
public:
    ResultConsole()
    {
        auto* week = new QTreeWidgetItem(rootItem, QStringList{"W"});
        auto* section = new QTreeWidgetItem(week, QStringList{"A"});
        runningItem = new QTreeWidgetItem(section, QStringList{"S"});
        runningItem->setData(0, Qt::UserRole, QVariantMap{{"attempts", 1}, {"max_attempts", 3}});
        currentItem = new QTreeWidgetItem(section, QStringList{"Other"});
        testMode = true;
    }

    // A turn-in of another problem asked for while a test run of S is under way.
    void turnInDuringTest()
    {
        runState = RunState::Grading;
        startRun(false);
        runState = RunState::None;
    }
};

int gradeResultChild()
{
    ResultConsole console;
    console.turnInDuringTest();
    const QVariantList feedback{QVariantList{"Only a summary"}, QVariantList{}, QVariantList{"Summary", "a\n\nc"}};
    console.showGradeResult(QVariantMap{{"feedback", feedback}});
    return 0;
}
}

// A run refused while another goes on; then a test result whose feedback entries are shorter than
// a pair (they read as empty where they end), and the problem menu, whose prompt meets the end of
// the (empty) input.
void TestConsole::gradeResultWithShortEntries()
{
    const ProcessOutcome outcome = runSelfAsChild("grade-result", {});
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.exitCode, 1);
    QCOMPARE(outcome.standardOutput,
             QByteArray("\nOnly a summary\n\n\n\nSummary\n---> a\n---> \n---> c\nTested\nW\nA\nS\n\nSelf Paced\n"
                        "Attempts: 1/3\nGrade: 0/0\n\n1: Grade\nt: Test\nb: Go back\nh: Go home\n\nW/A/S> "));
    // The refused turn-in changed nothing: the result still reads as a test of S.
    QVERIFY(outcome.standardError.startsWith("Please wait for S to complete testing\n\n"));
    QVERIFY(outcome.standardError.contains("Input ended: oxbell stops.\n"));
}

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    if (childRequest(argc, argv).name == QLatin1String("grade-result"))
        return gradeResultChild();
    TestConsole test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_console.moc"

#include "support/apphome.h"
#include "support/practiceserver.h"
#include "support/timeouts.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

Q_DECLARE_METATYPE(PracticeServer::Fault)

// The headless front end run as the real program against the practice server: one JSON document
// on standard output, whatever happens.
class TestHeadless : public QObject {
    Q_OBJECT

private slots:
    void init();
    void initRunSucceeds();
    void gradingRunSucceeds();
    void bothOptionsRunTheInitScript();
    void failures_data();
    void failures();
    void keptTurnInSentAgain();
    void catalogueFailureEndsWithoutDocument();
    void endingSignalStopsRun_data();
    void endingSignalStopsRun();

private:
    struct Run {
        ProcessOutcome outcome;
        QJsonObject result;
        QByteArray serverLog;
        QJsonObject firstResult; // of the first run, when there were two
        QStringList log;
    };
    // Runs the program against a fresh server; `courseDir` empty: the demo course. With
    // `thenArguments`, runs it once more in the same home and against the same server, and the
    // outcome and result are the second run's.
    Run run(const QStringList& arguments, const QString& courseDir = {},
            const QList<PracticeServer::Fault>& faults = {}, const QStringList& thenArguments = {});
};

using Kind = PracticeServer::FaultKind;

namespace {
// A course whose first problem has the given scripts (no init script when `init` is empty).
bool writeCourse(const QString& dir, const QByteArray& grader, const QByteArray& init, bool withWeeks = true)
{
    QJsonObject problem{{"display_name", "Only problem"},
                        {"url_name", "only"},
                        {"close_date", 0},
                        {"max_attempts", 0},
                        {"possible", 1},
                        {"grader", "grade.py"},
                        {"servers", QJsonArray{"db9"}}};
    if (!init.isEmpty())
        problem.insert("init", "init.py");
    const QJsonObject week{
        {"display_name", "Week 1"},
        {"url_name", "week1"},
        {"sections",
         QJsonArray{
             QJsonObject{{"display_name", "Only section"}, {"url_name", "only"}, {"problems", QJsonArray{problem}}}}}};
    const QJsonObject catalogue{
        {"courses", QJsonObject{{"Test/HL101/2026_Fall", withWeeks ? QJsonArray{week} : QJsonArray{}}}}};
    const auto write = [&](const QString& name, const QByteArray& contents) {
        QFile file(QDir(dir).filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
    };
    return write("catalogue.json", QJsonDocument(catalogue).toJson()) && write("grade.py", grader)
        && (init.isEmpty() || write("init.py", init));
}

QStringList strings(const QJsonValue& value)
{
    QStringList list;
    for (const QJsonValue& entry : value.toArray())
        list.append(entry.toString());
    return list;
}

const QByteArray feedbackThenStandardError = "from oxbell import feedback\n"
                                             "import sys\n"
                                             "feedback('Started', '')\n"
                                             "sys.stderr.write('Traceback: something broke\\n')\n";
}

TestHeadless::Run TestHeadless::run(const QStringList& arguments, const QString& courseDir,
                                    const QList<PracticeServer::Fault>& faults, const QStringList& thenArguments)
{
    Run run;
    PracticeServer server;
    PracticeServer::Options options;
    options.courseDir = courseDir;
    options.faults = !faults.isEmpty();
    if (!server.start(options)) {
        qWarning() << server.errorString();
        return run;
    }
    for (const PracticeServer::Fault& fault : faults) {
        if (!server.injectFault(fault))
            return run;
    }
    AppHome home;
    // The default servers, and a time limit that a script which hangs reaches soon.
    QFile settings(home.configDir() + "/user_settings.json");
    if (!home.isValid() || !PracticeServer::writeAppSettings(home.configDir(), server.url())
        || !settings.open(QIODevice::WriteOnly)
        || settings.write(R"({"script_time_limit": 5, "servers": {"dbnode1": {"address": "localhost", "port": "27017"},
                              "web1": {"address": "localhost", "port": "8082"}}})")
            < 0)
        return run;
    settings.close();
    run.outcome = home.run(arguments);
    if (!thenArguments.isEmpty()) {
        run.firstResult = QJsonDocument::fromJson(run.outcome.standardOutput).object();
        run.outcome = home.run(thenArguments);
    }
    run.log = home.logLines();
#ifdef Q_OS_WIN
    // Text on standard output and error has Windows line ends there.
    run.outcome.standardOutput.replace("\r\n", "\n");
    run.outcome.standardError.replace("\r\n", "\n");
#endif
    // Stopped first, so the log holds the line of every request the server answered.
    server.stop();
    run.serverLog = server.log();
    run.result = QJsonDocument::fromJson(run.outcome.standardOutput).object();
    return run;
}

// Exit status 0, and standard output is exactly one JSON object.
#define VERIFY_ONE_DOCUMENT(run)                                                                                       \
    do {                                                                                                               \
        QVERIFY2((run).outcome.finished, (run).outcome.standardError.constData());                                     \
        QVERIFY2((run).outcome.exitStatus == QProcess::NormalExit && (run).outcome.exitCode == 0,                      \
                 (run).outcome.standardError.constData());                                                             \
        QJsonParseError error;                                                                                         \
        const QJsonDocument document = QJsonDocument::fromJson((run).outcome.standardOutput, &error);                  \
        QVERIFY2(error.error == QJsonParseError::NoError && document.isObject(),                                       \
                 (run).outcome.standardOutput.constData());                                                            \
        QCOMPARE(document.toJson(), (run).outcome.standardOutput);                                                     \
    } while (false)

void TestHeadless::init()
{
#ifdef OXBELL_INTERPRETER_STANDIN
    // The stand-in for PyPy (support/standin.cpp) carries out only simple lines.
    const QString test = QString::fromLatin1(QTest::currentTestFunction());
    const QString row = test + QLatin1Char('/') + QString::fromLatin1(QTest::currentDataTag());
    const QStringList needPython{"initRunSucceeds",
                                 "gradingRunSucceeds",
                                 "bothOptionsRunTheInitScript",
                                 "keptTurnInSentAgain",
                                 "failures/grading script writes to standard error",
                                 "failures/init script writes to standard error and exits 0",
                                 "failures/a line that is not JSON",
                                 "failures/script crashes",
                                 "failures/grade post fails"};
    if (needPython.contains(test) || needPython.contains(row))
        QSKIP("Needs more of Python than the stand-in carries out");
#endif
}

void TestHeadless::initRunSucceeds()
{
    const Run result = run({"-headless-init"});
    VERIFY_ONE_DOCUMENT(result);
    QCOMPARE(result.result.keys(), QStringList({"exitCode", "feedback"}));
    QCOMPARE(result.result.value("exitCode").toInt(-1), 0);
    const QStringList feedback = strings(result.result.value("feedback"));
    QCOMPARE(feedback,
             QStringList({"dbnode1 is configured\naddress localhost, port 27017",
                          "web1 is configured\naddress localhost, port 8082",
                          "Setup checked\nTurn in this problem to record that your client works."}));
    QVERIFY(result.serverLog.contains("GET /download/init/OxbellX/DB101/2026_Fall/week0/warmup/setup 200"));
    QVERIFY(!result.serverLog.contains("POST /grade/"));
}

void TestHeadless::gradingRunSucceeds()
{
    const Run result = run({"-headless-test"});
    VERIFY_ONE_DOCUMENT(result);
    QCOMPARE(result.result.keys(), QStringList({"exitCode", "feedback", "grade"}));
    QCOMPARE(result.result.value("exitCode").toInt(-1), 0);
    QCOMPARE(result.result.value("grade").toDouble(), 1.0);
    const QStringList feedback = strings(result.result.value("feedback"));
    // The script's entries first, then the server's.
    QCOMPARE(feedback.value(0), QStringLiteral("Servers are configured: passed\ndbnode1, web1"));
    QVERIFY2(feedback.value(1).startsWith("dbnode1: not reachable yet\n"), qPrintable(feedback.join('|')));
    const int turnedIn = feedback.indexOf(QRegularExpression("^Turned in: 1 of 1 points\n.*"));
    QVERIFY2(turnedIn > 1, qPrintable(feedback.join('|')));
    // A headless grading run turns the problem in.
    QVERIFY(result.serverLog.contains("POST /grade/OxbellX/DB101/2026_Fall/week0/warmup/setup/0 200"));
}

void TestHeadless::bothOptionsRunTheInitScript()
{
    const Run result = run({"-headless-test", "-headless-init"});
    VERIFY_ONE_DOCUMENT(result);
    QCOMPARE(result.result.value("exitCode").toInt(-1), 0);
    QVERIFY(strings(result.result.value("feedback"))
                .contains("Setup checked\nTurn in this problem to record that your client works."));
    QVERIFY(!result.serverLog.contains("POST /grade/"));
}

void TestHeadless::failures_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("grader");
    QTest::addColumn<QByteArray>("init");
    QTest::addColumn<QList<PracticeServer::Fault>>("faults");
    QTest::addColumn<QStringList>("errorPrefixes");
    QTest::addColumn<bool>("posted");

    const QByteArray passing = "from oxbell import Grader\ng = Grader()\ng.check('ok', True)\ng.finish()\n";
    const QList<PracticeServer::Fault> none;
    const QString stderrPrefix = QStringLiteral("Unexpected output on standard error: ");

    QTest::newRow("grading script writes to standard error")
        << QStringList{"-headless-test"} << feedbackThenStandardError << QByteArray() << none
        << QStringList{stderrPrefix} << false;
    QTest::newRow("init script writes to standard error and exits 0")
        << QStringList{"-headless-init"} << passing << feedbackThenStandardError << none << QStringList{stderrPrefix}
        << false;
    QTest::newRow("a line that is not JSON")
        << QStringList{"-headless-test"}
        << QByteArray("print('hello there', flush=True)\nimport time\ntime.sleep(30)\n") << QByteArray() << none
        << QStringList{"Internal error: malformed message from subprocess: "} << false;
    QTest::newRow("script hangs past the time limit")
        << QStringList{"-headless-test"} << QByteArray("import time\ntime.sleep(60)\n") << QByteArray() << none
        << QStringList{"Failed to grade assignment\nReason:\nThe script did not finish within 5 seconds and was "
                       "stopped."}
        << false;
    QTest::newRow("script crashes") << QStringList{"-headless-test"}
                                    << QByteArray("import os, signal\nos.kill(os.getpid(), signal.SIGKILL)\n")
                                    << QByteArray() << none
                                    << QStringList{"Failed to grade assignment\nReason:\nThe process crashed some time "
                                                   "after starting successfully."}
                                    << false;
    QTest::newRow("download fails")
        << QStringList{"-headless-test"} << passing << QByteArray()
        << QList<PracticeServer::Fault>{PracticeServer::fault("/download/*", Kind::Status, 500, "scripts unavailable")}
        << QStringList{"Failed to grade assignment. Please try again.\n\nReason: scripts unavailable"} << false;
    QTest::newRow("grade post fails")
        << QStringList{"-headless-test"} << passing << QByteArray()
        << QList<PracticeServer::Fault>{PracticeServer::fault("/grade/*", Kind::Status, 503, "grades unavailable")}
        << QStringList{"Failed to grade assignment. Please try again\n Reason: grades unavailable"} << false;
    const QString refused = QStringLiteral("Failed to login. Please try again.\n\nReason: account locked");
    QTest::newRow("login keeps being refused")
        << QStringList{"-headless-test"} << passing << QByteArray()
        << QList<PracticeServer::Fault>{PracticeServer::fault("/login", Kind::Status, 401, "account locked", 10)}
        << QStringList{refused, refused, refused} << false;
    QTest::newRow("nothing kept to send again")
        << QStringList{"-headless-resend"} << passing << QByteArray() << none
        << QStringList{"No result of Only problem is kept to be sent again."} << false;
    QTest::newRow("catalogue without weeks") << QStringList{"-headless-test"} << QByteArray() << QByteArray() << none
                                             << QStringList{"The course catalogue holds no problem to run"} << false;
}

void TestHeadless::failures()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, grader);
    QFETCH(QByteArray, init);
    QFETCH(QList<PracticeServer::Fault>, faults);
    QFETCH(QStringList, errorPrefixes);
    QFETCH(bool, posted);

    QTemporaryDir courses;
    QVERIFY(courses.isValid());
    QVERIFY(writeCourse(courses.path(), grader.isEmpty() ? QByteArray("pass\n") : grader, init, !grader.isEmpty()));

    const Run result = run(arguments, courses.path(), faults);
    VERIFY_ONE_DOCUMENT(result);
    QCOMPARE(result.result.value("exitCode").toInt(-1), 1);
    QVERIFY(!result.result.contains("grade"));
    const QStringList errors = strings(result.result.value("errorMessages"));
    QCOMPARE(errors.size(), errorPrefixes.size());
    for (int i = 0; i < errors.size(); ++i)
        QVERIFY2(errors.at(i).startsWith(errorPrefixes.at(i)), qPrintable(errors.at(i)));
    // A failed run never turns anything in.
    QCOMPARE(result.serverLog.contains("POST /grade/") && result.serverLog.contains("/0 200"), posted);
}

// The turn-in is recorded, but its answer lost: the result is kept, and sent again it is found in
// the catalogue, not posted a second time. The problem's server is unknown: the run goes on, and
// says so in the log.
void TestHeadless::keptTurnInSentAgain()
{
    QTemporaryDir courses;
    QVERIFY(writeCourse(courses.path(), "from oxbell import Grader\ng = Grader()\ng.check('ok', True)\ng.finish()\n",
                        QByteArray()));
    const Run result = run({"-headless-test"}, courses.path(), {PracticeServer::fault("/grade/*", Kind::DropAfter)},
                           {"-headless-resend"});
    QCOMPARE(result.firstResult.value("exitCode").toInt(-1), 1);
    QCOMPARE(strings(result.firstResult.value("errorMessages")),
             QStringList({"Failed to grade assignment. Please try again\n Reason: The connection closed before the "
                          "server answered."}));
    VERIFY_ONE_DOCUMENT(result);
    QCOMPARE(result.result.value("exitCode").toInt(-1), 0);
    QCOMPARE(result.result.value("grade").toDouble(), 1.0);
    QCOMPARE(strings(result.result.value("feedback")),
             QStringList({"Your earlier turn-in arrived\nThe server recorded it: grade 1/1, attempts used 1. It was "
                          "not sent again."}));
    QVERIFY2(result.serverLog.count("POST /grade/Test/HL101/2026_Fall/week1/only/only/0 ") <= 1,
             result.serverLog.constData());
    QVERIFY2(result.log.join('\n').contains("Turning in all the same: db9 (not in your server list) cannot be "
                                            "reached. Turn in anyway? A turn-in uses one of your attempts."),
             qPrintable(result.log.join('\n')));
}

void TestHeadless::catalogueFailureEndsWithoutDocument()
{
    const Run result
        = run({"-headless-test"}, {}, {PracticeServer::fault("/grades", Kind::Status, 500, "catalogue unavailable")});
    QVERIFY(result.outcome.finished);
    QCOMPARE(result.outcome.exitCode, 1);
    QVERIFY(result.outcome.standardOutput.isEmpty());
    QVERIFY2(result.outcome.standardError.contains(
                 "Failed to retrieve course listings.\n\nReason: catalogue unavailable\n\n"),
             result.outcome.standardError.constData());
}

void TestHeadless::endingSignalStopsRun_data()
{
    QTest::addColumn<int>("signalNumber");
#ifdef Q_OS_WIN
    QSKIP("no signals on Windows");
#else
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
#endif
}

// The client ended by a signal in the middle of a run takes the run along: the interpreter, the
// script's own child and the script's folder.
void TestHeadless::endingSignalStopsRun()
{
#ifndef Q_OS_WIN
    QFETCH(int, signalNumber);
    QTemporaryDir courses;
    QVERIFY(
        writeCourse(courses.path(),
                    "import os, subprocess, time\nchild = subprocess.Popen(['sleep', '120'])\n"
                    "run = os.environ['HOME'] + '/run'\nwith open(run + '.new', 'w') as f:\n"
                    "    f.write('%d %d %s' % (os.getpid(), child.pid, os.path.dirname(os.path.abspath(__file__))))\n"
                    "os.rename(run + '.new', run)\ntime.sleep(120)\n",
                    {}));
    PracticeServer server;
    PracticeServer::Options options;
    options.courseDir = courses.path();
    QVERIFY2(server.start(options), qPrintable(server.errorString()));
    AppHome home;
    QVERIFY(home.isValid() && PracticeServer::writeAppSettings(home.configDir(), server.url()));

    QProcess client;
    client.setProcessEnvironment(home.environment());
    client.start(OXBELL_APP_DIR "/oxbell", {"-headless-test"});
    QFile marker(home.path() + "/run");
    QTRY_VERIFY_WITH_TIMEOUT(marker.exists(), testWaitMs);
    QVERIFY(marker.open(QIODevice::ReadOnly));
    const QList<QByteArray> run = marker.readAll().split(' ');
    QCOMPARE(run.size(), 3);

    ::kill(pid_t(client.processId()), signalNumber);
    QVERIFY(client.waitForFinished(testWaitMs));
    QCOMPARE(client.exitStatus(), QProcess::CrashExit);
    QVERIFY(!processRunning(run.at(0).toLongLong()));
    QVERIFY(!processRunning(run.at(1).toLongLong()));
    QVERIFY(!QFileInfo::exists(QString::fromUtf8(run.at(2))));
#endif
}

QTEST_GUILESS_MAIN(TestHeadless)
#include "tst_headless.moc"

#include "engine/runguard.h"
#include "engine/scriptrun.h"
#include "support/processrun.h"
#include "support/testengine.h"
#include "support/timeouts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonParseError>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <memory>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <signal.h>
#endif

namespace {

#ifdef OXBELL_INTERPRETER_STANDIN
// The interpreter is the stand-in for PyPy (support/standin.cpp), which carries out only simple lines.
constexpr bool fullPython = false;
#else
constexpr bool fullPython = true;
#endif

QString appDir()
{
    return QCoreApplication::applicationDirPath();
}

// Every hook call as "hook(argument | argument ...)".
QStringList trace(const TestEngine& engine)
{
    QStringList lines;
    for (const TestEngine::Call& call : engine.calls) {
        QStringList arguments;
        for (const QVariant& argument : call.arguments)
            arguments.append(argument.toString());
        lines.append(call.hook + QLatin1Char('(') + arguments.join(QLatin1String(" | ")) + QLatin1Char(')'));
    }
    return lines;
}

bool runEnded(const TestEngine& engine)
{
    return engine.runState == 0 && !engine.scriptRun;
}

// Starts a run the way the front ends do (run state first) and waits for its end.
bool runToEnd(TestEngine& engine, const QByteArray& script, bool init = false)
{
    engine.runState = init ? 1 : 2;
    engine.runScript(script, init);
    // Events are handled as they come rather than polled: a script that floods a pipe is read
    // as fast as the program reads it.
    const QDeadlineTimer deadline(testWaitMs);
    QTimer wake;
    wake.start(50);
    while (!runEnded(engine) && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return runEnded(engine);
}

QString malformed(const QByteArray& line)
{
    QJsonParseError error;
    QJsonDocument::fromJson(line, &error);
    return QStringLiteral("Internal error: malformed message from subprocess: ") + error.errorString()
        + QString::fromUtf8(line);
}

QString noType(const QString& line)
{
    return QStringLiteral("errorMessage(Internal error: malformed message from subprocess: no 'type' field: ") + line
        + QStringLiteral(" | false)");
}

#ifdef Q_OS_LINUX
// Peak resident memory in KiB since the peak was last reset.
long peakMemoryKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    const QByteArray text = status.readAll();
    return text.mid(text.indexOf("VmHWM:") + 6).trimmed().split(' ').value(0).toLong();
}
#endif

const QString stderrText = QStringLiteral("Unexpected output on standard error: this likely indicates a bug in the "
                                          "problem. Please notify the course staff.\n\n");

} // namespace

class TestRunner : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void scriptFile_data();
    void scriptFile();
    void timeLimitSources_data();
    void timeLimitSources();
    void runLeavesNothingBehind_data();
    void runLeavesNothingBehind();
    void interpreterSignalledAtItsStart();
    void clientKilledOutright();
    void childEnvironment();
    void plantedModuleIsNotImported();
    void serversOnStandardInput();
    void messages_data();
    void messages();
    void completeState();
    void moduleHelpers();
    void endOfRun_data();
    void endOfRun();
    void missingInterpreter();
    void unwritableTemporaryDirectory();
    void cancelDuringRun();
    void cancelWithoutRun();
    void nextRunHearsNothingFromReplacedChild_data();
    void nextRunHearsNothingFromReplacedChild();
    void hookCancelsWhileLinesRemain();

private:
    std::unique_ptr<TestEngine> engine;
};

void TestRunner::init()
{
    const QString test = QString::fromLatin1(QTest::currentTestFunction());
#ifdef Q_OS_WIN
    // A shell script as the interpreter, and TMPDIR.
    if (test == "scriptFile" || test == "unwritableTemporaryDirectory")
        QSKIP("Not on Windows");
#endif
    const QStringList needPython{"plantedModuleIsNotImported", "childEnvironment", "serversOnStandardInput",
                                 "moduleHelpers", "nextRunHearsNothingFromReplacedChild"};
    if (!fullPython && needPython.contains(test))
        QSKIP("Needs more of Python than the stand-in carries out");
    engine = std::make_unique<TestEngine>();
    engine->interpreterPath = appDir() + QStringLiteral("/pypy/bin/pypy");
    engine->userSettings
        = QVariantMap{{QStringLiteral("servers"),
                       QVariantMap{{QStringLiteral("web"),
                                    QVariantMap{{QStringLiteral("address"), QStringLiteral("localhost")},
                                                {QStringLiteral("port"), QStringLiteral("8082")}}}}}};
}

void TestRunner::cleanup()
{
    engine.reset();
    qunsetenv("PYTHONPATH");
    qunsetenv("TMPDIR");
}

void TestRunner::scriptFile_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("contents");

    const QByteArray python = "import sys\nsys.stdout.write('')\n";
    QTest::newRow("script gets the import line") << python << QByteArray("from oxbell import servers\n" + python);
    QTest::newRow("empty script") << QByteArray() << QByteArray("from oxbell import servers\n");
    // Valid Python that starts like a zip archive: it must run byte for byte, without the import.
    const QByteArray pk = "PK = 0\nimport sys\nsys.stdin.read()\n";
    QTest::newRow("archive kept byte for byte") << pk << pk;
}

void TestRunner::scriptFile()
{
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, contents);

    // The interpreter is a wrapper that keeps a copy of the script and the mode of its folder,
    // both of which the run removes when it ends.
    QTemporaryDir seen;
    const QString wrapper = seen.filePath("interpreter");
    QFile file(wrapper);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\necho \"$1\" > \"$0.path\"\ncp \"$1\" \"$0.script\"\nstat -c %a \"$(dirname \"$1\")\" > "
               "\"$0.mode\"\nexec "
               + engine->interpreterPath.toUtf8() + " \"$@\"\n");
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    engine->interpreterPath = wrapper;

    QVERIFY(runToEnd(*engine, script));
    QCOMPARE(trace(*engine), QStringList({"clearFeedback()", "gradingFinished()"}));

    // The script lay alone in a fresh folder of the temporary directory that only its owner could enter.
    QFile path(wrapper + ".path");
    QVERIFY(path.open(QIODevice::ReadOnly));
    const QFileInfo scriptFile(QString::fromLocal8Bit(path.readAll().trimmed()));
    QCOMPARE(QFileInfo(scriptFile.absolutePath()).absolutePath(), QFileInfo(QDir::tempPath()).absoluteFilePath());
    QFile mode(wrapper + ".mode");
    QVERIFY(mode.open(QIODevice::ReadOnly));
    QCOMPARE(mode.readAll(), QByteArray("700\n"));
    QFile written(wrapper + ".script");
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), contents);
    QVERIFY(!QFileInfo::exists(scriptFile.absolutePath()));
}

void TestRunner::timeLimitSources_data()
{
    QTest::addColumn<QVariantMap>("problem");
    QTest::addColumn<QVariantMap>("settings");
    QTest::addColumn<double>("seconds");

    const QVariantMap settings{{"script_time_limit", "45"}};
    QTest::newRow("the problem's limit first") << QVariantMap{{"time_limit", 30}} << settings << 30.0;
    QTest::newRow("0 from the problem: none") << QVariantMap{{"time_limit", 0}} << settings << 0.0;
    QTest::newRow("then the user settings") << QVariantMap{{"time_limit", "soon"}} << settings << 45.0;
    QTest::newRow("then ten minutes") << QVariantMap{{"time_limit", -5}} << QVariantMap() << 600.0;
}

void TestRunner::timeLimitSources()
{
    QFETCH(QVariantMap, problem);
    QFETCH(QVariantMap, settings);
    QFETCH(double, seconds);
    QCOMPARE(Oxbell::scriptTimeLimitOf(problem, settings), seconds);
}

void TestRunner::runLeavesNothingBehind_data()
{
    QTest::addColumn<QString>("stop"); // what the test does once the script runs
    QTest::addColumn<QByteArray>("ending");
    QTest::addColumn<QStringList>("lastHooks");
    QTest::addColumn<bool>("childOutlives");

    QTest::newRow("cancel") << "cancel" << QByteArray("time.sleep(120)\n") << QStringList{"scriptFailed()"} << false;
    // The client's normal end, or its window closed.
    QTest::newRow("the engine ends") << "delete" << QByteArray("time.sleep(120)\n") << QStringList() << false;
    QTest::newRow("time limit")
        << "" << QByteArray("time.sleep(120)\n")
        << QStringList{"errorMessage(Failed to grade assignment\nReason:\nThe script did not finish within 2 seconds "
                       "and was stopped. | false)",
                       "scriptFailed()"}
        << false;
    QTest::newRow("the interpreter fails")
        << "" << QByteArray("raise SystemExit(3)\n") << QStringList{"scriptFailed()"} << false;
    // What an init script starts for the student must survive its clean end.
    QTest::newRow("a clean end") << "" << QByteArray() << QStringList{"gradingFinished()"} << true;
}

// A script's child that ignores SIGTERM ends with the run all the same, unless the run ended
// cleanly; the run's folder goes in every case.
void TestRunner::runLeavesNothingBehind()
{
    QFETCH(QString, stop);
    QFETCH(QByteArray, ending);
    QFETCH(QStringList, lastHooks);
    QFETCH(bool, childOutlives);

    engine->scriptTimeLimit = 2;
    engine->runState = 2;
    engine->runScript(
        "import os, subprocess, time\nfrom oxbell import feedback\n"
        "child = subprocess.Popen(['sh', '-c', 'trap \"\" TERM; exec sleep 120'])\n"
        "time.sleep(0.3)\nfeedback('%d %d' % (child.pid, os.getpid()), os.path.dirname(os.path.abspath(__file__)))\n"
            + ending,
        false);
    QTRY_VERIFY_WITH_TIMEOUT(engine->called("addFeedback"), testWaitMs);
    const QVariantList seen = engine->callsOf("addFeedback").value(0).arguments;
    const QStringList processes = seen.value(0).toString().split(' ');
    if (stop == "cancel")
        engine->cancelRun();
    else if (stop == "delete")
        engine.reset();
    if (engine) {
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(*engine), testWaitMs);
        QCOMPARE(trace(*engine).mid(2), lastHooks);
    }
    QVERIFY(!processRunning(processes.value(1).toLongLong()));
    const qint64 child = processes.value(0).toLongLong();
    QCOMPARE(processRunning(child), childOutlives);
    if (childOutlives)
        endProcess(child);
    QVERIFY(!QFileInfo::exists(seen.value(1).toString()));
}

// A stop that reaches the interpreter before it runs the script, even before it leaves the
// client's process group, ends the interpreter and never the client.
void TestRunner::interpreterSignalledAtItsStart()
{
#ifdef Q_OS_WIN
    QSKIP("Windows has no signals; its interpreter starts suspended, and runs only inside its job");
#else
    for (int attempt = 0; attempt < 30; ++attempt) {
        engine->calls.clear();
        engine->runState = 2;
        engine->runScript("import time\ntime.sleep(120)\n", false);
        ::kill(pid_t(engine->scriptRun->processId()), SIGTERM);
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(*engine), testWaitMs);
        QCOMPARE(trace(*engine).last(), QStringLiteral("scriptFailed()"));
    }
#endif
}

// On Windows the last handle of the run's job goes with a client killed outright, and takes the
// script's child along; on Linux only the interpreter follows the client.
void TestRunner::clientKilledOutright()
{
#ifndef Q_OS_WIN
    QSKIP("Windows' job objects");
#else
    QTemporaryDir seen;
    runSelfAsChild(QStringLiteral("killed-client"), {seen.filePath(QStringLiteral("pid"))});
    QFile pid(seen.filePath(QStringLiteral("pid")));
    QVERIFY(pid.open(QIODevice::ReadOnly));
    const qint64 child = pid.readAll().toLongLong();
    QVERIFY(child > 0);
    QTRY_VERIFY_WITH_TIMEOUT(!processRunning(child), testWaitMs);
#endif
}

// Another local user may write to the shared temporary directory; a module planted there under
// a name the script imports must not run inside the grading run.
void TestRunner::plantedModuleIsNotImported()
{
    QTemporaryDir shared;
    QVERIFY(shared.isValid());
    qputenv("TMPDIR", QFile::encodeName(shared.path()));
    QFile planted(shared.filePath(QStringLiteral("json.py")));
    QVERIFY(planted.open(QIODevice::WriteOnly));
    planted.write("from oxbell import feedback\nfeedback('planted module ran')\n");
    planted.close();

    QVERIFY(runToEnd(*engine, "import json\nfrom oxbell import feedback\nfeedback(json.dumps('clean'))\n"));
    QCOMPARE(trace(*engine), QStringList({"clearFeedback()", "addFeedback(\"clean\" | )", "gradingFinished()"}));
}

void TestRunner::childEnvironment()
{
    qputenv("PYTHONPATH", "/inherited/python/path");
    QVERIFY(runToEnd(*engine,
                     "import json, os, sys\nfrom oxbell import feedback\n"
                     "feedback(os.environ['PYTHONPATH'], os.getcwd())\n"
                     "feedback(json.dumps(sys.argv[1:]), '')\n"));
    QCOMPARE(trace(*engine),
             QStringList({"clearFeedback()",
                          "addFeedback(" + appDir() + " | " + QFileInfo(appDir()).canonicalFilePath() + ")",
                          "addFeedback([] | )", "gradingFinished()"}));
}

void TestRunner::serversOnStandardInput()
{
    const QVariantMap servers{
        {QStringLiteral("web"),
         QVariantMap{{QStringLiteral("address"), QStringLiteral("localhost")},
                     {QStringLiteral("port"), QStringLiteral("8082")}}},
        {QStringLiteral("base de données"),
         QVariantMap{{QStringLiteral("address"), QStringLiteral("127.0.0.1")}, {QStringLiteral("port"), 27017}}}};
    engine->userSettings = QVariantMap{{QStringLiteral("servers"), servers},
                                       {QStringLiteral("proxy"), QVariantMap{{QStringLiteral("hostname"), "p"}}}};

    // The raw document, read to end of file, comes back as hex.
    QVERIFY(runToEnd(*engine,
                     "PK = 0\nimport sys\ndata = sys.stdin.buffer.read()\n"
                     "sys.stdout.write('{\"type\": \"feedback\", \"summary\": \"%s\"}\\n' % data.hex())\n"));
    const QByteArray expected
        = QJsonDocument(QJsonObject{{QStringLiteral("servers"), QJsonObject::fromVariantMap(servers)}}).toJson();
    QCOMPARE(engine->callsOf("addFeedback").value(0).arguments.value(0).toString(),
             QString::fromLatin1(expected.toHex()));

    engine->calls.clear();
    QVERIFY(runToEnd(*engine, "import json\nfrom oxbell import feedback\nfeedback(json.dumps(servers), '')\n"));
    const QString seen = engine->callsOf("addFeedback").value(0).arguments.value(0).toString();
    QCOMPARE(QJsonDocument::fromJson(seen.toUtf8()).object().toVariantMap(), servers);
}

void TestRunner::messages_data()
{
    QTest::addColumn<bool>("init");
    QTest::addColumn<bool>("testMode");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QStringList>("expected");

    const QByteArray head = "import os, time\n";
    const QByteArray hang = "time.sleep(120)\n";

    QTest::newRow("two messages in one write")
        << false << false
        << head
            + "os.write(1, b'{\"type\": \"feedback\", \"summary\": \"a\", \"detail\": \"b\"}\\n"
              "{\"type\": \"feedback\", \"summary\": \"c\"}\\n')\n"
        << QStringList{"clearFeedback()", "addFeedback(a | b)", "addFeedback(c | )", "gradingFinished()"};
    QTest::newRow("one message in two writes")
        << false << false
        << head
            + "os.write(1, b'{\"type\": \"feedback\", \"sum')\ntime.sleep(0.3)\n"
              "os.write(1, b'mary\": \"\\xc3\\xa9t\\xc3\\xa9\"}\\n')\n"
        << QStringList{"clearFeedback()", QStringLiteral("addFeedback(été | )"), "gradingFinished()"};
    QTest::newRow("Windows line ends") << false << false
                                       << head
            + "os.write(1, b'{\"type\": \"feedback\", \"summary\": \"a\"}\\r\\n{\"type\": \"feedback\", "
              "\"summary\": \"b\"}\\r\\n')\n"
                                       << QStringList{"clearFeedback()", "addFeedback(a | )", "addFeedback(b | )",
                                                      "gradingFinished()"};
    QTest::newRow("last line without line feed is never read")
        << false << false
        << head + "os.write(1, b'{\"type\": \"feedback\", \"summary\": \"a\"}\\n{\"type\": \"feedback\"}')\n"
        << QStringList{"clearFeedback()", "addFeedback(a | )", "gradingFinished()"};

    // A line that is not JSON ends the run: the child is killed (it would hang) and nothing after it is read.
    QTest::newRow("blank line") << false << false
                                << head + "os.write(1, b'\\n{\"type\": \"feedback\", \"summary\": \"later\"}\\n')\n"
            + hang << QStringList{"clearFeedback()", "errorMessage(" + malformed("\n") + " | true)", "scriptFailed()"};
    QTest::newRow("not JSON") << false << false
                              << head + "os.write(1, b'{\"type\": \"feedback\", \"summary\": \"a\"}\\nnot json\\n')\n"
            + hang
                              << QStringList{"clearFeedback()", "addFeedback(a | )",
                                             "errorMessage(" + malformed("not json\n") + " | true)", "scriptFailed()"};

    QTest::newRow("array and unknown types go on") << false << false
                                                   << head
            + "os.write(1, b'[1, 2]\\n{\"type\": \"Feedback\"}\\n{\"type\": \"state\"}\\n"
              "{\"type\": \"feedback\", \"summary\": \"a\"}\\n')\n"
                                                   << QStringList{"clearFeedback()",
                                                                  noType("[1, 2]\n"),
                                                                  noType("{\"type\": \"Feedback\"}\n"),
                                                                  noType("{\"type\": \"state\"}\n"),
                                                                  "addFeedback(a | )",
                                                                  "gradingFinished()"};

    const QByteArray failed = "from oxbell import failed\nfailed('no web server')\n";
    QTest::newRow("failed in an init run")
        << true << false << failed
        << QStringList{"clearFeedback()",
                       "errorMessage(Failed to initialize assignment\nReason:\nno web server | false)",
                       "initCompleted()"};
    QTest::newRow("failed in a test run")
        << false << true << failed
        << QStringList{"clearFeedback()", "errorMessage(Failed to test assignment\nReason:\nno web server | false)",
                       "gradingFinished()"};
}

void TestRunner::messages()
{
    QFETCH(bool, init);
    QFETCH(bool, testMode);
    QFETCH(QByteArray, script);
    QFETCH(QStringList, expected);

    engine->testMode = testMode;
    QVERIFY(runToEnd(*engine, script, init));
    QCOMPARE(trace(*engine), expected);
}

void TestRunner::completeState()
{
    QVERIFY(runToEnd(*engine, "from oxbell import complete\ncomplete({'n': 1})\ncomplete({'n': 2})\n"));
    QCOMPARE(engine->scriptState.object(), QJsonObject({{"n", 2}}));

    // A run without a result posts nothing of the run before.
    QVERIFY(runToEnd(*engine, "from oxbell import feedback\nfeedback('no result')\n"));
    QVERIFY(engine->scriptState.isNull());

    QVERIFY(runToEnd(*engine, "import sys\nsys.stdout.write('{\"type\": \"complete\"}\\n')\n"));
    QVERIFY(engine->scriptState.isObject());
    QVERIFY(engine->scriptState.object().isEmpty());
}

void TestRunner::moduleHelpers()
{
    QTcpServer listening;
    QVERIFY(listening.listen(QHostAddress::LocalHost));
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const quint16 closedPort = closed.serverPort();
    closed.close();

    const auto server = [](const QVariant& port) {
        return QVariantMap{{QStringLiteral("address"), QStringLiteral("127.0.0.1")}, {QStringLiteral("port"), port}};
    };
    engine->userSettings
        = QVariantMap{{QStringLiteral("servers"),
                       QVariantMap{{QStringLiteral("web"), server(QString::number(listening.serverPort()))},
                                   {QStringLiteral("db"), server(closedPort)},
                                   {QStringLiteral("bad"), server(QStringLiteral("eighty"))}}}};

    QVERIFY(runToEnd(*engine,
                     "from oxbell import Grader, address, reachable\n"
                     "grader = Grader()\n"
                     "grader.check('web', reachable('web')[0], 2)\n"
                     "up, why = reachable('db', timeout=1)\n"
                     "grader.check('db', up, 1, why)\n"
                     "grader.check('bad port', address('bad') is None, 0.5)\n"
                     "grader.check('unknown', reachable('mail')[0])\n"
                     "grader.finish()\n"));

    const QStringList hooks = trace(*engine);
    QCOMPARE(hooks.value(1), QStringLiteral("addFeedback(web: passed | )"));
    QVERIFY2(hooks.value(2).startsWith(
                 QStringLiteral("addFeedback(db: failed | 127.0.0.1:%1 is not reachable").arg(closedPort)),
             qPrintable(hooks.value(2)));
    QCOMPARE(hooks.value(3), QStringLiteral("addFeedback(bad port: passed | )"));
    QCOMPARE(hooks.value(4), QStringLiteral("addFeedback(unknown: failed | )"));
    QCOMPARE(hooks.value(5), QStringLiteral("gradingFinished()"));

    const QJsonArray checks = engine->scriptState.object().value(QStringLiteral("checks")).toArray();
    QCOMPARE(checks.size(), 4);
    QCOMPARE(checks.at(0).toObject(), QJsonObject({{"name", "web"}, {"passed", true}, {"points", 2}, {"detail", ""}}));
    QCOMPARE(checks.at(1).toObject().value("passed"), QJsonValue(false));
    QCOMPARE(checks.at(2).toObject().value("points"), QJsonValue(0.5));
}

void TestRunner::endOfRun_data()
{
    QTest::addColumn<bool>("init");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QStringList>("expected");

    // However much the script writes, the client keeps little of it.
#ifndef OXBELL_INTERPRETER_STANDIN
    QTest::newRow("endless output without a line break")
        << false << QByteArray("import os\nwhile True:\n    os.write(1, b'x' * 65536)\n")
        << QStringList{"clearFeedback()",
                       "errorMessage(Internal error: malformed message from subprocess: a line longer than 1048576 "
                       "bytes: "
                           + QString(200, 'x') + "... | true)",
                       "scriptFailed()"};
    QTest::newRow("100 MiB on standard error")
        << false << QByteArray("import os\nfor i in range(1600):\n    os.write(2, b'e' * 65536)\n")
        << QStringList{"clearFeedback()",
                       "errorMessage(" + stderrText + QString(65536, 'e')
                           + "\n\n(104792064 more bytes of standard error are not shown.) | false)",
                       "scriptFailed()"};
#endif

    const QByteArray complain = "import os\nos.write(2, b'Traceback: oops\\n')\n";
    // The run fails once: nothing is posted, nothing reported initialised.
    QTest::newRow("standard error with exit code 0")
        << false << complain
        << QStringList{"clearFeedback()", "errorMessage(" + stderrText + "Traceback: oops\n | false)", "scriptFailed()"};
    QTest::newRow("standard error in an init run")
        << true << complain
        << QStringList{"clearFeedback()", "errorMessage(" + stderrText + "Traceback: oops\n | false)", "scriptFailed()"};
    QTest::newRow("standard error starting with NUL") << false << QByteArray("import os\nos.write(2, b'\\x00hidden')\n")
                                                      << QStringList{"clearFeedback()", "gradingFinished()"};
    QTest::newRow("exit code 1") << false
                                 << QByteArray("from oxbell import feedback\nfeedback('a')\nraise SystemExit(1)\n")
                                 << QStringList{"clearFeedback()", "addFeedback(a | )", "scriptFailed()"};
    QTest::newRow("exit code 1 in an init run")
        << true << QByteArray("raise SystemExit(1)\n") << QStringList{"clearFeedback()", "scriptFailed()"};
    QTest::newRow("init succeeds") << true << QByteArray() << QStringList{"clearFeedback()", "initCompleted()"};
    // Ends once, with what the child sent before it died.
#ifndef Q_OS_WIN
    QTest::newRow("crash")
        << false << QByteArray("import os, signal\nfrom oxbell import feedback\nfeedback('a')\nos.kill(os.getpid(), signal.SIGKILL)\n")
        << QStringList{"clearFeedback()", "addFeedback(a | )",
                       "errorMessage(Failed to grade assignment\nReason:\nThe process crashed some time after starting "
                       "successfully. | false)",
                       "scriptFailed()"};
#endif
}

void TestRunner::endOfRun()
{
    QFETCH(bool, init);
    QFETCH(QByteArray, script);
    QFETCH(QStringList, expected);

#ifdef Q_OS_LINUX
    QFile resetPeak(QStringLiteral("/proc/self/clear_refs"));
    QVERIFY(resetPeak.open(QIODevice::WriteOnly) && resetPeak.write("5") == 1);
    resetPeak.close();
    const long before = peakMemoryKiB();
#endif
    QVERIFY(runToEnd(*engine, script, init));
    QCOMPARE(trace(*engine), expected);
#ifdef Q_OS_LINUX
    // AddressSanitizer keeps freed memory in quarantine, so there the peak is not the client's own.
#ifndef __SANITIZE_ADDRESS__
    constexpr long allowedGrowthKiB = 16 * 1024;
    QVERIFY2(peakMemoryKiB() - before < allowedGrowthKiB, qPrintable(QString::number(peakMemoryKiB() - before)));
#else
    Q_UNUSED(before)
#endif
#endif
}

void TestRunner::missingInterpreter()
{
    engine->interpreterPath = appDir() + QStringLiteral("/pypy/bin/no-such-interpreter");
    engine->testMode = true;
    QVERIFY(runToEnd(*engine, QByteArray()));
    // No end handler follows a child that never started.
    QTest::qWait(300);
    QCOMPARE(trace(*engine),
             QStringList({"clearFeedback()",
                          "errorMessage(Failed to test assignment\nReason:\nThe process failed to start. Either the "
                          "invoked program is missing, or you may have insufficient permissions to invoke the "
                          "program. | false)",
                          "scriptFailed()"}));
}

void TestRunner::unwritableTemporaryDirectory()
{
    // Not even root may create files in /proc.
    qputenv("TMPDIR", "/proc");
    engine->runState = 1;
    engine->runScript("from oxbell import feedback\nfeedback('must not run')\n", true);

    QCOMPARE(engine->runState, 0);
    QCOMPARE(engine->scriptRun, nullptr);
    const QStringList hooks = trace(*engine);
    QCOMPARE(hooks.size(), 3);
    QVERIFY2(hooks.at(1).startsWith("errorMessage(Failed to initialize assignment\nReason:\nThe script could not be "
                                    "written to a temporary file: "),
             qPrintable(hooks.at(1)));
    QCOMPARE(hooks.at(2), QStringLiteral("scriptFailed()"));
}

void TestRunner::cancelDuringRun()
{
    engine->runState = 2;
    engine->requestState = DownloadingScript;
    engine->runScript("import time\nfrom oxbell import feedback\nfeedback('started')\ntime.sleep(120)\n", false);
    QTRY_VERIFY_WITH_TIMEOUT(engine->called("addFeedback"), testWaitMs);
    const qint64 pid = engine->scriptRun->processId();

    engine->cancelRun();
    QCOMPARE(engine->scriptRun, nullptr);
    QCOMPARE(engine->runState, 0);
    QCOMPARE(engine->requestState, int(Idle));
    // Reaped at once: not even a zombie is left to signal.
#ifdef Q_OS_WIN
    QVERIFY(!processRunning(pid));
#else
    const int signalled = ::kill(pid_t(pid), 0);
    const int error = errno;
    QCOMPARE(signalled, -1);
    QCOMPARE(error, ESRCH);
#endif

    QTest::qWait(300);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(trace(*engine), QStringList({"clearFeedback()", "addFeedback(started | )", "scriptFailed()"}));
}

void TestRunner::cancelWithoutRun()
{
    QVERIFY(!engine->network);
    engine->runState = 1;
    engine->requestState = DownloadingInit;
    engine->cancelRun();
    QCOMPARE(engine->runState, 0);
    QCOMPARE(engine->requestState, int(Idle));
    QCOMPARE(trace(*engine), QStringList({"scriptFailed()"}));
}

void TestRunner::nextRunHearsNothingFromReplacedChild_data()
{
    QTest::addColumn<bool>("cancelFirst");
    QTest::newRow("cancelled, then a new run") << true;
    QTest::newRow("replaced by a new run") << false;
}

void TestRunner::nextRunHearsNothingFromReplacedChild()
{
    QFETCH(bool, cancelFirst);

    // The old child keeps talking until it is killed, and its death by SIGKILL looks like a crash.
    engine->runState = 2;
    engine->runScript("import time\nfrom oxbell import feedback\n"
                      "while True:\n"
                      "    feedback('old')\n"
                      "    time.sleep(0.005)\n",
                      false);
    QTRY_VERIFY_WITH_TIMEOUT(engine->callsOf("addFeedback").size() >= 3, testWaitMs);
    if (cancelFirst)
        engine->cancelRun();
    const int newRunStart = engine->calls.size();

    QVERIFY(runToEnd(*engine, "from oxbell import feedback\nfeedback('new')\n"));
    QTest::qWait(300);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    const QStringList hooks = trace(*engine);
    QCOMPARE(hooks.mid(newRunStart), QStringList({"clearFeedback()", "addFeedback(new | )", "gradingFinished()"}));
    QStringList oldRun = hooks.mid(0, newRunStart);
    oldRun.removeAll(QStringLiteral("addFeedback(old | )"));
    QCOMPARE(oldRun,
             cancelFirst ? QStringList({"clearFeedback()", "scriptFailed()"}) : QStringList({"clearFeedback()"}));
}

void TestRunner::hookCancelsWhileLinesRemain()
{
    engine->reactions.insert(QStringLiteral("addFeedback"), [this](const TestEngine::Call&) { engine->cancelRun(); });
    engine->runState = 2;
    engine->runScript("import os, time\n"
                      "os.write(1, b'{\"type\": \"feedback\", \"summary\": \"1\"}\\n{\"type\": \"feedback\", "
                      "\"summary\": \"2\"}\\n')\n"
                      "time.sleep(120)\n",
                      false);
    QTRY_VERIFY_WITH_TIMEOUT(engine->called("scriptFailed"), testWaitMs);
    QTest::qWait(300);
    QCOMPARE(trace(*engine), QStringList({"clearFeedback()", "addFeedback(1 | )", "scriptFailed()"}));
    QCOMPARE(engine->runState, 0);
}

int main(int argc, char** argv)
{
    // As the program does at start-up, before anything else handles a signal.
    runguard::install();
    QCoreApplication application(argc, argv);
#ifdef Q_OS_WIN
    const ChildRequest child = childRequest(argc, argv);
    if (child.name == QLatin1String("killed-client")) {
        TestEngine engine;
        engine.interpreterPath = appDir() + QStringLiteral("/pypy/bin/pypy");
        engine.reactions.insert(QStringLiteral("addFeedback"), [&child](const TestEngine::Call& call) {
            QFile pid(child.arguments.value(0));
            if (pid.open(QIODevice::WriteOnly))
                pid.write(call.arguments.value(0).toString().section(QLatin1Char(' '), 0, 0).toUtf8());
            pid.close();
            TerminateProcess(GetCurrentProcess(), 1);
        });
        engine.runState = 2;
        engine.runScript("import os, subprocess, time\nfrom oxbell import feedback\nchild = subprocess.Popen(['sh'])\n"
                         "feedback('%d %d' % (child.pid, os.getpid()), '')\ntime.sleep(120)\n",
                         false);
        QTimer::singleShot(testWaitMs, &application, &QCoreApplication::quit);
        return application.exec();
    }
#endif
    TestRunner test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_runner.moc"

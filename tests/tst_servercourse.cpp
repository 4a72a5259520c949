// What course staff write for the practice server: the catalogue it accepts, the grade it derives
// from a script's result, and the demo course's scripts run the way the client runs them.
#include "coursedirectory.h"
#include "grade.h"

#include "support/practiceserver.h"
#include "support/timeouts.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

namespace {
QJsonObject check(const QJsonValue& name, const QJsonValue& passed, const QJsonValue& points)
{
    return QJsonObject{
        {QStringLiteral("name"), name}, {QStringLiteral("passed"), passed}, {QStringLiteral("points"), points}};
}

QByteArray checks(const QJsonArray& list)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("checks"), list}}).toJson();
}

QJsonObject problem(const QString& urlName, const QString& grader = QStringLiteral("grade.py"))
{
    return QJsonObject{{QStringLiteral("display_name"), QStringLiteral("P")},
                       {QStringLiteral("url_name"), urlName},
                       {QStringLiteral("grader"), grader}};
}

QByteArray catalogue(const QString& key, const QJsonArray& problems)
{
    const QJsonObject section{{QStringLiteral("display_name"), QStringLiteral("S")},
                              {QStringLiteral("url_name"), QStringLiteral("s")},
                              {QStringLiteral("problems"), problems}};
    const QJsonObject week{{QStringLiteral("display_name"), QStringLiteral("W")},
                           {QStringLiteral("url_name"), QStringLiteral("w")},
                           {QStringLiteral("sections"), QJsonArray{section}}};
    return QJsonDocument(QJsonObject{{QStringLiteral("courses"), QJsonObject{{key, QJsonArray{week}}}}}).toJson();
}

QJsonObject with(QJsonObject object, const QString& name, const QJsonValue& value)
{
    object.insert(name, value);
    return object;
}

// A port on which nothing listens.
int closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

QStringList repeated(int count, const QString& text)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list.append(text);
    return list;
}

QJsonObject serversAt(int web, int database)
{
    const auto server = [](int port) {
        return QJsonObject{{QStringLiteral("address"), QStringLiteral("127.0.0.1")},
                           {QStringLiteral("port"), QString::number(port)}};
    };
    return QJsonObject{{QStringLiteral("web1"), server(web)}, {QStringLiteral("dbnode1"), server(database)}};
}

struct ScriptRun {
    int exitCode = -1;
    QByteArray standardError;
    QList<QJsonObject> messages;
    bool wellFormed = true; // every line a JSON object of a known type
};

// Runs a script as the client does: a temporary file without suffix, the import line in front
// unless it is a zip archive, the interpreter of the application directory, PYTHONPATH set to that
// directory and the servers document on standard input.
ScriptRun runLikeTheClient(const QByteArray& script, const QJsonObject& servers)
{
    ScriptRun run;
    QTemporaryFile file;
    if (!file.open())
        return run;
    if (!script.startsWith("PK"))
        file.write("from oxbell import servers\n");
    file.write(script);
    file.close();

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PYTHONPATH"), QStringLiteral(OXBELL_APP_DIR));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(QStringLiteral(OXBELL_APP_DIR));
    process.start(QStringLiteral(OXBELL_APP_DIR "/pypy/bin/pypy"), {file.fileName()});
    process.write(QJsonDocument(QJsonObject{{QStringLiteral("servers"), servers}}).toJson());
    process.closeWriteChannel();
    if (!process.waitForFinished(60000))
        return run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.standardError = process.readAllStandardError();
    for (const QByteArray& line : process.readAllStandardOutput().split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject message = QJsonDocument::fromJson(line).object();
        const QString type = message.value(QLatin1String("type")).toString();
        run.wellFormed = run.wellFormed
            && (type == QLatin1String("feedback") || type == QLatin1String("failed")
                || type == QLatin1String("complete"));
        run.messages.append(message);
    }
    return run;
}

QByteArray scriptOf(const CourseDirectory& courses, const ProblemKey& key, bool init)
{
    bool read = false;
    const Problem* found = courses.find(key);
    return found ? courses.readScript(*found, init, &read) : QByteArray();
}
}

class TestServerCourse : public QObject {
    Q_OBJECT

private slots:
    void gradeFromState_data();
    void gradeFromState();
    void catalogueRefused_data();
    void catalogueRefused();
    void demoScriptsWithoutServers_data();
    void demoScriptsWithoutServers();
    void webChecksPassAgainstALiveServer();
};

void TestServerCourse::gradeFromState_data()
{
    QTest::addColumn<QByteArray>("state");
    QTest::addColumn<double>("possible");
    QTest::addColumn<double>("earned");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<QStringList>("summaries");

    const QString a = QStringLiteral("a");
    QTest::newRow("passed checks add up")
        << checks({check(a, true, 1), check(QStringLiteral("b"), false, 2), check(QStringLiteral("c"), true, 0.5)})
        << 3.0 << 1.5 << false
        << QStringList{QStringLiteral("a: passed"), QStringLiteral("b: failed"), QStringLiteral("c: passed")};
    QTest::newRow("capped at possible") << checks({check(a, true, 5), check(a, true, 5)}) << 2.0 << 2.0 << true
                                        << QStringList{QStringLiteral("a: passed"), QStringLiteral("a: passed")};
    QTest::newRow("odd points ignored") << checks(
        {check(a, true, -3), check(a, true, QStringLiteral("2")), check(a, true, QJsonValue()), check(a, true, 1)})
                                        << 2.0 << 1.0 << false << repeated(4, QStringLiteral("a: passed"));
    QJsonArray tenths;
    for (int i = 0; i < 10; ++i)
        tenths.append(check(a, true, 0.1));
    QTest::newRow("tenths make a whole") << checks(tenths) << 1.0 << 1.0 << true
                                         << repeated(10, QStringLiteral("a: passed"));
    QTest::newRow("passed must be true") << checks({check(a, QStringLiteral("true"), 1), check(a, 1, 1)}) << 1.0 << 0.0
                                         << false << repeated(2, QStringLiteral("a: failed"));
    QTest::newRow("unnamed check") << checks({check(QJsonValue(), true, 1), check(3, true, 0)}) << 1.0 << 1.0 << true
                                   << QStringList{QStringLiteral("Check 1: passed"), QStringLiteral("Check 2: passed")};
    QTest::newRow("no checks") << QByteArray("{}") << 1.0 << 0.0 << false << QStringList();
    QTest::newRow("checks not a list") << QByteArray("{\"checks\": {\"name\": \"a\", \"passed\": true, \"points\": 1}}")
                                       << 1.0 << 0.0 << false << QStringList();
    QTest::newRow("state is a list") << QByteArray("[{\"checks\": []}]") << 1.0 << 0.0 << false << QStringList();
}

void TestServerCourse::gradeFromState()
{
    QFETCH(QByteArray, state);
    QFETCH(double, possible);
    QFETCH(double, earned);
    QFETCH(bool, complete);
    QFETCH(QStringList, summaries);

    const QJsonDocument document = QJsonDocument::fromJson(state);
    const Grade grade = Grade::fromState(
        document.isObject() ? QJsonValue(document.object()) : QJsonValue(document.array()), possible);
    QCOMPARE(grade.earned, earned);
    QCOMPARE(grade.complete, complete);
    QStringList found;
    for (const QJsonValue& entry : grade.feedback)
        found.append(entry.toArray().at(0).toString());
    QCOMPARE(found, summaries);
}

void TestServerCourse::catalogueRefused_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("fault"); // empty: the catalogue is accepted

    const QString key = QStringLiteral("X/C1/2026");
    const QJsonObject p = problem(QStringLiteral("p"));
    QTest::newRow("accepted") << catalogue(
        key, {p, with(problem(QStringLiteral("q")), QStringLiteral("init"), QStringLiteral("./grade.py"))})
                              << QString();
    QTest::newRow("not JSON") << QByteArray("{\"courses\": ") << QStringLiteral("catalogue.json: ");
    QTest::newRow("key of two parts") << catalogue(QStringLiteral("X/C1"), {p})
                                      << QStringLiteral("at least three parts");
    QTest::newRow("key starting with init")
        << catalogue(QStringLiteral("init/C1/2026"), {p}) << QStringLiteral("may not start with \"init/\"");
    QTest::newRow("slash in a name") << catalogue(key, {problem(QStringLiteral("a/b"))})
                                     << QStringLiteral("may hold only");
    QTest::newRow("name used twice")
        << catalogue(key, {p, p})
        << QStringLiteral("course \"X/C1/2026\", week 1, section 1, problem 2: \"url_name\" \"p\" is used twice");
    QTest::newRow("misspelt member") << catalogue(key, {with(p, QStringLiteral("max_attempt"), 3)})
                                     << QStringLiteral("unknown member \"max_attempt\"");
    QTest::newRow("grader missing") << catalogue(key, {problem(QStringLiteral("p"), QStringLiteral("missing.py"))})
                                    << QStringLiteral("no readable file");
    QTest::newRow("grader outside") << catalogue(key,
                                                 {problem(QStringLiteral("p"), QStringLiteral("sub/../../grade.py"))})
                                    << QStringLiteral("must be a path inside the course directory");
    QTest::newRow("absolute grader") << catalogue(key, {problem(QStringLiteral("p"), QStringLiteral("/etc/hostname"))})
                                     << QStringLiteral("must be a path inside the course directory");
    QTest::newRow("unlimited attempts")
        << catalogue(key, {with(p, QStringLiteral("max_attempts"), QStringLiteral("unlimited")), problem("q")})
        << QString();
    QTest::newRow("time limit") << catalogue(key, {with(p, QStringLiteral("time_limit"), 30), problem("q")})
                                << QString();
    QTest::newRow("time limit as text") << catalogue(key, {with(p, QStringLiteral("time_limit"), "1m")})
                                        << QStringLiteral("\"time_limit\" must be a whole number");
    QTest::newRow("attempts as other text") << catalogue(key, {with(p, QStringLiteral("max_attempts"), "many")})
                                            << QStringLiteral("\"max_attempts\" must be a whole number");
    QTest::newRow("negative close date") << catalogue(key, {with(p, QStringLiteral("close_date"), -1)})
                                         << QStringLiteral("\"close_date\" must be a whole number");
    QTest::newRow("nothing possible") << catalogue(key, {with(p, QStringLiteral("possible"), 0)})
                                      << QStringLiteral("\"possible\" must be a number above 0");
    QTest::newRow("servers a grader needs")
        << catalogue(key, {with(p, QStringLiteral("servers"), QJsonArray{"web1", "dbnode1"}), problem("q")})
        << QString();
    const QString notNames = QStringLiteral("\"servers\" must be a list of server names");
    QTest::newRow("servers not a list") << catalogue(key, {with(p, QStringLiteral("servers"), "web1")}) << notNames;
    QTest::newRow("server without a name")
        << catalogue(key, {with(p, QStringLiteral("servers"), QJsonArray{" "})}) << notNames;
    QTest::newRow("server named twice") << catalogue(key,
                                                     {with(p, QStringLiteral("servers"), QJsonArray{"web1", "web1"})})
                                        << QStringLiteral("\"servers\" names \"web1\" twice");
    QTest::newRow("multistep not a bool")
        << QByteArray(catalogue(key, {p}).replace("\"problems\"", "\"multistep\": \"yes\", \"problems\""))
        << QStringLiteral("\"multistep\" must be true or false");
}

void TestServerCourse::catalogueRefused()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, fault);

    QTemporaryDir directory;
    QFile grader(directory.filePath(QStringLiteral("grade.py")));
    QVERIFY(grader.open(QIODevice::WriteOnly));
    grader.close();
    QFile file(directory.filePath(CourseDirectory::catalogueFileName));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
    file.close();

    CourseDirectory courses;
    QString error;
    QCOMPARE(courses.load(directory.path(), &error), fault.isEmpty());
    QVERIFY2(error.contains(fault), qPrintable(error));
    QCOMPARE(courses.problemCount(), fault.isEmpty() ? 2 : 0);
}

void TestServerCourse::demoScriptsWithoutServers_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("init");

    CourseDirectory courses;
    QString error;
    QVERIFY2(courses.load(PracticeServer::demoCourseDir(), &error), qPrintable(error));
    for (int i = 0; i < courses.problemCount(); ++i) {
        const ProblemKey& key = courses.problem(i).key;
        const QString path = QStringList{key.course, key.week, key.section, key.problem}.join(QLatin1Char('/'));
        QTest::newRow(qPrintable(path)) << path << false;
        if (!courses.problem(i).initScript.isEmpty())
            QTest::newRow(qPrintable(path + QStringLiteral(" (init)"))) << path << true;
    }
}

// With no practice server running, every script still keeps to the message protocol and ends
// cleanly; the warm-up earns full marks, every other problem says which server it cannot reach.
void TestServerCourse::demoScriptsWithoutServers()
{
    QFETCH(QString, path);
    QFETCH(bool, init);

    CourseDirectory courses;
    QString error;
    QVERIFY2(courses.load(PracticeServer::demoCourseDir(), &error), qPrintable(error));
    const Problem* problem = courses.find(path);
    QVERIFY(problem);
    const int port = closedPort();
    const ScriptRun run = runLikeTheClient(scriptOf(courses, problem->key, init), serversAt(port, port));
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.standardError, QByteArray());
    QVERIFY(run.wellFormed);
    QVERIFY(!run.messages.isEmpty());
    if (init)
        return;

    QCOMPARE(run.messages.last().value(QLatin1String("type")).toString(), QStringLiteral("complete"));
    const Grade grade = Grade::fromState(run.messages.last().value(QLatin1String("state")), problem->possible);
    const bool warmUp = problem->key.problem == QLatin1String("setup");
    QCOMPARE(grade.earned, warmUp ? problem->possible : 0.0);
    if (!warmUp) {
        const QByteArray details = QJsonDocument(grade.feedback).toJson();
        QVERIFY2(details.contains("is not reachable"), details.constData());
        QVERIFY2(details.contains(QByteArray::number(port)), details.constData());
    }
}

void TestServerCourse::webChecksPassAgainstALiveServer()
{
    QTemporaryDir site;
    const int port = closedPort();
    QProcess web;
    web.start(QStringLiteral(OXBELL_APP_DIR "/pypy/bin/pypy"),
              {QStringLiteral("-m"), QStringLiteral("http.server"), QString::number(port), QStringLiteral("--bind"),
               QStringLiteral("127.0.0.1"), QStringLiteral("--directory"), site.path()});
    QTcpSocket probe;
    QTRY_VERIFY_WITH_TIMEOUT(
        (probe.abort(), probe.connectToHost(QHostAddress::LocalHost, quint16(port)), probe.waitForConnected(200)),
        testWaitMs);
    probe.abort();

    CourseDirectory courses;
    QString error;
    QVERIFY2(courses.load(PracticeServer::demoCourseDir(), &error), qPrintable(error));
    for (const char* path :
         {"OxbellX/WEB101/2026_Fall/week1/first-page/home", "OxbellX/WEB101/2026_Fall/week2/health/answer"}) {
        const Problem* problem = courses.find(QString::fromLatin1(path));
        QVERIFY(problem);
        const ScriptRun run = runLikeTheClient(scriptOf(courses, problem->key, false), serversAt(port, closedPort()));
        QCOMPARE(run.exitCode, 0);
        QVERIFY(!run.messages.isEmpty());
        const Grade grade = Grade::fromState(run.messages.last().value(QLatin1String("state")), problem->possible);
        QVERIFY2(grade.complete, QJsonDocument(grade.feedback).toJson().constData());
    }
    web.kill();
    web.waitForFinished();
}

QTEST_GUILESS_MAIN(TestServerCourse)
#include "tst_servercourse.moc"

#include "log.h"
#include "support/apphome.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTextStream>
#include <QtTest>

#include <thread>
#include <vector>

class TestLog : public QObject {
    Q_OBJECT

private slots:
    void lineFormat_data();
    void lineFormat();
    void runsAppendToOneFile();
    void messagesFromManyThreads();
    void fatalMessageEndsProcess();
    void unopenableLogGoesToConsole();
};

namespace {
const QString stampFormat = QStringLiteral("yyyy.MM.dd hh:mm:ss");
const int stampLength = 19;
const QString stampPattern = QStringLiteral("^\\d{4}\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d");

// A child that logs a line and then a fatal message.
int fatalChild()
{
    openLog();
    qDebug("before the end");
    qFatal("cannot go on");
    return 3;
}

// The stamp of a line lies between two moments; the format sorts like the time it shows.
bool stampedBetween(const QString& line, const QDateTime& before, const QDateTime& after)
{
    const QString stamp = line.left(stampLength);
    return QDateTime::fromString(stamp, stampFormat).isValid() && stamp >= before.toString(stampFormat)
        && stamp <= after.toString(stampFormat);
}

// The test's own home while a log is open in this process, and its message handler kept aside.
class LogHome {
public:
    LogHome()
        : oldHome(qgetenv("HOME"))
        , oldConfig(qgetenv("XDG_CONFIG_HOME"))
        , testHandler(qInstallMessageHandler(nullptr))
    {
        qInstallMessageHandler(testHandler);
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toUtf8());
    }
    ~LogHome()
    {
        closeLog();
        qInstallMessageHandler(testHandler);
        qputenv("HOME", oldHome);
        qputenv("XDG_CONFIG_HOME", oldConfig);
    }
    QString logPath() const { return home.logPath(); }

private:
    AppHome home;
    QByteArray oldHome;
    QByteArray oldConfig;
    QtMessageHandler testHandler;
};
}

void TestLog::lineFormat_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("expected");

    QTest::newRow("debug") << int(QtDebugMsg) << QByteArray("engine/settings.cpp") << 42
                           << QStringLiteral("Read: \"{}\"")
                           << QStringLiteral("[Debug](engine/settings.cpp:42) Read: \"{}\"\n");
    QTest::newRow("warning") << int(QtWarningMsg) << QByteArray("main.cpp") << 7 << QStringLiteral("careful")
                             << QStringLiteral("[Warning](main.cpp:7) careful\n");
    QTest::newRow("critical") << int(QtCriticalMsg) << QByteArray("log.cpp") << 1 << QStringLiteral("bad")
                              << QStringLiteral("[Critical](log.cpp:1) bad\n");
    QTest::newRow("no context") << int(QtDebugMsg) << QByteArray() << 0 << QStringLiteral("bare")
                                << QStringLiteral("[Debug](:0) bare\n");
    QTest::newRow("multi-line") << int(QtDebugMsg) << QByteArray("a.cpp") << 3 << QStringLiteral("first\nsecond")
                                << QStringLiteral("[Debug](a.cpp:3) first\nsecond\n");
}

void TestLog::lineFormat()
{
    QFETCH(int, type);
    QFETCH(QByteArray, file);
    QFETCH(int, line);
    QFETCH(QString, message);
    QFETCH(QString, expected);

    QString text;
    QTextStream stream(&text);
    logStream = &stream;
    const QMessageLogContext context(file.isNull() ? nullptr : file.constData(), line, "function", "default");
    const QDateTime before = QDateTime::currentDateTime();
    messageHandler(QtMsgType(type), context, message);
    const QDateTime after = QDateTime::currentDateTime();
    logStream = nullptr;

    QVERIFY2(stampedBetween(text, before, after), qPrintable(text));
    QCOMPARE(text.mid(stampLength), expected);
}

void TestLog::runsAppendToOneFile()
{
    LogHome home;
    QVERIFY(QDir().mkpath(QFileInfo(home.logPath()).path()));
    QFile earlier(home.logPath());
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("an earlier run\n");
    earlier.close();
    // Left readable by others (by an earlier version): closed to them, its content kept.
    QVERIFY(earlier.setPermissions(earlier.permissions() | QFile::ReadGroup | QFile::ReadOther));

    const QDateTime before = QDateTime::currentDateTime();
    openLog();
    QVERIFY(logStream);
    qDebug("first run %d", 1);
    const int firstLine = __LINE__ - 1;
    closeLog();
    // Closed: no message may reach the deleted stream.
    QVERIFY(!logStream);
    QVERIFY(qInstallMessageHandler(nullptr) != messageHandler);
    openLog();
    qWarning("second run");
    const int secondLine = __LINE__ - 1;
    closeLog();
    const QDateTime after = QDateTime::currentDateTime();

    QVERIFY(earlier.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines = QString::fromUtf8(earlier.readAll()).split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines[0], QStringLiteral("an earlier run"));
    QVERIFY(stampedBetween(lines[1], before, after));
    QCOMPARE(lines[1].mid(stampLength),
             QStringLiteral("[Debug](%1:%2) first run 1").arg(QLatin1String(__FILE__)).arg(firstLine));
    QVERIFY(stampedBetween(lines[2], before, after));
    QCOMPARE(lines[2].mid(stampLength),
             QStringLiteral("[Warning](%1:%2) second run").arg(QLatin1String(__FILE__)).arg(secondLine));
    QCOMPARE(lines[3], QString());
#ifndef Q_OS_WIN
    // On Windows these bits come from the read-only attribute, not from who may read the file.
    QCOMPARE(earlier.permissions() & ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
             QFile::Permissions());
#endif
}

void TestLog::messagesFromManyThreads()
{
    LogHome home;
    openLog();
    QVERIFY(logStream);
    constexpr int threadCount = 4;
    constexpr int messageCount = 500;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < threadCount; ++thread) {
        threads.emplace_back([thread] {
            for (int message = 0; message < messageCount; ++message)
                qWarning("thread %d message %d", thread, message);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    closeLog();

    QFile file(home.logPath());
#ifndef Q_OS_WIN
    // Made by the program: readable by its owner only.
    QCOMPARE(file.permissions() & ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
             QFile::Permissions());
#endif
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QRegularExpression whole(stampPattern
                                   + QStringLiteral("\\[Warning\\]\\(.+:\\d+\\) thread \\d message \\d+$"));
    QSet<QString> seen;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        QVERIFY2(whole.match(line).hasMatch(), qPrintable(line));
        seen.insert(line.mid(line.indexOf(QStringLiteral(") ")) + 2));
    }
    QCOMPARE(seen.size(), threadCount * messageCount);
}

void TestLog::fatalMessageEndsProcess()
{
    AppHome home;
    QVERIFY(home.isValid());
    const ProcessOutcome outcome = runSelfAsChild(QStringLiteral("fatal"), {}, home.environment());

    QVERIFY(outcome.finished);
    QCOMPARE(outcome.exitStatus, QProcess::NormalExit);
    QCOMPARE(outcome.exitCode, 1);
    const QStringList lines = home.logLines();
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].endsWith(QStringLiteral(") before the end")));
    const QRegularExpression fatal(stampPattern + QStringLiteral("\\[Fatal\\]\\(")
                                   + QRegularExpression::escape(QLatin1String(__FILE__))
                                   + QStringLiteral(":\\d+\\) cannot go on$"));
    QVERIFY2(fatal.match(lines[1]).hasMatch(), qPrintable(lines[1]));
}

void TestLog::unopenableLogGoesToConsole()
{
    AppHome home;
    QVERIFY(home.isValid());
    // A directory where the log should be.
    QVERIFY(QDir().mkpath(home.logPath()));

    const ProcessOutcome outcome = home.run({QStringLiteral("-headless-test")});

    QVERIFY(outcome.finished);
    QCOMPARE(outcome.exitCode, 0);
    QVERIFY(QJsonDocument::fromJson(outcome.standardOutput).isObject());
    const QStringList errors
        = QString::fromUtf8(outcome.standardError).split(QRegularExpression(QStringLiteral("\r?\n")));
    QCOMPARE(errors.first(),
             QStringLiteral("Error opening log file ' \"%1\" '. All debug output redirected to console.")
                 .arg(home.logPath()));
    QVERIFY(errors.size() > 1 && errors[1].startsWith(QStringLiteral("Operating System: ")));
}

int main(int argc, char** argv)
{
    if (childRequest(argc, argv).name == QLatin1String("fatal"))
        return fatalChild();
    QCoreApplication application(argc, argv);
    TestLog test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_log.moc"

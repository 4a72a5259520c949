#include "support/apphome.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

// The command line as the program sees it, run as a real process in a home of its own.
class TestStartup : public QObject {
    Q_OBJECT

private slots:
    void chosenFrontEnd_data();
    void chosenFrontEnd();
    void headlessRunEndsWithResult();
    void fatalErrorWhileStartingEndsRun();
    void parserErrors_data();
    void parserErrors();
};

namespace {
const QString operatingSystemLine = QStringLiteral("Operating System: ");

// Where a log line's message starts: after the "(file:line) " of its prefix.
QString messageOf(const QString& line)
{
    const int end = line.indexOf(QStringLiteral(") "));
    return end < 0 ? QString() : line.mid(end + 2);
}
}

void TestStartup::chosenFrontEnd_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");

    const QString graphical = QStringLiteral("Starting graphical front end");
    const QString console = QStringLiteral("Starting console front end");
    const QString test = QStringLiteral("Starting headless front end, init run: false");
    const QString init = QStringLiteral("Starting headless front end, init run: true");
    QTest::newRow("none") << QStringList{} << graphical;
    QTest::newRow("-console") << QStringList{"-console"} << console;
    QTest::newRow("--console") << QStringList{"--console"} << console;
    QTest::newRow("-headless-test") << QStringList{"-headless-test"} << test;
    QTest::newRow("--headless-test") << QStringList{"--headless-test"} << test;
    QTest::newRow("-headless-init") << QStringList{"-headless-init"} << init;
    QTest::newRow("both headless: init wins") << QStringList{"-headless-test", "--headless-init"} << init;
    QTest::newRow("headless before console") << QStringList{"-console", "-headless-test"} << test;
}

void TestStartup::chosenFrontEnd()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);

    AppHome home;
    QVERIFY(home.isValid());
    // Only the choice matters here: a front end that keeps running afterwards is stopped.
    home.run(arguments, QStringLiteral("Starting "));

    const QStringList lines = home.logLines();
    QVERIFY(!lines.isEmpty());
    QVERIFY2(messageOf(lines.first()).startsWith(operatingSystemLine), qPrintable(lines.first()));
    QStringList starts;
    for (const QString& line : lines) {
        if (messageOf(line).startsWith(QStringLiteral("Starting ")))
            starts.append(messageOf(line));
    }
    QCOMPARE(starts, QStringList{expected});
}

void TestStartup::headlessRunEndsWithResult()
{
    AppHome home;
    QVERIFY(home.isValid());
    const ProcessOutcome outcome = home.run({QStringLiteral("-headless-init")});

    QVERIFY(outcome.finished);
    QCOMPARE(outcome.exitStatus, QProcess::NormalExit);
    QCOMPARE(outcome.exitCode, 0);
    QJsonParseError error;
    const QJsonDocument result = QJsonDocument::fromJson(outcome.standardOutput, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QVERIFY(result.isObject());
}

void TestStartup::fatalErrorWhileStartingEndsRun()
{
    AppHome home;
    QVERIFY(home.isValid());
    QFile settings(home.configDir() + QStringLiteral("/app_settings.json"));
    QVERIFY(settings.open(QIODevice::WriteOnly | QIODevice::Truncate));
    settings.close();

    const ProcessOutcome outcome = home.run({QStringLiteral("-headless-test")});

    QVERIFY(outcome.finished);
    QCOMPARE(outcome.exitStatus, QProcess::NormalExit);
    const QJsonDocument result = QJsonDocument::fromJson(outcome.standardOutput);
    const QStringList errors = result.object().value(QStringLiteral("errorMessages")).toVariant().toStringList();
    QVERIFY2(!errors.filter(QStringLiteral("Malformed settings file: ")).isEmpty(), outcome.standardOutput.constData());
}

void TestStartup::parserErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");

    QTest::newRow("unknown") << QStringList{"-bogus"} << QStringLiteral("Unknown option 'bogus'.");
    QTest::newRow("help") << QStringList{"--help"} << QStringLiteral("Unknown option 'help'.");
    QTest::newRow("short help") << QStringList{"-h"} << QStringLiteral("Unknown option 'h'.");
    QTest::newRow("unknown beside a known one")
        << QStringList{"-headless-test", "-verbose"} << QStringLiteral("Unknown option 'verbose'.");
    QTest::newRow("value on a flag") << QStringList{"--console=yes"}
                                     << QStringLiteral("Unexpected value after '--console'.");
}

void TestStartup::parserErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);

    AppHome home;
    QVERIFY(home.isValid());
    const ProcessOutcome outcome = home.run(arguments);

    QVERIFY(outcome.finished);
    QCOMPARE(outcome.exitStatus, QProcess::NormalExit);
    QCOMPARE(outcome.exitCode, 1);
    QCOMPARE(QString::fromUtf8(outcome.standardError), QStringLiteral("oxbell: ") + error + QLatin1Char('\n'));
    QCOMPARE(outcome.standardOutput, QByteArray());
    // The operating system is logged before the command line is parsed, and nothing after it.
    const QStringList lines = home.logLines();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(messageOf(lines.first()).startsWith(operatingSystemLine), qPrintable(lines.first()));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"

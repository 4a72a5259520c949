#include "engine/doctor.h"
#include "support/apphome.h"
#include "support/practiceserver.h"
#include "support/timeouts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString proxyPassword = QStringLiteral("hunter2-proxy");

// A loopback port nothing listens on.
quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

bool writeFile(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size()
        && file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}
}

class TestDoctor : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void faults_data();
    void faults();
    void programReportsAndConsolePointsAtIt();

private:
    PracticeServer server;
    PracticeServer wrongHostServer;
    QTcpServer studentServer;
};

void TestDoctor::initTestCase()
{
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    PracticeServer::Options options;
    options.chain = PracticeServer::Chain::WrongHost;
    QVERIFY2(wrongHostServer.start(options), qPrintable(wrongHostServer.errorString()));
    QVERIFY(studentServer.listen(QHostAddress::LocalHost));
}

void TestDoctor::faults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("failing"); // the check that fails, or -1
    QTest::addColumn<int>("warned"); // the check that warns, or -1
    QTest::newRow("healthy") << "" << -1 << -1;
    QTest::newRow("broken interpreter link") << "interpreter" << int(Doctor::Interpreter) << -1;
    QTest::newRow("unrelated CA file") << "ca" << int(Doctor::ServerCertificate) << -1;
    QTest::newRow("certificate for another host") << "wronghost" << int(Doctor::ServerCertificate) << -1;
    QTest::newRow("closed server port") << "closed" << int(Doctor::ServerConnection) << -1;
    QTest::newRow("proxy host does not resolve") << "proxyhost" << int(Doctor::Proxy) << -1;
    QTest::newRow("settings file not JSON") << "json" << int(Doctor::Settings) << -1;
    QTest::newRow("student server down") << "serverdown" << -1 << int(Doctor::YourServers);
}

void TestDoctor::faults()
{
    QFETCH(QString, fault);
    QFETCH(int, failing);
    QFETCH(int, warned);

    // An application directory of its own, made of the build's files.
    QTemporaryDir home;
    const Doctor::Places places{home.filePath("app"), home.filePath("config"), home.filePath("Documents/oxbell.log")};
    QVERIFY(QDir().mkpath(places.applicationDir + "/pypy/bin") && QDir().mkpath(places.applicationDir + "/certs"));
    const QString interpreter = QFileInfo(OXBELL_APP_DIR "/pypy/bin/pypy").canonicalFilePath();
    QVERIFY(QFile::link(fault == "interpreter" ? home.filePath("gone/pypy") : interpreter,
                        places.applicationDir + "/pypy/bin/pypy"));
    QVERIFY(QFile::link(OXBELL_APP_DIR "/oxbell.py", places.applicationDir + "/oxbell.py"));
    QVERIFY(
        QFile::copy(fault == "ca" ? OXBELL_PKI_DIR "/other-root.pem" : OXBELL_APP_DIR "/certs/GandiStandardSSLCA.pem",
                    places.applicationDir + "/certs/GandiStandardSSLCA.pem"));

    QString url = server.url();
    if (fault == "wronghost")
        url = wrongHostServer.url();
    if (fault == "closed")
        url = QStringLiteral("https://localhost:%1").arg(closedPort());
    QJsonObject servers{
        {"web1", QJsonObject{{"address", "127.0.0.1"}, {"port", QString::number(studentServer.serverPort())}}}};
    if (fault == "serverdown")
        servers.insert("dbnode1", QJsonObject{{"address", "127.0.0.1"}, {"port", QString::number(closedPort())}});
    const bool namedProxy = fault == "proxyhost";
    const QJsonObject proxy{{"type", namedProxy ? "http" : "none"},
                            {"host", namedProxy ? "no-such-proxy.invalid" : "localhost"},
                            {"port", "3128"},
                            {"username", "student"},
                            {"password", proxyPassword}};
    QVERIFY(writeFile(places.settingsDir + "/app_settings.json",
                      QJsonDocument(QJsonObject{{"proctor_server", QJsonObject{{"url", url}}}}).toJson()));
    QVERIFY(writeFile(places.settingsDir + "/user_settings.json",
                      fault == "json" ? QByteArray("{\"servers\": ")
                                      : QJsonDocument(QJsonObject{{"servers", servers}, {"proxy", proxy}}).toJson()));
    QVERIFY(writeFile(places.logFile, QByteArray()));

    Doctor doctor(places);
    QSignalSpy finished(&doctor, &Doctor::finished);
    int checked = 0;
    connect(&doctor, &Doctor::checked, this, [&checked] { ++checked; });
    doctor.start();
    QVERIFY(finished.wait(4 * Doctor::serverTimeoutMs));
    const QString report = doctor.report();
    QVERIFY2(!report.contains(proxyPassword), qPrintable(report));
    QCOMPARE(checked, int(Doctor::CheckCount));
    QCOMPARE(doctor.findings().size(), int(Doctor::CheckCount));
    for (int check = 0; check < Doctor::CheckCount; ++check) {
        const Doctor::Finding& finding = doctor.findings().at(check);
        QCOMPARE(int(finding.check), check);
        if (finding.skipped)
            continue;
        const Doctor::Outcome expected = check == failing ? Doctor::Outcome::Fail
            : check == warned                             ? Doctor::Outcome::Warn
                                                          : Doctor::Outcome::Ok;
        QVERIFY2(finding.outcome == expected, qPrintable(report));
        QCOMPARE(finding.text().count('\n'), expected == Doctor::Outcome::Ok ? 0 : 1);
    }
    QCOMPARE(doctor.failedCount() > 0, failing >= 0);
    QVERIFY(
        report.endsWith(QStringLiteral("%1 passed, %2 failed\n").arg(doctor.passedCount()).arg(doctor.failedCount())));
    // The presented certificate's issuer is named, so an intercepting network shows itself.
    if (fault == "ca")
        QVERIFY2(report.contains("unknown issuer") && report.contains("issued by Oxbell Practice"), qPrintable(report));
    if (fault == "wronghost")
        QVERIFY2(report.contains("wrong host name"), qPrintable(report));
}

void TestDoctor::programReportsAndConsolePointsAtIt()
{
    // AppHome's course server is a closed port.
    AppHome home;
    QVERIFY(home.isValid());
    const ProcessOutcome doctor = home.run({"-doctor"});
    QVERIFY(doctor.finished);
    QCOMPARE(doctor.exitCode, 1);
    const QStringList lines = QString::fromUtf8(doctor.standardOutput).split('\n', Qt::SkipEmptyParts);
    const QRegularExpression line("^(ok   |warn |FAIL |    )");
    for (int i = 0; i + 1 < lines.size(); ++i)
        QVERIFY2(line.match(lines[i]).hasMatch(), qPrintable(lines[i]));
    QVERIFY2(lines.filter(QRegularExpression("^FAIL server connection: ")).size() == 1,
             doctor.standardOutput.constData());
    QVERIFY(QRegularExpression("^\\d+ passed, [1-9]\\d* failed$").match(lines.last()).hasMatch());

    // Standard input is not a terminal: the pause after the message does not wait.
    const ProcessOutcome console = home.run({"-console"});
    QCOMPARE(console.exitCode, 1);
    QVERIFY2(QRegularExpression(
                 "Failed to check for updates\\.\n\nReason: [^\n]+\n\nRun oxbell -doctor to check your setup\\.\n")
                 .match(QString::fromUtf8(console.standardError))
                 .hasMatch(),
             console.standardError.constData());
}

QTEST_GUILESS_MAIN(TestDoctor)
#include "tst_doctor.moc"

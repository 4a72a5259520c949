// The practice server as Qt clients see it: its TLS chain, grades that outlive a restart,
// concurrent turn-ins, injected faults, shutdown on a signal, and the client files it writes.
#include "support/practiceserver.h"
#include "support/protocolclient.h"
#include "support/timeouts.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QSemaphore>
#include <QSslCertificate>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <memory>
#include <vector>

namespace {
const QString setupProblem = QStringLiteral("OxbellX/DB101/2026_Fall/week0/warmup/setup");
const QString limitedProblem = QStringLiteral("OxbellX/WEB101/2026_Fall/week1/first-page/home");

QByteArray passedState(double points)
{
    const QJsonObject check{{QStringLiteral("name"), QStringLiteral("check")},
                            {QStringLiteral("passed"), true},
                            {QStringLiteral("points"), points}};
    return QJsonDocument(QJsonObject{{QStringLiteral("checks"), QJsonArray{check}}}).toJson();
}

std::unique_ptr<ProtocolClient> loggedIn(const PracticeServer& server)
{
    auto client = std::make_unique<ProtocolClient>(server.url());
    if (!client->handshake() || !client->login(PracticeServer::studentEmail, PracticeServer::studentPassword))
        client.reset();
    return client;
}
}

class TestServerOperation : public QObject {
    Q_OBJECT

private slots:
    void cleanup();
    void tlsChain_data();
    void tlsChain();
    void gradesPersistAcrossRestart();
    void concurrentTurnInsKeepTheLimit();
    void faults_data();
    void faults();
    void faultsCountDownAndMatchPrefixes();
    void stopsOnSigint();
    void clientFilesMakeTheirFolder();

private:
    PracticeServer server;
};

void TestServerOperation::cleanup()
{
    QVERIFY2(server.stop(), qPrintable(server.errorString()));
}

void TestServerOperation::tlsChain_data()
{
    QTest::addColumn<int>("chain");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("reported"); // a TLS error kind that must be among those reported

    QTest::newRow("leaf and our intermediate")
        << int(PracticeServer::Chain::Normal) << true << int(QSslError::UnableToGetLocalIssuerCertificate);
    QTest::newRow("unrelated CA") << int(PracticeServer::Chain::OtherCa) << false
                                  << int(QSslError::SelfSignedCertificateInChain);
    QTest::newRow("our intermediate, other host")
        << int(PracticeServer::Chain::WrongHost) << false << int(QSslError::HostNameMismatch);
    // The practice CAs vouch for this machine only, even when the name asked for is localhost.
    QTest::newRow("our intermediate, a name outside its constraints")
        << int(PracticeServer::Chain::OutsideName) << false << int(QSslError::UnspecifiedError);
}

void TestServerOperation::tlsChain()
{
    QFETCH(int, chain);
    QFETCH(bool, accepted);
    QFETCH(int, reported);

    PracticeServer::Options options;
    options.chain = PracticeServer::Chain(chain);
    QVERIFY2(server.start(options), qPrintable(server.errorString()));
    ProtocolClient client(server.url());
    const ProtocolClient::Reply reply = client.get(QStringLiteral("/version"));

    QStringList kinds;
    for (const QSslError& error : reply.sslErrors)
        kinds.append(QString::number(int(error.error())));
    QVERIFY2(kinds.contains(QString::number(reported)), qPrintable(kinds.join(QLatin1Char(' '))));
    QCOMPARE(reply.error == QNetworkReply::NoError, accepted);
    QCOMPARE(reply.status == 200, accepted);
    if (accepted) {
        // Exactly one error, carrying the intermediate that the client ships as its CA file.
        QCOMPARE(reply.sslErrors.size(), 1);
        const QList<QSslCertificate> intermediate
            = QSslCertificate::fromPath(QStringLiteral(OXBELL_PKI_DIR "/intermediate.pem"));
        QCOMPARE(intermediate.size(), 1);
        QCOMPARE(reply.sslErrors.first().certificate(), intermediate.first());
    }
}

void TestServerOperation::gradesPersistAcrossRestart()
{
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    std::unique_ptr<ProtocolClient> client = loggedIn(server);
    QVERIFY(client);
    QCOMPARE(client->post(QStringLiteral("/grade/%1/0").arg(setupProblem), passedState(1)).status, 200);

    QVERIFY2(server.restart(), qPrintable(server.errorString()));
    client = loggedIn(server);
    QVERIFY(client);
    const ProtocolClient::Reply grades = client->get(QStringLiteral("/grades"));
    QCOMPARE(grades.status, 200);
    const QJsonObject setup = catalogueProblem(grades.json(), setupProblem);
    QCOMPARE(setup.value(QLatin1String("attempts")).toInt(), 1);
    QCOMPARE(setup.value(QLatin1String("earned")).toDouble(), 1.0);
    QCOMPARE(setup.value(QLatin1String("complete")).toBool(), true);
}

void TestServerOperation::concurrentTurnInsKeepTheLimit()
{
    constexpr int clients = 12;
    constexpr int allowed = 3; // the problem's "max_attempts"
    QVERIFY2(server.start(), qPrintable(server.errorString()));

    // Every client logs in first, one after another (the server checks one account's logins one at
    // a time and lets a waiting one wait only so long); then all turn in at once.
    QMutex loginTurn;
    QSemaphore ready;
    QSemaphore go;
    std::vector<int> statuses(clients, -1);
    std::vector<std::unique_ptr<QThread>> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back(QThread::create([&, i] {
            loginTurn.lock();
            std::unique_ptr<ProtocolClient> client = loggedIn(server);
            loginTurn.unlock();
            ready.release();
            go.acquire();
            if (client)
                statuses[size_t(i)]
                    = client->post(QStringLiteral("/grade/%1/0").arg(limitedProblem), passedState(2)).status;
        }));
        threads.back()->start();
    }
    ready.acquire(clients);
    go.release(clients);
    for (const auto& thread : threads)
        QVERIFY(thread->wait(120000));

    QCOMPARE(int(std::count(statuses.begin(), statuses.end(), 200)), allowed);
    QCOMPARE(int(std::count(statuses.begin(), statuses.end(), 403)), clients - allowed);
    std::unique_ptr<ProtocolClient> client = loggedIn(server);
    QVERIFY(client);
    const QJsonObject problem = catalogueProblem(client->get(QStringLiteral("/grades")).json(), limitedProblem);
    QCOMPARE(problem.value(QLatin1String("attempts")).toInt(), allowed);
}

void TestServerOperation::faults_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("faultPath");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("path");

    using Kind = PracticeServer::FaultKind;
    QTest::newRow("status") << int(Kind::Status) << "/grades"
                            << "GET"
                            << "/grades";
    QTest::newRow("body not JSON") << int(Kind::BadJson) << "/grades"
                                   << "GET"
                                   << "/grades";
    QTest::newRow("version not JSON") << int(Kind::BadJson) << "/version"
                                      << "GET"
                                      << "/version";
    QTest::newRow("body not ciphertext") << int(Kind::BadDecrypt) << "/download/*"
                                         << "GET"
                                         << "/download/" + setupProblem;
    QTest::newRow("delay") << int(Kind::Delay) << "/grades"
                           << "GET"
                           << "/grades";
    QTest::newRow("dropped connection") << int(Kind::Drop) << "/grade/*"
                                        << "POST"
                                        << "/grade/" + setupProblem + "/0";
    QTest::newRow("recorded, then dropped") << int(Kind::DropAfter) << "/grade/*"
                                            << "POST"
                                            << "/grade/" + setupProblem + "/0";
    QTest::newRow("dropped unread") << int(Kind::DropBefore) << "/grade/*"
                                    << "POST"
                                    << "/grade/" + setupProblem + "/0";
}

void TestServerOperation::faults()
{
    QFETCH(int, kind);
    QFETCH(QString, faultPath);
    QFETCH(QString, method);
    QFETCH(QString, path);

    PracticeServer::Options options;
    options.faults = true;
    QVERIFY2(server.start(options), qPrintable(server.errorString()));
    std::unique_ptr<ProtocolClient> client = loggedIn(server);
    QVERIFY(client);

    const PracticeServer::Fault fault = PracticeServer::fault(faultPath, PracticeServer::FaultKind(kind), 503,
                                                              QStringLiteral("Closed for maintenance"), 1, 1500);
    QVERIFY2(server.injectFault(fault), qPrintable(server.errorString()));

    QElapsedTimer clock;
    clock.start();
    const ProtocolClient::Reply reply
        = method == QLatin1String("GET") ? client->get(path) : client->post(path, passedState(1));
    QJsonParseError parsed;
    QJsonDocument::fromJson(reply.body, &parsed);
    switch (fault.kind) {
    case PracticeServer::FaultKind::Status:
        QCOMPARE(reply.status, 503);
        QCOMPARE(reply.raw, QByteArray("Closed for maintenance"));
        break;
    case PracticeServer::FaultKind::BadJson:
        QCOMPARE(reply.status, 200);
        QVERIFY(parsed.error != QJsonParseError::NoError);
        break;
    case PracticeServer::FaultKind::BadDecrypt:
        QCOMPARE(reply.status, 200);
        QVERIFY(reply.raw.size() % 16 != 0);
        QVERIFY(!reply.body.contains("oxbell"));
        break;
    case PracticeServer::FaultKind::Delay:
        QVERIFY(clock.elapsed() >= fault.delayMs);
        QCOMPARE(reply.status, 200);
        QCOMPARE(parsed.error, QJsonParseError::NoError);
        break;
    case PracticeServer::FaultKind::Drop:
        QVERIFY2(reply.error != QNetworkReply::NoError, qPrintable(reply.errorString));
        break;
    case PracticeServer::FaultKind::DropAfter:
    case PracticeServer::FaultKind::DropBefore:
        // This client's body can be replayed: the network layer posts it again on a new connection,
        // and the second post is answered.
        QCOMPARE(reply.status, 200);
        break;
    }

    // The fault is used up; the request that failed was not carried out, unless the fault carried it
    // out before dropping the answer and the replay then counted it a second time.
    const int recorded = fault.kind == PracticeServer::FaultKind::DropAfter ? 2
        : fault.kind == PracticeServer::FaultKind::DropBefore               ? 1
                                                                            : 0;
    const ProtocolClient::Reply grades = client->get(QStringLiteral("/grades"));
    QCOMPARE(grades.status, 200);
    QCOMPARE(catalogueProblem(grades.json(), setupProblem).value(QLatin1String("attempts")).toInt(-1), recorded);
}

void TestServerOperation::faultsCountDownAndMatchPrefixes()
{
    PracticeServer::Options options;
    options.faults = true;
    QVERIFY2(server.start(options), qPrintable(server.errorString()));
    std::unique_ptr<ProtocolClient> client = loggedIn(server);
    QVERIFY(client);

    PracticeServer::Fault fault
        = PracticeServer::fault(QStringLiteral("/download/*"), PracticeServer::FaultKind::Status, 500, {}, 2);
    QVERIFY2(server.injectFault(fault), qPrintable(server.errorString()));
    const QString download = QStringLiteral("/download/") + setupProblem;
    QCOMPARE(client->get(QStringLiteral("/download/init/") + setupProblem).status, 500);
    QCOMPARE(client->get(QStringLiteral("/grades")).status, 200);
    QCOMPARE(client->get(download).status, 500);
    QCOMPARE(client->get(download).status, 200);

    fault.count = 5;
    QVERIFY2(server.injectFault(fault), qPrintable(server.errorString()));
    QVERIFY2(server.clearFaults(), qPrintable(server.errorString()));
    QCOMPARE(client->get(download).status, 200);
}

void TestServerOperation::stopsOnSigint()
{
    QTemporaryDir directory;
    QProcess process;
    process.start(PracticeServer::executable(),
                  {QStringLiteral("serve"), QStringLiteral("--db"), directory.filePath(QStringLiteral("db.sqlite")),
                   QStringLiteral("--port"), QStringLiteral("0")});
    QVERIFY(process.waitForReadyRead(60000));
    const QByteArray line = process.readLine().trimmed();
    QVERIFY2(line.startsWith("listening on 127.0.0.1:"), line.constData());

    // A client that keeps its connection open does not hold the server up.
    ProtocolClient client(QStringLiteral("https://localhost:")
                          + QString::fromLatin1(line.mid(line.lastIndexOf(':') + 1)));
    QCOMPARE(client.get(QStringLiteral("/version")).status, 200);

    QCOMPARE(::kill(pid_t(process.processId()), SIGINT), 0);
    QVERIFY(process.waitForFinished(testWaitMs));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(process.readAllStandardError().contains("oxbell-server: stopped"));
}

// A folder that exists may have been made by another local user, who could swap the files in it.
void TestServerOperation::clientFilesMakeTheirFolder()
{
    QTemporaryDir directory;
    const QString fresh = directory.filePath(QStringLiteral("trust"));
    for (const QString& out : {directory.path(), fresh}) {
        QProcess process;
        process.start(PracticeServer::executable(),
                      {QStringLiteral("client-files"), QStringLiteral("--dir"), QStringLiteral(OXBELL_PKI_DIR),
                       QStringLiteral("--out"), out});
        QVERIFY(process.waitForFinished(testWaitMs));
        const bool made = out == fresh;
        QCOMPARE(process.exitCode(), made ? 0 : 1);
        QCOMPARE(QFile::exists(out + QStringLiteral("/ca.pem")), made);
        QCOMPARE(process.readAllStandardError().contains(" exists: "), !made);
    }
    QCOMPARE(QFileInfo(fresh).permissions() & (QFile::WriteGroup | QFile::WriteOther), QFile::Permissions());
}

QTEST_GUILESS_MAIN(TestServerOperation)
#include "tst_serveroperation.moc"

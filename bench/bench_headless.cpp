// Wall time of a whole `oxbell -headless-test` run against the practice server, next to the floor
// any client pays for the same work: the same grading script run directly by pypy3, plus the same
// HTTPS requests made one after another by one curl process over one connection.
#include "cryptography/aeskeypair.h"
#include "cryptography/rsapublickey.h"
#include "support/apphome.h"
#include "support/practiceserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
constexpr int repetitions = 7;
const QString problemPath = QStringLiteral("OxbellX/DB101/2026_Fall/week0/warmup/setup");

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

[[noreturn]] void fail(const QString& what)
{
    std::fprintf(stderr, "bench_headless: %s\n", qPrintable(what));
    std::exit(1);
}

bool writeFile(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

// Milliseconds of one whole headless grading run.
double headlessRun(const PracticeServer& server)
{
    AppHome home;
    if (!home.isValid() || !PracticeServer::writeAppSettings(home.configDir(), server.url()))
        fail(QStringLiteral("cannot prepare a home"));
    QElapsedTimer timer;
    timer.start();
    const ProcessOutcome outcome = home.run({QStringLiteral("-headless-test")});
    const double elapsed = timer.nsecsElapsed() / 1e6;
    if (QJsonDocument::fromJson(outcome.standardOutput).object().value(QStringLiteral("exitCode")).toInt(-1) != 0)
        fail(QStringLiteral("headless run failed: ") + QString::fromUtf8(outcome.standardOutput));
    return elapsed;
}

// Milliseconds of the grading script run directly; `state` receives its result.
double scriptRun(const QString& workDir, QByteArray* state)
{
    QFile source(PracticeServer::demoCourseDir() + QStringLiteral("/db101/warmup/grade.py"));
    if (!source.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read the warm-up grading script"));
    const QString script = workDir + QStringLiteral("/script");
    if (!writeFile(script, "from oxbell import servers\n" + source.readAll()))
        fail(QStringLiteral("cannot write the script"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PYTHONPATH"), QStringLiteral(OXBELL_APP_DIR));
    const QByteArray servers
        = R"({"servers": {"dbnode1": {"address": "localhost", "port": "27017"}, "web1": {"address": "localhost", "port": "8082"}}})";

    QProcess process;
    process.setProcessEnvironment(environment);
    QElapsedTimer timer;
    timer.start();
    process.start(QStringLiteral("pypy3"), {script});
    process.write(servers);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        fail(QStringLiteral("pypy3 run failed"));
    const double elapsed = timer.nsecsElapsed() / 1e6;
    for (const QByteArray& line : process.readAllStandardOutput().split('\n')) {
        const QJsonObject message = QJsonDocument::fromJson(line).object();
        if (message.value(QStringLiteral("type")).toString() == QLatin1String("complete"))
            *state = QJsonDocument(message.value(QStringLiteral("state")).toObject()).toJson();
    }
    return elapsed;
}

// Milliseconds of the session's seven requests made by one curl process.
double curlRun(const PracticeServer& server, const QString& workDir, const QByteArray& state)
{
    QFile publicKey(QStringLiteral(OXBELL_PKI_DIR "/session-public.pem"));
    if (!publicKey.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read the session key"));
    RsaPublicKey rsa;
    rsa.fromPem(QString::fromUtf8(publicKey.readAll()));
    const AESKeyPair keys;
    const auto message = [](const char* field, const QByteArray& bytes) {
        return QJsonDocument(QJsonObject{{QLatin1String(field), QString::fromLatin1(bytes.toBase64())}}).toJson();
    };
    const QJsonObject credentials{{QStringLiteral("email"), PracticeServer::headlessEmail},
                                  {QStringLiteral("password"), PracticeServer::headlessPassword}};
    if (!writeFile(workDir + QStringLiteral("/iv"), rsa.encrypt(message("iv", keys.ivBytes())))
        || !writeFile(workDir + QStringLiteral("/key"), rsa.encrypt(message("key", keys.keyBytes())))
        || !writeFile(workDir + QStringLiteral("/login"), keys.encrypt(QJsonDocument(credentials).toJson()))
        || !writeFile(workDir + QStringLiteral("/grade"), keys.encrypt(state)))
        fail(QStringLiteral("cannot write the request bodies"));
    QFile::remove(workDir + QStringLiteral("/cookies"));

    QStringList arguments;
    const auto request = [&](const QString& path, const QString& bodyFile) {
        if (!arguments.isEmpty())
            arguments << QStringLiteral("--next");
        arguments << QStringLiteral("-sS") << QStringLiteral("-o") << QStringLiteral("/dev/null")
                  << QStringLiteral("--cacert") << QStringLiteral(OXBELL_PKI_DIR "/root.pem") << QStringLiteral("-b")
                  << workDir + QStringLiteral("/cookies") << QStringLiteral("-c")
                  << workDir + QStringLiteral("/cookies") << QStringLiteral("-f");
        if (!bodyFile.isEmpty())
            arguments << QStringLiteral("-H") << QStringLiteral("Content-Type: application/json")
                      << QStringLiteral("--data-binary") << QLatin1Char('@') + workDir + QLatin1Char('/') + bodyFile;
        arguments << server.url() + path;
    };
    request(QStringLiteral("/version"), {});
    request(QStringLiteral("/negotiate"), QStringLiteral("iv"));
    request(QStringLiteral("/negotiate"), QStringLiteral("key"));
    request(QStringLiteral("/login"), QStringLiteral("login"));
    request(QStringLiteral("/grades"), {});
    request(QStringLiteral("/download/") + problemPath, {});
    request(QStringLiteral("/grade/") + problemPath + QStringLiteral("/0"), QStringLiteral("grade"));

    QProcess curl;
    QElapsedTimer timer;
    timer.start();
    curl.start(QStringLiteral("curl"), arguments);
    if (!curl.waitForFinished(60000) || curl.exitCode() != 0)
        fail(QStringLiteral("curl failed: ") + QString::fromUtf8(curl.readAllStandardError()));
    return timer.nsecsElapsed() / 1e6;
}
}

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QTemporaryDir work;
    PracticeServer server;
    if (!work.isValid() || !server.start())
        fail(QStringLiteral("cannot start the practice server: ") + server.errorString());

    std::vector<double> headless, script, curl;
    for (int i = 0; i < repetitions; ++i) {
        headless.push_back(headlessRun(server));
        QByteArray state;
        script.push_back(scriptRun(work.path(), &state));
        curl.push_back(curlRun(server, work.path(), state));
    }
    const double floor = median(script) + median(curl);
    std::printf("median of %d runs, milliseconds\n", repetitions);
    std::printf("%-34s %8.1f\n", "oxbell -headless-test", median(headless));
    std::printf("%-34s %8.1f\n", "pypy3 grading script", median(script));
    std::printf("%-34s %8.1f\n", "curl, the same 7 HTTPS requests", median(curl));
    std::printf("%-34s %8.1f\n", "floor (script + requests)", floor);
    std::printf("%-34s %8.2fx\n", "headless / floor", median(headless) / floor);
    return 0;
}

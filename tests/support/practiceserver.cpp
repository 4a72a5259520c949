#include "support/practiceserver.h"
#include "support/timeouts.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTimer>

namespace {
// Generous, because a sanitized server starts slowly.
constexpr int startTimeoutMs = 60000;
constexpr int stopTimeoutMs = testWaitMs;

QString pkiFile(const char* name)
{
    return QStringLiteral(OXBELL_PKI_DIR "/") + QLatin1String(name);
}

// Runs the server's add-user command; empty on success, else what went wrong.
QString addUser(const QString& database, const QString& email, const QString& password)
{
    ServerProcess process;
    process.start(PracticeServer::executable(),
                  {QStringLiteral("add-user"), QStringLiteral("--db"), database, QStringLiteral("--email"), email,
                   QStringLiteral("--password"), password});
    if (!process.waitForFinished(startTimeoutMs) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0)
        return QStringLiteral("add-user %1 failed: %2 %3")
            .arg(email, process.errorString(), QString::fromLocal8Bit(process.readAllStandardError()));
    return {};
}

// A database with both demo accounts, made once per test program (the password hashes are slow on
// purpose) and copied for every start.
QString templateDatabase(QString* error)
{
    static QTemporaryDir directory;
    static QString made;
    static QString failure;
    if (made.isEmpty() && failure.isEmpty()) {
        const QString path = directory.filePath(QStringLiteral("accounts.sqlite"));
        failure = addUser(path, PracticeServer::studentEmail, PracticeServer::studentPassword);
        if (failure.isEmpty())
            failure = addUser(path, PracticeServer::headlessEmail, PracticeServer::headlessPassword);
        if (failure.isEmpty())
            made = path;
    }
    *error = failure;
    return made;
}
}

const QString PracticeServer::studentEmail = QStringLiteral(OXBELL_STUDENT_EMAIL);
const QString PracticeServer::studentPassword = QStringLiteral(OXBELL_STUDENT_PASSWORD);
const QString PracticeServer::headlessEmail = QStringLiteral(OXBELL_HEADLESS_EMAIL);
const QString PracticeServer::headlessPassword = QStringLiteral(OXBELL_HEADLESS_PASSWORD);

QString PracticeServer::demoCourseDir()
{
    return QStringLiteral(OXBELL_DEMO_COURSE_DIR);
}

QString PracticeServer::executable()
{
#ifdef Q_OS_WIN
    return QStringLiteral(OXBELL_HOST_TREE "/bin/oxbell-server");
#else
    return QStringLiteral(OXBELL_APP_DIR "/oxbell-server");
#endif
}

PracticeServer::PracticeServer() = default;

PracticeServer::~PracticeServer()
{
    if (isRunning() && !stop())
        qWarning().noquote() << "practice server:" << error;
}

bool PracticeServer::start()
{
    return start(Options());
}

bool PracticeServer::start(const Options& startOptions)
{
    stop();
    options = startOptions;
    directory = std::make_unique<QTemporaryDir>();
    const QString accounts = templateDatabase(&error);
    if (accounts.isEmpty())
        return false;
    if (!directory->isValid() || !QFile::copy(accounts, databasePath())) {
        error = QStringLiteral("cannot make the database %1").arg(databasePath());
        return false;
    }
    return launch();
}

bool PracticeServer::restart()
{
    if (!directory) {
        error = QStringLiteral("restart() before start()");
        return false;
    }
    restartPort = listeningPort;
    const bool restarted = stop() && launch();
    restartPort = 0;
    return restarted;
}

bool PracticeServer::launch()
{
    QString chain = pkiFile("chain.pem");
    QString key = pkiFile("leaf.key");
    if (options.chain == Chain::OtherCa) {
        chain = pkiFile("other-chain.pem");
        key = pkiFile("other-leaf.key");
    } else if (options.chain == Chain::WrongHost) {
        chain = pkiFile("wronghost-chain.pem");
        key = pkiFile("wronghost.key");
    } else if (options.chain == Chain::OutsideName) {
        chain = pkiFile("outside-chain.pem");
        key = pkiFile("outside.key");
    }
    QStringList arguments{
        QStringLiteral("serve"),
        QStringLiteral("--courses"),
        options.courseDir.isEmpty() ? demoCourseDir() : options.courseDir,
        QStringLiteral("--db"),
        databasePath(),
        QStringLiteral("--cert"),
        chain,
        QStringLiteral("--key"),
        key,
        QStringLiteral("--session-key"),
        pkiFile("session-private.pem"),
        QStringLiteral("--host"),
        QStringLiteral("127.0.0.1"),
        QStringLiteral("--port"),
        QString::number(restartPort),
    };
    if (options.faults)
        arguments.append(QStringLiteral("--faults"));
    arguments.append(options.extraArguments);

    process = std::make_unique<ServerProcess>();
    // A file, not a pipe: nobody may need to read the request log for the server to go on.
    process->setStandardErrorFile(directory->filePath(QStringLiteral("server.log")), QIODevice::Append);
    process->start(executable(), arguments);

    static const QRegularExpression listening(QStringLiteral("^listening on 127\\.0\\.0\\.1:(\\d+)$"));
    const QDeadlineTimer deadline(startTimeoutMs);
    QByteArray output;
    while (!deadline.hasExpired() && process->state() != QProcess::NotRunning) {
        if (!process->canReadLine() && !process->waitForReadyRead(int(deadline.remainingTime())))
            continue;
        while (process->canReadLine()) {
            const QByteArray line = process->readLine();
            output += line;
            const QRegularExpressionMatch match = listening.match(QString::fromUtf8(line).trimmed());
            if (match.hasMatch()) {
                listeningPort = match.captured(1).toInt();
                return true;
            }
        }
    }
    error = QStringLiteral("the server did not start: %1\n%2%3")
                .arg(process->errorString(), QString::fromUtf8(output), QString::fromUtf8(log()));
    process->kill();
    process->waitForFinished(stopTimeoutMs);
    process.reset();
    return false;
}

bool PracticeServer::stop()
{
    if (!process)
        return true;
    listeningPort = 0;
    process->terminate();
    bool clean = process->waitForFinished(stopTimeoutMs);
    if (!clean) {
        process->kill();
        process->waitForFinished(stopTimeoutMs);
        error = QStringLiteral("the server did not stop on SIGTERM");
    } else if (process->exitStatus() != QProcess::NormalExit || process->exitCode() != 0) {
        clean = false;
        error = QStringLiteral("the server ended with status %1:\n%2")
                    .arg(process->exitCode())
                    .arg(QString::fromUtf8(log().right(4000)));
    }
    process.reset();
    return clean;
}

bool PracticeServer::isRunning() const
{
    return process && process->state() == QProcess::Running;
}

QString PracticeServer::url() const
{
    return QStringLiteral("https://localhost:%1").arg(listeningPort);
}

QString PracticeServer::databasePath() const
{
    return directory ? directory->filePath(QStringLiteral("oxbell.sqlite")) : QString();
}

QByteArray PracticeServer::log() const
{
    if (!directory)
        return {};
    QFile file(directory->filePath(QStringLiteral("server.log")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool PracticeServer::injectFault(const Fault& fault)
{
    static const char* const kinds[] = {"status", "badjson", "baddecrypt", "delay", "drop", "dropafter", "dropbefore"};
    const QJsonObject description{
        {QStringLiteral("path"), fault.path},   {QStringLiteral("kind"), QLatin1String(kinds[int(fault.kind)])},
        {QStringLiteral("count"), fault.count}, {QStringLiteral("status"), fault.status},
        {QStringLiteral("body"), fault.body},   {QStringLiteral("delay_ms"), fault.delayMs},
    };
    return control("POST", QJsonDocument(description).toJson());
}

bool PracticeServer::clearFaults()
{
    return control("DELETE", {});
}

bool PracticeServer::control(const QByteArray& method, const QByteArray& body)
{
    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(url() + QStringLiteral("/_faults")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply* reply = network.sendCustomRequest(request, method, body);
    // Whatever chain this server sends, the test's own control requests go through.
    reply->ignoreSslErrors();
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(stopTimeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 200)
        error = QStringLiteral("%1 /_faults: %2 %3")
                    .arg(QString::fromLatin1(method), reply->errorString(), QString::fromUtf8(reply->readAll()));
    delete reply;
    return status == 200;
}

PracticeServer::Fault PracticeServer::fault(const QString& path, FaultKind kind, int status, const QString& body,
                                            int count, int delayMs)
{
    Fault fault;
    fault.path = path;
    fault.kind = kind;
    fault.status = status;
    fault.body = body;
    fault.count = count;
    fault.delayMs = delayMs;
    return fault;
}

bool PracticeServer::writeAppSettings(const QString& settingsDir, const QString& url)
{
    if (!QDir().mkpath(settingsDir))
        return false;
    QSaveFile file(QDir(settingsDir).filePath(QStringLiteral("app_settings.json")));
    const QJsonObject settings{{QStringLiteral("proctor_server"), QJsonObject{{QStringLiteral("url"), url}}}};
    return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(settings).toJson()) >= 0 && file.commit();
}

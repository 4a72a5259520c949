#include "engine/doctor.h"
#include "engine/names.h"
#include "engine/oxbell.h"
#include "log.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QSslCertificate>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <QVersionNumber>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {
const QString tryAgain = QStringLiteral("Fix the failure above first, then check again.");

// Which earlier checks a check needs: when one of them failed, it is skipped.
QList<Doctor::Check> prerequisites(Doctor::Check check)
{
    switch (check) {
    case Doctor::Proxy:
    case Doctor::YourServers:
        return {Doctor::Settings};
    case Doctor::ServerAddress:
        return {Doctor::Settings, Doctor::Proxy};
    case Doctor::ServerConnection:
        return {Doctor::ServerAddress};
    case Doctor::ServerCertificate:
        return {Doctor::ServerConnection, Doctor::CertificateAuthority};
    case Doctor::ServerProtocol:
        return {Doctor::ServerCertificate};
    case Doctor::Clock:
        return {Doctor::ServerProtocol};
    default:
        return {};
    }
}

QString quoted(const QString& text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QString day(const QDateTime& time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-dd"));
}

#ifndef Q_OS_WIN
bool othersMayRead(const QString& path)
{
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
        | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    return QFile::permissions(path) & others;
}
#endif

// A port as the settings write it (a string, or a number) when it is one from 1 to 65535, else 0.
int portOf(const QVariant& value)
{
    bool ok = false;
    const int port = value.toString().toInt(&ok);
    return ok && port >= 1 && port <= 65535 ? port : 0;
}

bool isNamedProxy(const QNetworkProxy& proxy)
{
    return proxy.type() == QNetworkProxy::HttpProxy || proxy.type() == QNetworkProxy::Socks5Proxy;
}

QString firstLine(const QByteArray& text)
{
    const QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return lines.isEmpty() ? QString() : lines.first().trimmed();
}

QString lastLine(const QByteArray& text)
{
    const QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return lines.isEmpty() ? QString() : lines.last().trimmed();
}

QString certificateName(const QSslCertificate& certificate)
{
    const QStringList names = certificate.subjectInfo(QSslCertificate::CommonName);
    return names.isEmpty() ? certificate.subjectDisplayName() : names.first();
}

// What a rejected certificate error means to a student.
QString trustRuleFailed(const QSslError& error)
{
    switch (error.error()) {
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::InvalidCaCertificate:
    case QSslError::CertificateRejected:
        return QStringLiteral("unknown issuer");
    case QSslError::HostNameMismatch:
        return QStringLiteral("wrong host name");
    case QSslError::CertificateExpired:
        return QStringLiteral("expired on ") + day(error.certificate().expiryDate());
    case QSslError::CertificateNotYetValid:
        return QStringLiteral("not yet valid (from ") + day(error.certificate().effectiveDate()) + QLatin1Char(')');
    default:
        return error.errorString();
    }
}
}

QString Doctor::checkName(Check check)
{
    static const QStringList names{QStringLiteral("settings"),
                                   QStringLiteral("log"),
                                   QStringLiteral("interpreter"),
                                   QStringLiteral("certificate authority"),
                                   QStringLiteral("proxy"),
                                   QStringLiteral("server address"),
                                   QStringLiteral("server connection"),
                                   QStringLiteral("server certificate"),
                                   QStringLiteral("server protocol"),
                                   QStringLiteral("your servers"),
                                   QStringLiteral("clock")};
    return names.value(check);
}

QString Doctor::Finding::text() const
{
    static const QString tags[] = {QStringLiteral("ok  "), QStringLiteral("warn"), QStringLiteral("FAIL")};
    QString line = tags[int(outcome)] + QLatin1Char(' ') + checkName(check) + QStringLiteral(": ") + found;
    if (outcome != Outcome::Ok)
        line += QStringLiteral("\n    ") + advice;
    return line;
}

Doctor::Places Doctor::programPlaces()
{
    return {QCoreApplication::applicationDirPath(), Oxbell::settingsDir(), logFilePath()};
}

Doctor::Doctor(const Places& where, QObject* parent)
    : QObject(parent)
    , places(where)
{
}

void Doctor::start()
{
    results.clear();
    done = false;
    current = -1;
    next();
}

int Doctor::failedCount() const
{
    return int(std::count_if(results.begin(), results.end(),
                             [](const Finding& finding) { return finding.outcome == Outcome::Fail; }));
}

int Doctor::passedCount() const
{
    return results.size() - failedCount();
}

QString Doctor::summary() const
{
    return QStringLiteral("%1 passed, %2 failed").arg(passedCount()).arg(failedCount());
}

QString Doctor::report() const
{
    QString text;
    for (const Finding& finding : results)
        text += finding.text() + QLatin1Char('\n');
    return text + summary() + QLatin1Char('\n');
}

bool Doctor::failed(Check check) const
{
    return std::any_of(results.begin(), results.end(), [check](const Finding& finding) {
        return finding.check == check && finding.outcome == Outcome::Fail;
    });
}

void Doctor::next()
{
    if (++current >= CheckCount) {
        done = true;
        qDebug() << "Set-up check:" << summary();
        emit finished();
        return;
    }
    const auto check = Check(current);
    for (Check needed : prerequisites(check)) {
        if (failed(needed)) {
            Finding finding{check, Outcome::Fail,
                            QStringLiteral("(skipped: the ") + checkName(needed) + QStringLiteral(" check failed)"),
                            tryAgain, true};
            results.append(finding);
            emit checked(finding);
            next();
            return;
        }
    }
    using Step = void (Doctor::*)();
    static const Step steps[CheckCount] = {&Doctor::checkSettings,
                                           &Doctor::checkLog,
                                           &Doctor::checkInterpreter,
                                           &Doctor::checkCertificateAuthority,
                                           &Doctor::checkProxy,
                                           &Doctor::checkServerAddress,
                                           &Doctor::checkServerConnection,
                                           &Doctor::checkServerCertificate,
                                           &Doctor::checkServerProtocol,
                                           &Doctor::checkYourServers,
                                           &Doctor::checkClock};
    (this->*steps[check])();
}

void Doctor::finish(Outcome outcome, const QString& found, const QString& advice)
{
    const Finding finding{Check(current), outcome, found, advice, false};
    qDebug() << "Set-up check:" << finding.text();
    results.append(finding);
    emit checked(finding);
    // Later, from the event loop: a check that ended at once does not nest the next one.
    QTimer::singleShot(0, this, &Doctor::next);
}

QJsonObject Doctor::readSettings(const QString& name, const QJsonObject& fallback, QStringList* problems,
                                 QStringList* notes) const
{
    const QString path = places.settingsDir + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.exists()) {
        *notes << name + QStringLiteral(" does not exist yet (the program writes the default when it starts)");
        return fallback;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *problems << path + QStringLiteral(" cannot be read: ") + file.errorString();
        return {};
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError) {
        *problems << path + QStringLiteral(" is not JSON: ") + error.errorString() + QStringLiteral(" at offset ")
                + QString::number(error.offset);
        return {};
    }
    if (!document.isObject()) {
        *problems << path + QStringLiteral(" does not hold a JSON object");
        return {};
    }
#ifndef Q_OS_WIN
    if (othersMayRead(path))
        *notes << path + QStringLiteral(" may be read or changed by other users");
#endif
    return document.object();
}

void Doctor::checkSettings()
{
    QStringList problems;
    QStringList notes;
    const QVariantMap app
        = readSettings(SettingsFileName::app, Oxbell::defaultAppSettings(), &problems, &notes).toVariantMap();
    const QVariantMap user
        = readSettings(SettingsFileName::user, Oxbell::defaultUserSettings(), &problems, &notes).toVariantMap();

    if (problems.isEmpty()) {
        serverUrl = Oxbell::serverUrlOf(app);
        const QString scheme = serverUrl.scheme();
        if (!serverUrl.isValid() || serverUrl.host().isEmpty()
            || (scheme != QLatin1String("https") && scheme != QLatin1String("http")))
            problems << SettingsFileName::app + QStringLiteral(": the course server URL ")
                    + quoted(serverUrl.toString(QUrl::RemovePassword))
                    + QStringLiteral(" (\"proctor_server\", \"url\") is not an https address of a server");

        const QVariant serverEntries = user.value(JsonKey::servers);
        if (user.contains(JsonKey::servers) && serverEntries.userType() != QMetaType::QVariantMap)
            problems << SettingsFileName::user + QStringLiteral(": \"servers\" is not an object");
        servers = serverEntries.toMap();
        for (auto it = servers.cbegin(); it != servers.cend(); ++it) {
            const QVariantMap server = it.value().toMap();
            if (server.value(JsonKey::address).toString().isEmpty() || portOf(server.value(JsonKey::port)) == 0)
                problems << SettingsFileName::user + QStringLiteral(": server ") + quoted(it.key())
                        + QStringLiteral(" needs an \"address\" and a \"port\" from 1 to 65535");
        }

        const QVariant proxyEntry = user.value(JsonKey::proxy);
        if (user.contains(JsonKey::proxy) && proxyEntry.userType() != QMetaType::QVariantMap)
            problems << SettingsFileName::user + QStringLiteral(": \"proxy\" is not an object");
        proxySettings = proxyEntry.toMap();
        const QNetworkProxy configured = Oxbell::proxyOf(proxySettings);
        if (isNamedProxy(configured)
            && (configured.hostName().isEmpty() || portOf(proxySettings.value(JsonKey::port)) == 0))
            problems << SettingsFileName::user
                    + QStringLiteral(": the proxy needs a \"host\" and a \"port\" from 1 to 65535 for its type ")
                    + quoted(proxySettings.value(JsonKey::type).toString());
    }

    if (!problems.isEmpty()) {
        finish(Outcome::Fail, problems.join(QStringLiteral("; ")),
               QStringLiteral("Correct the file, or move it away: the program then writes a default one."));
    } else if (!notes.isEmpty()) {
        const bool exposed = std::any_of(notes.begin(), notes.end(), [](const QString& note) {
            return note.endsWith(QLatin1String("other users"));
        });
        finish(Outcome::Warn, notes.join(QStringLiteral("; ")),
               exposed ? QStringLiteral("Settings may hold a proxy password: make them yours alone (chmod 600 FILE).")
                       : QStringLiteral("Nothing to do: start oxbell once, or check again after you have."));
    } else {
        finish(Outcome::Ok,
               QStringLiteral("course server ") + serverName() + QStringLiteral(", ") + QString::number(servers.size())
                   + (servers.size() == 1 ? QStringLiteral(" server") : QStringLiteral(" servers"))
                   + QStringLiteral(" of yours; both files are yours alone"));
    }
}

void Doctor::checkLog()
{
    const QString& path = places.logFile;
    QFile file(path);
    if (!file.exists()) {
        const QFileInfo folder(QFileInfo(path).path());
        if (folder.isDir() && folder.isWritable())
            finish(Outcome::Ok, path + QStringLiteral(" does not exist yet; its folder is writable"));
        else
            finish(Outcome::Fail, path + QStringLiteral(" cannot be made: its folder is missing or not writable"),
                   QStringLiteral("Make the folder ") + folder.filePath()
                       + QStringLiteral(" and let yourself write to it."));
        return;
    }
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::ExistingOnly)) {
        finish(Outcome::Fail, path + QStringLiteral(" cannot be appended to: ") + file.errorString(),
               QStringLiteral("Let yourself write to it, or move it away: the program makes a new one."));
        return;
    }
#ifndef Q_OS_WIN
    if (othersMayRead(path)) {
        finish(Outcome::Warn, path + QStringLiteral(" may be read by other users"),
               QStringLiteral("It holds your e-mail address and grades: run chmod 600 ") + path
                   + QStringLiteral(" (the program also closes it when it starts)."));
        return;
    }
#endif
    finish(Outcome::Ok, path + QStringLiteral(" can be appended to and is yours alone"));
}

void Doctor::runProcess(const QStringList& arguments, const QByteArray& input, const ProcessDone& then)
{
    auto* process = new QProcess(this);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PYTHONPATH"), places.applicationDir);
    process->setProcessEnvironment(environment);
    process->setWorkingDirectory(places.applicationDir);
    auto* timer = new QTimer(process);
    timer->setSingleShot(true);
    auto reported = std::make_shared<bool>(false);
    const auto end = [process, then, reported](bool finished, const QString& why) {
        if (*reported)
            return;
        *reported = true;
        const int exitCode = finished ? process->exitCode() : -1;
        const QByteArray output = process->readAllStandardOutput();
        const QByteArray errorOutput = process->readAllStandardError();
        process->disconnect();
        process->kill();
        process->deleteLater();
        then(finished, exitCode, output, errorOutput, why);
    };
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [process, end](int, QProcess::ExitStatus status) {
                end(status == QProcess::NormalExit,
                    status == QProcess::NormalExit ? QString() : process->errorString());
            });
    connect(process, &QProcess::errorOccurred, this, [process, end](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            end(false, process->errorString());
    });
    connect(timer, &QTimer::timeout, this,
            [end] { end(false, QStringLiteral("no answer within %1 s").arg(interpreterTimeoutMs / 1000)); });
    timer->start(interpreterTimeoutMs);
    process->start(places.applicationDir + AppFile::interpreter, arguments);
    process->write(input);
    process->closeWriteChannel();
}

void Doctor::checkInterpreter()
{
    const QString path = places.applicationDir + AppFile::interpreter;
    const QString reinstall = QStringLiteral("Reinstall oxbell: its interpreter belongs in that place.");
    const QFileInfo interpreter(path);
    if (!interpreter.exists()) {
        finish(Outcome::Fail,
               interpreter.isSymLink() ? path + QStringLiteral(" is a link to ") + interpreter.symLinkTarget()
                       + QStringLiteral(", which does not exist")
                                       : path + QStringLiteral(" does not exist"),
               reinstall);
        return;
    }
    if (!interpreter.isExecutable()) {
        finish(Outcome::Fail, path + QStringLiteral(" cannot be run (not executable)"), reinstall);
        return;
    }
    runProcess({QStringLiteral("--version")}, {},
               [this, path, reinstall](bool finished, int exitCode, const QByteArray& output,
                                       const QByteArray& errorOutput, const QString& why) {
                   const QString version = firstLine(output + errorOutput);
                   if (!finished || exitCode != 0 || version.isEmpty()) {
                       finish(Outcome::Fail,
                              path + QStringLiteral(" did not report its version: ")
                                  + (why.isEmpty() ? QStringLiteral("exit code %1").arg(exitCode) : why),
                              reinstall);
                       return;
                   }
                   // What a script's first line does: the module must come from the application directory.
                   const QByteArray noServers = QJsonDocument(QJsonObject{{JsonKey::servers, QJsonObject()}}).toJson();
                   runProcess({QStringLiteral("-c"), QStringLiteral("from oxbell import servers")}, noServers,
                              [this, path, version](bool importFinished, int importCode, const QByteArray&,
                                                    const QByteArray& importErrors, const QString& importWhy) {
                                  if (importFinished && importCode == 0 && importErrors.isEmpty()) {
                                      finish(Outcome::Ok,
                                             path + QStringLiteral(" runs (") + version
                                                 + QStringLiteral(") and imports the oxbell module"));
                                      return;
                                  }
                                  const QString reason = importWhy.isEmpty() ? lastLine(importErrors) : importWhy;
                                  finish(Outcome::Fail,
                                         path + QStringLiteral(" cannot import the oxbell module: ") + reason,
                                         QStringLiteral("Reinstall oxbell: oxbell.py belongs in ")
                                             + places.applicationDir + QLatin1Char('.'));
                              });
               });
}

void Doctor::checkCertificateAuthority()
{
    const QString path = places.applicationDir + AppFile::caCertificate;
    const QString reinstall = QStringLiteral("Reinstall oxbell: the course server's CA file belongs there.");
    if (!QFileInfo::exists(path)) {
        finish(Outcome::Fail, path + QStringLiteral(" does not exist"), reinstall);
        return;
    }
    const QList<QSslCertificate> certificates
        = QSslCertificate::fromPath(path, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
    if (certificates.isEmpty()) {
        finish(Outcome::Fail, path + QStringLiteral(" holds no PEM certificate"), reinstall);
        return;
    }
    const QSslCertificate& certificate = certificates.first();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QString found = path + QStringLiteral(": ") + certificateName(certificate);
    if (certificate.expiryDate() < now) {
        finish(Outcome::Fail, found + QStringLiteral(" expired on ") + day(certificate.expiryDate()),
               QStringLiteral("Install the current version of oxbell, or check your computer's date."));
    } else if (certificate.effectiveDate() > now) {
        finish(Outcome::Fail, found + QStringLiteral(" is not valid before ") + day(certificate.effectiveDate()),
               QStringLiteral("Check your computer's date and time."));
    } else if (certificate.expiryDate() < now.addDays(caExpiryWarningDays)) {
        finish(Outcome::Warn, found + QStringLiteral(" expires on ") + day(certificate.expiryDate()),
               QStringLiteral("Install the next version of oxbell before then."));
    } else {
        finish(Outcome::Ok, found + QStringLiteral(", valid until ") + day(certificate.expiryDate()));
    }
}

void Doctor::awaitSocket(QAbstractSocket* socket, int timeoutMs, const SocketDone& then)
{
    auto* timer = new QTimer(socket);
    timer->setSingleShot(true);
    auto reported = std::make_shared<bool>(false);
    const auto end = [socket, then, reported](bool connected, QAbstractSocket::SocketError error, const QString& why) {
        if (*reported)
            return;
        *reported = true;
        socket->disconnect();
        // Reported before the socket lets go of the certificate it was shown.
        then(connected, error, why);
        socket->abort();
        socket->deleteLater();
    };
    if (auto* secure = qobject_cast<QSslSocket*>(socket))
        connect(secure, &QSslSocket::encrypted, this, [end] { end(true, QAbstractSocket::UnknownSocketError, {}); });
    else
        connect(socket, &QAbstractSocket::connected, this,
                [end] { end(true, QAbstractSocket::UnknownSocketError, {}); });
    connect(socket, &QAbstractSocket::errorOccurred, this,
            [socket, end](QAbstractSocket::SocketError error) { end(false, error, socket->errorString()); });
    connect(timer, &QTimer::timeout, this, [end, timeoutMs] {
        end(false, QAbstractSocket::SocketTimeoutError, QStringLiteral("no answer within %1 s").arg(timeoutMs / 1000));
    });
    timer->start(timeoutMs);
}

QString Doctor::serverName() const
{
    return serverUrl.toString(QUrl::RemovePassword | QUrl::RemovePath | QUrl::RemoveQuery);
}

QString Doctor::proxyName() const
{
    QString name
        = (proxy.type() == QNetworkProxy::Socks5Proxy ? QStringLiteral("SOCKS5 proxy ") : QStringLiteral("HTTP proxy "))
        + proxy.hostName() + QLatin1Char(':') + QString::number(proxy.port());
    if (!proxy.user().isEmpty())
        name += QStringLiteral(" as ") + proxy.user();
    // The password itself is never shown: only that there is one.
    if (!proxy.password().isEmpty())
        name += QStringLiteral(" with password ********");
    return name;
}

bool Doctor::throughProxy() const
{
    return isNamedProxy(proxy);
}

void Doctor::checkProxy()
{
    const QNetworkProxy configured = Oxbell::proxyOf(proxySettings);
    proxy = configured;
    systemProxy = configured.type() == QNetworkProxy::DefaultProxy;
    if (systemProxy) {
        const QList<QNetworkProxy> found = QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(serverUrl));
        proxy = found.isEmpty() ? QNetworkProxy(QNetworkProxy::NoProxy) : found.first();
    }
    if (!isNamedProxy(proxy))
        proxy = QNetworkProxy(QNetworkProxy::NoProxy);
    const QString kind = systemProxy ? QStringLiteral("the system's: ") : QString();
    const QString described
        = throughProxy() ? kind + proxyName() : kind + QStringLiteral("none, connections go directly");

    const auto connectToProxy = [this, described] {
        if (!throughProxy()) {
            finish(Outcome::Ok, described);
            return;
        }
        auto* socket = new QTcpSocket(this);
        socket->setProxy(QNetworkProxy::NoProxy);
        awaitSocket(socket, serverTimeoutMs,
                    [this, described](bool connected, QAbstractSocket::SocketError, const QString& why) {
                        if (connected)
                            finish(Outcome::Ok, described + QStringLiteral(", which accepts connections"));
                        else
                            finish(Outcome::Fail, described + QStringLiteral(" does not accept connections: ") + why,
                                   QStringLiteral("Check the proxy's \"host\" and \"port\" in ")
                                       + SettingsFileName::user
                                       + QStringLiteral(", or ask your network's administrators."));
                    });
        socket->connectToHost(proxy.hostName(), proxy.port());
    };

    // The program looks the configured host up at every start, whatever the type, and stops
    // when it does not resolve.
    if (!(proxySettings.contains(JsonKey::host) && proxySettings.contains(JsonKey::port))) {
        connectToProxy();
        return;
    }
    const QString host = configured.hostName();
    QHostInfo::lookupHost(host, this, [this, host, described, connectToProxy](const QHostInfo& lookup) {
        if (lookup.error() != QHostInfo::NoError) {
            finish(Outcome::Fail,
                   described + QStringLiteral("; the proxy host ") + quoted(host)
                       + QStringLiteral(" does not resolve: ") + lookup.errorString(),
                   QStringLiteral("Correct the proxy's \"host\" in ") + SettingsFileName::user
                       + QStringLiteral(", or remove \"host\" and \"port\" there if you use no proxy."));
            return;
        }
        connectToProxy();
    });
}

void Doctor::checkServerAddress()
{
    const QString host = serverUrl.host();
    const QString advice = QStringLiteral("Check the course server URL in ") + SettingsFileName::app
        + QStringLiteral(" and that your computer is online.");
    if (!throughProxy()) {
        QHostInfo::lookupHost(host, this, [this, host, advice](const QHostInfo& lookup) {
            if (lookup.error() != QHostInfo::NoError || lookup.addresses().isEmpty()) {
                finish(Outcome::Fail, quoted(host) + QStringLiteral(" does not resolve: ") + lookup.errorString(),
                       advice);
                return;
            }
            QStringList addresses;
            for (const QHostAddress& address : lookup.addresses())
                addresses << address.toString();
            finish(Outcome::Ok, host + QStringLiteral(" resolves to ") + addresses.join(QStringLiteral(", ")));
        });
        return;
    }
    // The proxy resolves the name, as it does for the program: only a connection through it tells.
    auto* socket = new QTcpSocket(this);
    socket->setProxy(proxy);
    awaitSocket(socket, serverTimeoutMs,
                [this, host, advice](bool connected, QAbstractSocket::SocketError error, const QString& why) {
                    proxiedConnectionError = connected ? QString() : why;
                    if (!connected && error == QAbstractSocket::HostNotFoundError)
                        finish(Outcome::Fail,
                               QStringLiteral("the proxy cannot resolve ") + quoted(host) + QStringLiteral(": ") + why,
                               advice);
                    else
                        finish(Outcome::Ok, host + QStringLiteral(" is resolved by the proxy"));
                });
    socket->connectToHost(host, quint16(serverUrl.port(443)));
}

void Doctor::checkServerConnection()
{
    const QString target = serverUrl.host() + QLatin1Char(':') + QString::number(serverUrl.port(443));
    const QString via = throughProxy() ? QStringLiteral(" through the proxy") : QString();
    const auto report = [this, target, via](bool connected, const QString& why) {
        if (connected)
            finish(Outcome::Ok, target + QStringLiteral(" accepts connections") + via);
        else
            finish(Outcome::Fail,
                   target + QStringLiteral(" did not accept a connection") + via + QStringLiteral(": ") + why,
                   QStringLiteral("The course server may be down, or a firewall blocks the port: try again "
                                  "later, and tell the course staff if it lasts."));
    };
    if (throughProxy()) {
        report(proxiedConnectionError.isEmpty(), proxiedConnectionError);
        return;
    }
    auto* socket = new QTcpSocket(this);
    socket->setProxy(QNetworkProxy::NoProxy);
    awaitSocket(socket, serverTimeoutMs,
                [report](bool connected, QAbstractSocket::SocketError, const QString& why) { report(connected, why); });
    socket->connectToHost(serverUrl.host(), quint16(serverUrl.port(443)));
}

void Doctor::checkServerCertificate()
{
    const QString caFile = places.applicationDir + AppFile::caCertificate;
    auto* socket = new QSslSocket(this);
    socket->setProxy(proxy);
    auto rejected = std::make_shared<QList<QSslError>>();
    auto presented = std::make_shared<QSslCertificate>();
    connect(socket, QOverload<const QList<QSslError>&>::of(&QSslSocket::sslErrors), this,
            [socket, caFile, rejected, presented](const QList<QSslError>& errors) {
                const QList<QSslError> accepted = Oxbell::acceptedSslErrors(errors, caFile);
                for (const QSslError& error : errors) {
                    if (!accepted.contains(error))
                        rejected->append(error);
                }
                *presented = socket->peerCertificate();
                socket->ignoreSslErrors(accepted);
            });
    awaitSocket(
        socket, serverTimeoutMs,
        [this, socket, rejected, presented](bool connected, QAbstractSocket::SocketError, const QString& why) {
            if (connected) {
                const QSslCertificate leaf = socket->peerCertificate();
                finish(Outcome::Ok,
                       QStringLiteral("the server presented ") + certificateName(leaf) + QStringLiteral(", issued by ")
                           + leaf.issuerDisplayName() + QStringLiteral(", valid until ") + day(leaf.expiryDate()));
                return;
            }
            if (rejected->isEmpty()) {
                finish(Outcome::Fail, QStringLiteral("no secure connection: ") + why,
                       QStringLiteral("Something between you and the course server breaks secure connections: try "
                                      "another network."));
                return;
            }
            QStringList rules;
            bool unknownIssuer = false;
            for (const QSslError& error : *rejected) {
                // The toolkit adds an unspecified error beside the ones that say what failed.
                if (error.error() == QSslError::UnspecifiedError && rejected->size() > 1)
                    continue;
                const QString rule = trustRuleFailed(error);
                unknownIssuer = unknownIssuer || rule == QLatin1String("unknown issuer");
                if (!rules.contains(rule))
                    rules << rule;
            }
            const QString issuer
                = presented->isNull() ? QStringLiteral("nobody named") : presented->issuerDisplayName();
            finish(Outcome::Fail,
                   QStringLiteral("refused (") + rules.join(QStringLiteral(", "))
                       + QStringLiteral("); the certificate presented is ")
                       + (presented->isNull() ? QStringLiteral("unknown") : certificateName(*presented))
                       + QStringLiteral(", issued by ") + issuer,
                   unknownIssuer
                       ? QStringLiteral("That issuer is not the course server's: a network that intercepts secure "
                                        "connections (a firewall, an antivirus) is in between, or the program's CA "
                                        "file is not the course server's. Try another network, or reinstall oxbell.")
                       : QStringLiteral("The server at this address is not the course server, or its certificate is "
                                        "out of date: check the URL in ")
                           + SettingsFileName::app
                           + QStringLiteral(" and your computer's date, then tell the course staff."));
        });
    socket->connectToHostEncrypted(serverUrl.host(), quint16(serverUrl.port(443)));
}

QNetworkReply* Doctor::send(const QString& path, const QByteArray* body)
{
    if (!network) {
        network = new QNetworkAccessManager(this);
        network->setProxy(proxy);
        const QString caFile = places.applicationDir + AppFile::caCertificate;
        connect(network, &QNetworkAccessManager::sslErrors, this,
                [caFile](QNetworkReply* reply, const QList<QSslError>& errors) {
                    reply->ignoreSslErrors(Oxbell::acceptedSslErrors(errors, caFile));
                });
    }
    // Built as the program builds its requests.
    QNetworkRequest request(QUrl(serverUrl.toString() + path, QUrl::TolerantMode));
    request.setTransferTimeout(serverTimeoutMs);
    if (!body)
        return network->get(request);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    return network->post(request, *body);
}

void Doctor::negotiate(const QString& member, const QByteArray& value, const std::function<void()>& then)
{
    RsaPublicKey key;
    Oxbell::loadServerKey(key);
    const QByteArray body
        = key.encrypt(QJsonDocument(QJsonObject{{member, QString::fromLatin1(value.toBase64())}}).toJson());
    if (body.isEmpty()) {
        finish(Outcome::Fail, QStringLiteral("the program's built-in server key cannot be used"),
               QStringLiteral("Reinstall oxbell."));
        return;
    }
    QNetworkReply* reply = send(QStringLiteral("/negotiate"), &body);
    connect(reply, &QNetworkReply::finished, this, [this, reply, then] {
        reply->deleteLater();
        if (reply->error() == QNetworkReply::NoError) {
            then();
            return;
        }
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QString answer = QString::fromUtf8(reply->readAll().left(200)).trimmed();
        finish(Outcome::Fail,
               QStringLiteral("the session negotiation was refused: ")
                   + (status ? QStringLiteral("HTTP %1 %2").arg(status).arg(answer) : reply->errorString()),
               QStringLiteral("The server does not hold the key this client was built for: install the client "
                              "your course provides for this server, or check the URL in ")
                   + SettingsFileName::app + QLatin1Char('.'));
    });
}

void Doctor::checkServerProtocol()
{
    QNetworkReply* reply = send(QStringLiteral("/version"), nullptr);
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError) {
            finish(Outcome::Fail, QStringLiteral("the version request failed: ") + reply->errorString(),
                   QStringLiteral("The course server does not answer as it should: tell the course staff."));
            return;
        }
        const QByteArray date = reply->rawHeader("Date");
        if (!date.isEmpty()) {
            serverDate = QLocale::c().toDateTime(QString::fromLatin1(date).trimmed(),
                                                 QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"));
            serverDate.setTimeSpec(Qt::UTC);
            serverDateReceived = QDateTime::currentDateTimeUtc();
        }
        const QJsonDocument document = QJsonDocument::fromJson(reply->readAll());
        if (!document.isObject()) {
            finish(Outcome::Fail, QStringLiteral("the answer to the version request is not a JSON object"),
                   QStringLiteral("The server at this address is not a course server: check the URL in ")
                       + SettingsFileName::app + QLatin1Char('.'));
            return;
        }
        const QString version = document.object().value(JsonKey::version).toString();
        if (QVersionNumber::compare(QVersionNumber::fromString(QStringLiteral(OXBELL_VERSION)).normalized(),
                                    QVersionNumber::fromString(version).normalized())
            < 0) {
            newerVersion = version;
            newerVersionUrl = document.object().value(JsonKey::url).toString();
        }
        auto keys = std::make_shared<AESKeyPair>();
        negotiate(JsonKey::iv, keys->ivBytes(), [this, keys] {
            negotiate(JsonKey::key, keys->keyBytes(), [this] {
                const QString found = QStringLiteral("the version request is answered and the session negotiation "
                                                     "with the built-in server key succeeds");
                if (newerVersion.isEmpty())
                    finish(Outcome::Ok, found);
                else
                    finish(Outcome::Warn,
                           found + QStringLiteral("; a newer client, version ") + newerVersion
                               + QStringLiteral(", is available at ") + newerVersionUrl,
                           QStringLiteral("Install it from ") + newerVersionUrl + QLatin1Char('.'));
            });
        });
    });
}

void Doctor::checkYourServers()
{
    if (servers.isEmpty()) {
        finish(Outcome::Warn, QStringLiteral("none configured"),
               QStringLiteral("Add your servers in Settings: the problems' scripts check them."));
        return;
    }
    // All at once, each with its own time limit.
    auto pending = std::make_shared<int>(servers.size());
    auto up = std::make_shared<QStringList>();
    auto down = std::make_shared<QStringList>();
    for (auto it = servers.cbegin(); it != servers.cend(); ++it) {
        const QVariantMap server = it.value().toMap();
        const QString address = server.value(JsonKey::address).toString();
        const int port = portOf(server.value(JsonKey::port));
        const QString name = it.key() + QStringLiteral(" (") + address + QLatin1Char(':')
            + server.value(JsonKey::port).toString() + QLatin1Char(')');
        auto* socket = new QTcpSocket(this);
        // The scripts connect directly, never through the proxy.
        socket->setProxy(QNetworkProxy::NoProxy);
        awaitSocket(
            socket, studentServerTimeoutMs,
            [this, name, pending, up, down](bool connected, QAbstractSocket::SocketError, const QString& why) {
                if (connected)
                    *up << name;
                else
                    *down << name + QStringLiteral(" did not accept a connection: ") + why;
                if (--*pending > 0)
                    return;
                if (down->isEmpty())
                    finish(Outcome::Ok,
                           up->join(QStringLiteral(", "))
                               + (up->size() == 1 ? QStringLiteral(" accepts") : QStringLiteral(" accept"))
                               + QStringLiteral(" connections"));
                else
                    finish(Outcome::Warn, down->join(QStringLiteral("; ")),
                           QStringLiteral("Start your servers before you initialise, test or turn in a problem; they "
                                          "need not run at other times."));
            });
        socket->connectToHost(address, quint16(port));
    }
}

void Doctor::checkClock()
{
    const QString advice = QStringLiteral("Let your computer set its clock from the network: certificates and due "
                                          "dates depend on it.");
    if (!serverDate.isValid()) {
        finish(Outcome::Warn, QStringLiteral("the server sent no date to compare with"), advice);
        return;
    }
    const qint64 ahead = serverDate.secsTo(serverDateReceived);
    const qint64 apart = std::abs(ahead);
    if (apart <= clockToleranceSeconds) {
        finish(Outcome::Ok,
               QStringLiteral("your clock is within %1 s of the server's").arg(std::max<qint64>(apart, 1)));
        return;
    }
    finish(Outcome::Warn,
           QStringLiteral("your clock is %1 minutes %2 the server's")
               .arg(apart / 60)
               .arg(ahead > 0 ? QStringLiteral("ahead of") : QStringLiteral("behind")),
           advice);
}

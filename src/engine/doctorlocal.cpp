// The set-up checks of this computer: the settings files, the log, the interpreter, the CA file
// and the clock.

#include "engine/doctor.h"
#include "engine/names.h"
#include "engine/oxbell.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QProcess>
#include <QSslCertificate>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {
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

#include "support/apphome.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTcpServer>

#include <algorithm>

namespace {
// A loopback port nothing listens on: bound once to find a free one, then released.
quint16 closedPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost))
        return 0;
    const quint16 port = server.serverPort();
    server.close();
    return port;
}
}

AppHome::AppHome()
{
    const quint16 port = closedPort();
#ifdef Q_OS_WIN
    // Windows gives a child the account's known folders whatever its environment: the account's own
    // log and settings are cleared instead.
    QDir(logPath()).removeRecursively();
    QFile::remove(logPath());
    QDir(configDir()).removeRecursively();
#endif
    if (!directory.isValid() || port == 0 || !QDir().mkpath(configDir()))
        return;
    const QJsonObject settings{
        {QStringLiteral("proctor_server"),
         QJsonObject{{QStringLiteral("url"), QStringLiteral("https://127.0.0.1:%1").arg(port)}}}};
    QFile file(configDir() + QStringLiteral("/app_settings.json"));
    valid = file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(settings).toJson()) > 0;
}

QString AppHome::configDir() const
{
#ifdef Q_OS_WIN
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/oxbell/oxbell");
#else
    return path() + QStringLiteral("/.config/oxbell");
#endif
}

QString AppHome::logPath() const
{
#ifdef Q_OS_WIN
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + QStringLiteral("/oxbell.log");
#else
    return path() + QStringLiteral("/Documents/oxbell.log");
#endif
}

QStringList AppHome::logLines() const
{
    QFile file(logPath());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QProcessEnvironment AppHome::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), path() + QStringLiteral("/.config"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), path() + QStringLiteral("/.local/share"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
#ifdef Q_OS_WIN
    // Without it, Qt's own warnings go to the debugger there.
    environment.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
#endif
    // Only sanitized builds read it; see the file for why the real program needs it.
    environment.insert(QStringLiteral("LSAN_OPTIONS"),
                       QStringLiteral("suppressions=" OXBELL_SOURCE_DIR "/tests/lsan-program.supp"));
    return environment;
}

ProcessOutcome AppHome::run(const QStringList& arguments, const QString& stopAtLog) const
{
    std::function<bool()> logged;
    if (!stopAtLog.isEmpty()) {
        logged = [this, stopAtLog] {
            const QStringList lines = logLines();
            return std::any_of(lines.begin(), lines.end(),
                               [&stopAtLog](const QString& line) { return line.contains(stopAtLog); });
        };
    }
    return runProcess(QStringLiteral(OXBELL_APP_DIR "/oxbell"), arguments, environment(), 60000, logged);
}

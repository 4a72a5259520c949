#include "support/apphome.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
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
    return path() + QStringLiteral("/.config/oxbell");
}

QString AppHome::logPath() const
{
    return path() + QStringLiteral("/Documents/oxbell.log");
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

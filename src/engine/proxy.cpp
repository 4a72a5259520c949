#include "engine/oxbell.h"
#include "engine/names.h"

#include <QAuthenticator>
#include <QDebug>
#include <QHostInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>

namespace {
// Shown instead of the configured password, which must reach neither the screen nor the log.
const QString maskedPassword = QStringLiteral("********");

QNetworkProxy::ProxyType proxyTypeOf(const QString& type)
{
    const QString name = type.toLower();
    if (name == QLatin1String("automatic") || name == QLatin1String("auto"))
        return QNetworkProxy::DefaultProxy;
    if (name == QLatin1String("socks") || name == QLatin1String("socks5"))
        return QNetworkProxy::Socks5Proxy;
    if (name == QLatin1String("http") || name == QLatin1String("https"))
        return QNetworkProxy::HttpProxy;
    return QNetworkProxy::NoProxy;
}
}

QNetworkProxy Oxbell::proxyOf(const QVariantMap& proxySettings)
{
    QNetworkProxy proxy(QNetworkProxy::NoProxy);
    if (proxySettings.contains(JsonKey::host) && proxySettings.contains(JsonKey::port)) {
        proxy.setHostName(proxySettings.value(JsonKey::host).toString());
        // Only the low 16 bits count; a text that is not a number is port 0.
        proxy.setPort(quint16(proxySettings.value(JsonKey::port).toInt()));
    }
    if (proxySettings.contains(JsonKey::username))
        proxy.setUser(proxySettings.value(JsonKey::username).toString());
    if (proxySettings.contains(JsonKey::password))
        proxy.setPassword(proxySettings.value(JsonKey::password).toString());
    if (proxySettings.contains(JsonKey::type))
        proxy.setType(proxyTypeOf(proxySettings.value(JsonKey::type).toString()));
    return proxy;
}

void Oxbell::installProxy()
{
    if (!userSettings.contains(JsonKey::proxy)) {
        // Explicitly none, so the system's proxy configuration is never used silently.
        network->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }
    connect(network, &QNetworkAccessManager::proxyAuthenticationRequired, this, &Oxbell::handleProxyAuthentication);

    const QVariantMap settings = userSettings.value(JsonKey::proxy).toMap();
    const QNetworkProxy proxy = proxyOf(settings);
    if (settings.contains(JsonKey::host) && settings.contains(JsonKey::port)) {
        showStatus(QStringLiteral("Checking proxy host..."));
        // Blocking on purpose: nothing else runs yet, and no request may start before the answer.
        const QHostInfo lookup = QHostInfo::fromName(proxy.hostName());
        if (lookup.error() != QHostInfo::NoError) {
            connectionFailure = true;
            errorMessage(QStringLiteral("Error encountered with proxy host (") + proxy.hostName()
                             + QStringLiteral("): ") + lookup.errorString()
                             + QStringLiteral(".\nPlease check ") + SettingsFileName::user
                             + QStringLiteral(" and try again."),
                         true);
            connectionFailure = false;
        }
    }
    if (proxy.type() == QNetworkProxy::DefaultProxy)
        QNetworkProxyFactory::setUseSystemConfiguration(true);
    qDebug() << "Proxy type:" << proxy.type() << "host:" << proxy.hostName() << "port:" << proxy.port();
    network->setProxy(proxy);
}

void Oxbell::handleProxyAuthentication(const QNetworkProxy& proxy, QAuthenticator*)
{
    QString message = QStringLiteral("Proxy requires authentication and is rejecting your credentials.\n");
    message += proxy.user().isEmpty() ? QStringLiteral("Missing username.")
                                      : QStringLiteral("Using ") + proxy.user() + QStringLiteral(" as the username.");
    message += proxy.password().isEmpty()
        ? QStringLiteral(" Missing password. ")
        : QStringLiteral(" Using ") + maskedPassword + QStringLiteral(" as the password.");
    message += QStringLiteral("\nPlease check ") + SettingsFileName::user + QStringLiteral(" and try again.");
    errorMessage(message, true);
}

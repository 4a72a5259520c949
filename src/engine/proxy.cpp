#include "engine/oxbell.h"

#include <QAuthenticator>
#include <QDebug>
#include <QHostInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>

namespace {
const QString typeKey = QStringLiteral("type");
const QString hostKey = QStringLiteral("host");
const QString portKey = QStringLiteral("port");
const QString usernameKey = QStringLiteral("username");
const QString passwordKey = QStringLiteral("password");

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
    if (proxySettings.contains(hostKey) && proxySettings.contains(portKey)) {
        proxy.setHostName(proxySettings.value(hostKey).toString());
        // Only the low 16 bits count; a text that is not a number is port 0.
        proxy.setPort(quint16(proxySettings.value(portKey).toInt()));
    }
    if (proxySettings.contains(usernameKey))
        proxy.setUser(proxySettings.value(usernameKey).toString());
    if (proxySettings.contains(passwordKey))
        proxy.setPassword(proxySettings.value(passwordKey).toString());
    if (proxySettings.contains(typeKey))
        proxy.setType(proxyTypeOf(proxySettings.value(typeKey).toString()));
    return proxy;
}

void Oxbell::installProxy()
{
    const QString proxyKey = QStringLiteral("proxy");
    if (!userSettings.contains(proxyKey)) {
        // Explicitly none, so the system's proxy configuration is never used silently.
        network->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }
    connect(network, &QNetworkAccessManager::proxyAuthenticationRequired, this, &Oxbell::handleProxyAuthentication);

    const QVariantMap settings = userSettings.value(proxyKey).toMap();
    const QNetworkProxy proxy = proxyOf(settings);
    if (settings.contains(hostKey) && settings.contains(portKey)) {
        showStatus(QStringLiteral("Checking proxy host..."));
        // Blocking on purpose: nothing else runs yet, and no request may start before the answer.
        const QHostInfo lookup = QHostInfo::fromName(proxy.hostName());
        if (lookup.error() != QHostInfo::NoError)
            errorMessage(QStringLiteral("Error encountered with proxy host (") + proxy.hostName()
                             + QStringLiteral("): ") + lookup.errorString()
                             + QStringLiteral(".\nPlease check user_settings.json and try again."),
                         true);
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
    message += QStringLiteral("\nPlease check user_settings.json and try again.");
    errorMessage(message, true);
}

#include "engine/oxbell.h"
#include "engine/names.h"

#include "serverkey.h"

#include <QCoreApplication>
#include <QDebug>
#include <QNetworkAccessManager>

#include <algorithm>
#include <limits>

const QString modeVerb[2] = {QStringLiteral("grade"), QStringLiteral("test")};
const QString modeGerund[2] = {QStringLiteral("grading"), QStringLiteral("testing")};
const QString modeGerundTitle[2] = {QStringLiteral("Grading"), QStringLiteral("Testing")};
const QString modePast[2] = {QStringLiteral("Graded"), QStringLiteral("Tested")};

Oxbell::Oxbell(QObject* parent)
    : QObject(parent)
{
    loadServerKey(serverKey);
    QCoreApplication::setApplicationVersion(QStringLiteral(OXBELL_VERSION));
}

Oxbell::~Oxbell()
{
    // A run under way ends with the client: its processes stopped, its folder removed.
    if (scriptRun)
        discardRun();
}

void Oxbell::loadServerKey(RsaPublicKey& key)
{
    QByteArray pem(serverKeyText);
    for (int round = 0; round < 3; ++round)
        pem = QByteArray::fromBase64(pem);
    key.fromPem(QString::fromUtf8(pem.constData()));
}

void Oxbell::start()
{
    qDebug() << "oxbell version:" << QCoreApplication::applicationVersion();

    ensureSettingsDirExists();
    ensureAppSettingsExists(SettingsFileName::app);
    appSettings = getSettings(SettingsFileName::app);
    ensureUserSettingsExists(SettingsFileName::user);
    userSettings = getSettings(SettingsFileName::user);

    nextServerNumber = nextServerNumberOf(userSettings);
    interpreterPath = QCoreApplication::applicationDirPath() + AppFile::interpreter;
    serverUrl = serverUrlOf(appSettings);

    network = new QNetworkAccessManager(this);
    installProxy();

    showStatus(QStringLiteral("Connecting to Oxbell server..."));
    connect(network, &QNetworkAccessManager::finished, this, &Oxbell::replyFinished);
    connect(network, &QNetworkAccessManager::sslErrors, this, &Oxbell::handleSslErrors);
    checkVersion();
}

int Oxbell::nextServerNumberOf(const QVariantMap& userSettings)
{
    const QString prefix = QStringLiteral("newServer");
    if (!userSettings.contains(JsonKey::servers))
        return 0;
    QList<int> numbers;
    const QVariantMap servers = userSettings.value(JsonKey::servers).toMap();
    for (auto it = servers.keyBegin(); it != servers.keyEnd(); ++it) {
        const QString& name = *it;
        if (!name.startsWith(prefix) || name.size() <= prefix.size())
            continue;
        bool ok = false;
        const int number = name.mid(prefix.size()).toInt(&ok, 10);
        // A number without a successor cannot lead to a fresh name.
        if (ok && number < std::numeric_limits<int>::max())
            numbers.append(number);
    }
    if (numbers.isEmpty())
        return 0;
    std::sort(numbers.begin(), numbers.end());
    return numbers.last() + 1;
}

QUrl Oxbell::serverUrlOf(const QVariantMap& appSettings)
{
    const QVariantMap server = appSettings.value(JsonKey::proctorServer).toMap();
    QUrl url(server.value(JsonKey::url).toString(), QUrl::TolerantMode);
    if ((url.scheme() == QLatin1String("http") && url.port() == 80)
        || (url.scheme() == QLatin1String("https") && url.port() == 443))
        url.setPort(-1);
    return url;
}

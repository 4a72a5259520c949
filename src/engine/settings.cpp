#include "engine/oxbell.h"
#include "engine/names.h"
#include "engine/settingsfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonParseError>
#include <QStandardPaths>

namespace {
// Credentials never reach the log in clear text.
QJsonValue maskPasswords(const QJsonValue& value)
{
    if (value.isObject()) {
        QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (it.key() == JsonKey::password)
                it.value() = QStringLiteral("********");
            else
                it.value() = maskPasswords(it.value());
        }
        return object;
    }
    if (value.isArray()) {
        QJsonArray array = value.toArray();
        for (auto it = array.begin(); it != array.end(); ++it)
            *it = maskPasswords(*it);
        return array;
    }
    return value;
}

QByteArray maskedText(const QJsonDocument& document)
{
    if (document.isObject())
        return QJsonDocument(maskPasswords(document.object()).toObject()).toJson();
    if (document.isArray())
        return QJsonDocument(maskPasswords(document.array()).toArray()).toJson();
    return document.toJson();
}
}

QString Oxbell::settingsDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::ConfigLocation) + QStringLiteral("/oxbell");
}

QJsonObject Oxbell::defaultAppSettings()
{
    return {{JsonKey::proctorServer, QJsonObject{{JsonKey::url, QStringLiteral(OXBELL_DEFAULT_SERVER_URL)}}}};
}

QJsonObject Oxbell::defaultUserSettings()
{
    const QJsonObject servers{{QStringLiteral("web1"),
                               QJsonObject{{JsonKey::address, QStringLiteral("localhost")},
                                           {JsonKey::port, QStringLiteral("8082")}}},
                              {QStringLiteral("dbnode1"),
                               QJsonObject{{JsonKey::address, QStringLiteral("localhost")},
                                           {JsonKey::port, QStringLiteral("27017")}}}};
    const QJsonObject proxy{{JsonKey::type, QStringLiteral("none")},
                            {JsonKey::host, QStringLiteral("localhost")},
                            {JsonKey::port, QStringLiteral("80")}};
    return {{JsonKey::servers, servers}, {JsonKey::proxy, proxy}};
}

void Oxbell::ensureSettingsDirExists()
{
    qDebug() << "ensuring settings directory exists at" << settingsDir();
    QDir().mkpath(settingsDir());
}

void Oxbell::ensureAppSettingsExists(const QString& fileName)
{
    const QString path = settingsDir() + QLatin1Char('/') + fileName;
    qDebug() << "Looking for settings file at" << path;
    if (QFile::exists(path)) {
        qDebug() << "Settings file found.";
        return;
    }
    qDebug() << "Settings file not found! Writing default version.";
    const QByteArray text = QJsonDocument(defaultAppSettings()).toJson();
    // Like the user file: neither is anybody else's to read or to point elsewhere.
    SettingsFile file(path);
    file.setOwnerOnly(true);
    if (!file.write(text)) {
        errorMessage(QStringLiteral("Error saving settings to ") + path + QLatin1Char(' ') + file.errorString(), false);
        return;
    }
    qDebug() << "Wrote" << QString::fromUtf8(text);
}

void Oxbell::ensureUserSettingsExists(const QString& fileName)
{
    const QString path = settingsDir() + QLatin1Char('/') + fileName;
    qDebug() << "Ensuring user settings file exists:" << path;
    if (QFile::exists(path)) {
        qDebug() << "Found settings file.";
        return;
    }
    qDebug() << "Settings file not found. Writing default.";
    const QByteArray text = QJsonDocument(defaultUserSettings()).toJson();
    qDebug() << "Writing:" << QString::fromUtf8(text);
    // The user file may hold proxy credentials: readable by its owner only.
    SettingsFile file(path);
    file.setOwnerOnly(true);
    if (!file.write(text))
        errorMessage(QStringLiteral("Error saving settings to ") + path + QLatin1Char(' ') + file.errorString(), false);
}

QVariantMap Oxbell::getSettings(QString fileName)
{
    const QString path = settingsDir() + QLatin1Char('/') + fileName;
    qDebug() << "Reading settings file at:" << path;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        errorMessage(QStringLiteral("Failed to open settings file: ") + path + QLatin1Char(' ') + file.errorString(),
                     true);
        return {};
    }
    // The user file may hold proxy credentials: one that an earlier version left readable by others
    // is closed to them.
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
        | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    if (fileName == SettingsFileName::user && (file.permissions() & others))
        file.setPermissions(file.permissions() & ~others);
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    qDebug() << "Read:" << QString::fromUtf8(maskedText(document));
    if (parseError.error != QJsonParseError::NoError) {
        errorMessage(QStringLiteral("Malformed settings file: ") + path + QLatin1Char(' ') + parseError.errorString(),
                     true);
        return {};
    }
    return document.object().toVariantMap();
}

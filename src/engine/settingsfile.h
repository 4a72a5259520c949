#pragma once

#include <QByteArray>
#include <QString>

// A settings file that is replaced whole or not at all: a failed or interrupted write leaves the
// previous contents in place.
class SettingsFile {
public:
    explicit SettingsFile(const QString& path);

    const QString& path() const { return filePath; }
    // Files that may hold credentials are readable by their owner only.
    void setOwnerOnly(bool ownerOnly) { ownerOnlyAccess = ownerOnly; }

    // False when the file could not be replaced; errorString() then tells why.
    bool write(const QByteArray& contents);
    const QString& errorString() const { return error; }

private:
    QString filePath;
    QString error;
    bool ownerOnlyAccess = false;
};

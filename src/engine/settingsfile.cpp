#include "engine/settingsfile.h"
#include "engine/privatefile.h"

#include <QSaveFile>

SettingsFile::SettingsFile(const QString& path)
    : filePath(path)
{
}

bool SettingsFile::write(const QByteArray& contents)
{
    error.clear();
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly)) {
        error = file.errorString();
        return false;
    }
    // Restricted before the first byte goes in, so the contents are never readable by others.
    if (ownerOnlyAccess && !privatefile::restrict(file)) {
        error = file.errorString();
        file.cancelWriting();
        return false;
    }
    // commit() overlooks a failure of its own final flush (the disk filling up part-way) and would
    // put the cut-short file in place, so the flush is checked first.
    if (file.write(contents) != contents.size() || !file.flush() || !file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

#include "engine/privatefile.h"

#include <QFile>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace privatefile {

bool openForAppending(QFile& file, bool text)
{
    const QIODevice::OpenMode mode
        = QIODevice::WriteOnly | QIODevice::Append | (text ? QIODevice::Text : QIODevice::NotOpen);
#ifdef Q_OS_WIN
    return file.open(mode);
#else
    const int descriptor = ::open(QFile::encodeName(file.fileName()).constData(),
                                  O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    struct stat status = {};
    if (descriptor >= 0 && ::fstat(descriptor, &status) == 0 && (status.st_mode & (S_IRWXG | S_IRWXO)))
        ::fchmod(descriptor, status.st_mode & S_IRWXU);
    const bool opened = descriptor >= 0 && file.open(descriptor, mode, QFileDevice::AutoCloseHandle);
    if (descriptor >= 0 && !opened)
        ::close(descriptor);
    return opened;
#endif
}

bool restrict(QFileDevice& file)
{
#ifdef Q_OS_WIN
    Q_UNUSED(file)
    return true;
#else
    return file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
#endif
}

void restrictFolder(const QString& path)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path)
#else
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
#endif
}

}

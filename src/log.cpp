#include "log.h"
#include "engine/privatefile.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QStandardPaths>
#include <QTextStream>

#include <cstdlib>

QTextStream* logStream = nullptr;

namespace {
QFile* logFile = nullptr;
QBasicMutex logMutex;

const char* levelTag(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "[Debug]";
    case QtInfoMsg:
        return "[Info]";
    case QtWarningMsg:
        return "[Warning]";
    case QtCriticalMsg:
        return "[Critical]";
    case QtFatalMsg:
        return "[Fatal]";
    }
    return "";
}
}

void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    {
        // Qt's own worker threads (the network access manager's among them) may log too.
        const QMutexLocker locker(&logMutex);
        if (logStream) {
            *logStream << QDateTime::currentDateTime().toString(QStringLiteral("yyyy.MM.dd hh:mm:ss")) << levelTag(type)
                       << '(' << context.file << ':' << context.line << ") " << message << Qt::endl;
        }
    }
    if (type == QtFatalMsg)
        std::exit(1);
}

QString logFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + QStringLiteral("/oxbell.log");
}

void openLog()
{
    const QString path = logFilePath();
    QDir().mkpath(QFileInfo(path).path());

    // Heap objects on purpose: a process that ends through exit() (a parser error, a fatal
    // message) must never see them destroyed while a message can still arrive.
    auto* file = new QFile(path);
    // It holds the student's e-mail address, catalogue and grades.
    const bool opened = privatefile::openForAppending(*file, true);
    if (!opened) {
        delete file;
        qWarning() << "Error opening log file '" << path << "'. All debug output redirected to console.";
        return;
    }
    logFile = file;
    logStream = new QTextStream(logFile);
    logStream->setCodec("UTF-8");
    qInstallMessageHandler(messageHandler);
}

void closeLog()
{
    qInstallMessageHandler(nullptr);
    // A message of another thread may still be on its way into the stream.
    const QMutexLocker locker(&logMutex);
    delete logStream;
    logStream = nullptr;
    delete logFile;
    logFile = nullptr;
}

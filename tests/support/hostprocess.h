#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpSocket>

// Under Wine, the practice server of the build machine, started through support/hostbroker.py (its
// port in OXBELL_HOST_BROKER_PORT): the part of QProcess that PracticeServer uses. Without a
// standard error file, standard error comes with the output.
class HostProcess {
public:
    void setStandardErrorFile(const QString& fileName, QIODevice::OpenMode) { errorFile = fileName; }
    void start(const QString& program, const QStringList& arguments);
    QProcess::ProcessState state() const;
    bool canReadLine() const { return !lines.isEmpty(); }
    QByteArray readLine();
    bool waitForReadyRead(int msecs);
    bool waitForFinished(int msecs);
    void terminate() { command("terminate"); }
    void kill() { command("kill"); }
    QProcess::ExitStatus exitStatus() const { return code >= 0 ? QProcess::NormalExit : QProcess::CrashExit; }
    int exitCode() const { return code; }
    QString errorString() const { return error; }
    QByteArray readAllStandardError();
    qint64 processId() const { return 0; }

private:
    // Takes the broker's messages for up to `msecs`; false when none came.
    bool receive(int msecs);
    void command(const QByteArray& name);

    QString errorFile;
    QTcpSocket socket;
    QList<QByteArray> lines;
    bool finished = false;
    int code = -1;
    QString error;
};

#include "support/hostprocess.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

void HostProcess::start(const QString& program, const QStringList& arguments)
{
    const int port = qEnvironmentVariableIntValue("OXBELL_HOST_BROKER_PORT");
    socket.connectToHost(QHostAddress::LocalHost, quint16(port));
    if (port == 0 || !socket.waitForConnected(10000)) {
        error = QStringLiteral("no broker for %1 (OXBELL_HOST_BROKER_PORT %2): %3")
                    .arg(program)
                    .arg(port)
                    .arg(socket.errorString());
        finished = true;
        return;
    }
    const QJsonObject request{{QStringLiteral("program"), program},
                              {QStringLiteral("arguments"), QJsonArray::fromStringList(arguments)},
                              {QStringLiteral("stderr"), errorFile}};
    socket.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    socket.flush();
}

QProcess::ProcessState HostProcess::state() const
{
    return finished ? QProcess::NotRunning : QProcess::Running;
}

QByteArray HostProcess::readLine()
{
    return lines.isEmpty() ? QByteArray() : lines.takeFirst();
}

bool HostProcess::waitForReadyRead(int msecs)
{
    const QDeadlineTimer deadline(msecs);
    while (lines.isEmpty() && !finished)
        if (!receive(int(deadline.remainingTime())))
            return false;
    return !lines.isEmpty();
}

bool HostProcess::waitForFinished(int msecs)
{
    const QDeadlineTimer deadline(msecs);
    while (!finished)
        if (!receive(int(deadline.remainingTime())))
            return false;
    return true;
}

QByteArray HostProcess::readAllStandardError()
{
    QByteArray all;
    while (!lines.isEmpty())
        all += lines.takeFirst();
    return all;
}

bool HostProcess::receive(int msecs)
{
    if (!socket.canReadLine() && !socket.waitForReadyRead(msecs)) {
        if (socket.state() != QAbstractSocket::ConnectedState) {
            error = QStringLiteral("the broker closed the connection");
            finished = true;
        }
        return false;
    }
    while (socket.canReadLine()) {
        const QJsonObject message = QJsonDocument::fromJson(socket.readLine()).object();
        if (message.contains(QStringLiteral("out"))) {
            lines.append(message.value(QStringLiteral("out")).toString().toUtf8());
        } else {
            code = message.value(QStringLiteral("exit")).toInt(-1);
            finished = true;
        }
    }
    return true;
}

void HostProcess::command(const QByteArray& name)
{
    if (socket.state() == QAbstractSocket::ConnectedState) {
        socket.write(name + '\n');
        socket.flush();
    }
}

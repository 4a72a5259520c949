#include "engine/servercheck.h"

#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>

ServerCheck::ServerCheck(const QList<Server>& toCheck, int timeLimitMs, QObject* parent)
    : QObject(parent)
    , servers(toCheck)
    , timeoutMs(timeLimitMs)
{
    outcomes.fill(Unreachable, servers.size());
    for (const Server& server : servers)
        reasons.append(server.listed ? QStringLiteral("the port is not a number from 1 to 65535")
                                     : QStringLiteral("not in your server list"));
    // A connection may fail inside connectToHost (no route, no IPv6): the tries start from the event
    // loop, once the caller has connected to finished.
    QTimer::singleShot(0, this, &ServerCheck::begin);
    QTimer::singleShot(timeoutMs, this, &ServerCheck::finish);
}

void ServerCheck::begin()
{
    QVector<quint16> ports(servers.size());
    for (int i = 0; i < servers.size(); ++i) {
        bool numeric = false;
        const uint port = servers.at(i).port.toUInt(&numeric);
        if (servers.at(i).listed && numeric && port > 0 && port <= 65535) {
            ports[i] = quint16(port);
            // Marked before any try starts, so that one failing at once does not end the check.
            outcomes[i] = Trying;
        }
    }
    for (int i = 0; i < servers.size() && !done; ++i) {
        if (outcomes.at(i) != Trying)
            continue;
        auto* socket = new QTcpSocket(this);
        // The student's servers are reached the way the grading script reaches them: directly.
        socket->setProxy(QNetworkProxy::NoProxy);
        connect(socket, &QTcpSocket::connected, this, [this, i, socket] {
            outcomes[i] = Reached;
            socket->abort();
            tryEnded();
        });
        connect(socket, &QTcpSocket::errorOccurred, this, [this, i, socket] {
            if (outcomes[i] == Trying) {
                outcomes[i] = Unreachable;
                reasons[i] = socket->errorString();
            }
            tryEnded();
        });
        socket->connectToHost(servers.at(i).address, ports.at(i));
    }
    tryEnded();
}

QString ServerCheck::describe(const Server& server)
{
    if (!server.listed)
        return server.name + QStringLiteral(" (not in your server list)");
    return server.name + QStringLiteral(" (") + server.address + QLatin1Char(':') + server.port + QLatin1Char(')');
}

void ServerCheck::tryEnded()
{
    if (!outcomes.contains(Trying))
        finish();
}

void ServerCheck::finish()
{
    if (done)
        return;
    done = true;
    QStringList unreachable;
    for (int i = 0; i < servers.size(); ++i) {
        if (outcomes.at(i) == Trying) {
            outcomes[i] = Unreachable;
            reasons[i] = QStringLiteral("no answer within %1 s").arg(timeoutMs / 1000);
        }
        if (outcomes.at(i) != Reached)
            unreachable.append(describe(servers.at(i)));
    }
    // Tries still under way end here.
    for (QTcpSocket* socket : findChildren<QTcpSocket*>())
        socket->abort();
    emit finished(unreachable);
}

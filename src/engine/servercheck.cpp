#include "engine/servercheck.h"

#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>

ServerCheck::ServerCheck(const QList<Server>& toCheck, int timeoutMs, QObject* parent)
    : QObject(parent)
    , servers(toCheck)
{
    outcomes.fill(Unreachable, servers.size());
    for (int i = 0; i < servers.size(); ++i) {
        const Server& server = servers.at(i);
        bool numeric = false;
        const uint port = server.port.toUInt(&numeric);
        if (!server.listed || !numeric || port == 0 || port > 65535)
            continue;
        outcomes[i] = Trying;
        auto* socket = new QTcpSocket(this);
        // The student's servers are reached the way the grading script reaches them: directly.
        socket->setProxy(QNetworkProxy::NoProxy);
        connect(socket, &QTcpSocket::connected, this, [this, i, socket] {
            outcomes[i] = Reached;
            socket->abort();
            tryEnded();
        });
        connect(socket, &QTcpSocket::errorOccurred, this, [this, i] {
            if (outcomes[i] == Trying)
                outcomes[i] = Unreachable;
            tryEnded();
        });
        socket->connectToHost(server.address, quint16(port));
    }
    QTimer::singleShot(timeoutMs, this, &ServerCheck::finish);
    // Nothing to wait for: the answer still comes from the event loop, as the caller expects.
    QTimer::singleShot(0, this, &ServerCheck::tryEnded);
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
        if (outcomes.at(i) != Reached)
            unreachable.append(describe(servers.at(i)));
    }
    // Tries still under way end here.
    for (QTcpSocket* socket : findChildren<QTcpSocket*>())
        socket->abort();
    emit finished(unreachable);
}

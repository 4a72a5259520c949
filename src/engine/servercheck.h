#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

// Tries a TCP connection to each of the student's servers that a problem needs, all at once, and
// reports those that cannot be reached once every try has ended or the time is up.
class ServerCheck : public QObject {
    Q_OBJECT

public:
    struct Server {
        QString name;
        bool listed = false; // false: the name is not in the student's server list
        QString address;
        QString port; // as the settings hold it
    };

    ServerCheck(const QList<Server>& servers, int timeoutMs, QObject* parent);

    // "web1 (localhost:8082)", or "web1 (not in your server list)".
    static QString describe(const Server& server);

    // After finished: whether servers[index] accepted a connection, and why not when it did not.
    bool reached(int index) const { return outcomes.value(index) == Reached; }
    QString reason(int index) const { return reasons.value(index); }

signals:
    // Each server that cannot be reached, described; empty when all can. Emitted once, from the
    // event loop.
    void finished(const QStringList& unreachable);

private:
    void begin();
    void tryEnded();
    void finish();

    enum Outcome { Trying, Reached, Unreachable };

    QList<Server> servers;
    QVector<Outcome> outcomes; // by index of servers
    QStringList reasons; // by index of servers
    int timeoutMs;
    bool done = false;
};

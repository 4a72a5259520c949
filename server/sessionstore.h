#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <map>
#include <mutex>

// Session state of one client, bound to its cookie: the AES key and IV that the client sent under
// the server's RSA key, and the account it logged in to. Kept in memory only.
struct Session {
    QByteArray iv;
    QByteArray key;
    qint64 user = -1;
    QString email;

    bool hasKeys() const { return !iv.isEmpty() && !key.isEmpty(); }
    bool loggedIn() const { return user >= 0; }
};

// Thread-safe map from cookie tokens to sessions. Sessions idle for longer than the idle limit are
// dropped, and the number of sessions is bounded (the least recently used goes first).
class SessionStore {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::hours idleLimit{12};
    static constexpr size_t maxSessions = 10000;

    // A new empty session; its token is the cookie value.
    QByteArray create();
    // A copy of the session, false when the token is unknown or expired.
    bool find(const QByteArray& token, Session* out);

    // Each change of the IV or the key ends the login: a new negotiation starts a new session.
    bool setIv(const QByteArray& token, const QByteArray& iv);
    bool setKey(const QByteArray& token, const QByteArray& key);
    bool setUser(const QByteArray& token, qint64 user, const QString& email);

private:
    struct Entry {
        Session session;
        Clock::time_point lastUse;
    };
    Entry* entry(const QByteArray& token, Clock::time_point now);
    void makeRoom(Clock::time_point now);

    std::mutex mutex;
    std::map<QByteArray, Entry> sessions;
};

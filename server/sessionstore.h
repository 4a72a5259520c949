#pragma once

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <string>

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
// dropped, and the table is bounded. When it is full, a session that never logged in goes before a
// logged-in one (the least recently used first), and one client address never holds more than a
// quarter of the table: flooding it from one address, or with sessions that never log in, cannot
// push out the students who are logged in.
class SessionStore {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::hours idleLimit{12};
    static constexpr size_t defaultLimit = 10000;

    explicit SessionStore(size_t limit = defaultLimit);

    size_t limit() const { return maxSessions; }
    size_t sharePerAddress() const { return std::max<size_t>(1, maxSessions / 4); }

    // A new empty session for a client at `address`; its token is the cookie value.
    QByteArray create(const std::string& address);
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
        std::string address;
    };
    Entry* entry(const QByteArray& token, Clock::time_point now);
    void makeRoom(const std::string& address, Clock::time_point now);

    const size_t maxSessions;
    std::mutex mutex;
    std::map<QByteArray, Entry> sessions;
};

#pragma once

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <chrono>
#include <functional>
#include <list>
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

// Thread-safe map from cookie tokens to sessions. A session idle for longer than idleLimit is
// dropped. The table is bounded, and a full table makes room by its least valuable sessions: one
// that never negotiated both keys goes first, then one that negotiated but never logged in, the
// least recently used first. A logged-in session leaves only by its idle time, or when its account
// logs in more than perAccount times: then the account's least recently used session goes. No
// bound counts client addresses, since every client of this machine comes from the same one.
class SessionStore {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    static constexpr std::chrono::hours idleLimit{12};
    static constexpr size_t defaultLimit = 10000;
    // Logged-in sessions of one account: enough for a student's clients and their restarts, few
    // enough that filling the table needs hundreds of accounts.
    static constexpr size_t perAccount = 32;

    explicit SessionStore(size_t limit = defaultLimit, Now now = Clock::now);

    size_t limit() const { return maxSessions; }

    // A new empty session; its token is the cookie value. Empty when every place is held by a
    // logged-in session (or the system has no random bytes to give).
    QByteArray create();
    // A copy of the session, false when the token is unknown or expired.
    bool find(const QByteArray& token, Session* out);

    // Each change of the IV or the key ends the login: a new negotiation starts a new session.
    bool setIv(const QByteArray& token, const QByteArray& iv);
    bool setKey(const QByteArray& token, const QByteArray& key);
    bool setUser(const QByteArray& token, qint64 user, const QString& email);

private:
    enum Stage { Opened, Negotiated, LoggedIn, stageCount };
    using Queue = std::list<QByteArray>; // tokens, least recently used first
    struct Entry {
        Session session;
        Clock::time_point lastUse;
        Stage stage = Opened;
        Queue::iterator place; // in the queue of its stage
        Queue::iterator ofAccount; // in its account's queue, when logged in
    };
    // The live entry of `token`, marked as used now; null when unknown or expired.
    Entry* use(const QByteArray& token);
    // Takes the entry out of its queues before its session changes, and puts it back after.
    void unlink(Entry& entry);
    void link(const QByteArray& token, Entry& entry);
    void drop(const QByteArray& token);

    const size_t maxSessions;
    const Now now;
    std::mutex mutex;
    std::map<QByteArray, Entry> sessions;
    Queue queues[stageCount];
    std::map<qint64, Queue> byAccount;
};

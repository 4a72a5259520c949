#include "sessionstore.h"

#include <openssl/rand.h>

#include <algorithm>

constexpr std::chrono::hours SessionStore::idleLimit;
constexpr size_t SessionStore::maxSessions;

QByteArray SessionStore::create()
{
    QByteArray random(32, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char*>(random.data()), random.size()) != 1)
        return {};
    const QByteArray token = random.toHex();
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    makeRoom(now);
    sessions[token] = Entry{Session{}, now};
    return token;
}

bool SessionStore::find(const QByteArray& token, Session* out)
{
    std::lock_guard<std::mutex> lock(mutex);
    const Entry* found = entry(token, Clock::now());
    if (found)
        *out = found->session;
    return found;
}

bool SessionStore::setIv(const QByteArray& token, const QByteArray& iv)
{
    std::lock_guard<std::mutex> lock(mutex);
    Entry* found = entry(token, Clock::now());
    if (found)
        found->session = Session{iv, found->session.key, -1, {}};
    return found;
}

bool SessionStore::setKey(const QByteArray& token, const QByteArray& key)
{
    std::lock_guard<std::mutex> lock(mutex);
    Entry* found = entry(token, Clock::now());
    if (found)
        found->session = Session{found->session.iv, key, -1, {}};
    return found;
}

bool SessionStore::setUser(const QByteArray& token, qint64 user, const QString& email)
{
    std::lock_guard<std::mutex> lock(mutex);
    Entry* found = entry(token, Clock::now());
    if (found) {
        found->session.user = user;
        found->session.email = email;
    }
    return found;
}

SessionStore::Entry* SessionStore::entry(const QByteArray& token, Clock::time_point now)
{
    const auto found = sessions.find(token);
    if (found == sessions.end())
        return nullptr;
    if (now - found->second.lastUse > idleLimit) {
        sessions.erase(found);
        return nullptr;
    }
    found->second.lastUse = now;
    return &found->second;
}

void SessionStore::makeRoom(Clock::time_point now)
{
    if (sessions.size() < maxSessions)
        return;
    for (auto it = sessions.begin(); it != sessions.end();) {
        if (now - it->second.lastUse > idleLimit)
            it = sessions.erase(it);
        else
            ++it;
    }
    if (sessions.size() < maxSessions)
        return;
    const auto oldest = std::min_element(sessions.begin(), sessions.end(), [](const auto& a, const auto& b) {
        return a.second.lastUse < b.second.lastUse;
    });
    sessions.erase(oldest);
}

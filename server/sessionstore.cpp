#include "sessionstore.h"

#include <openssl/rand.h>

#include <algorithm>

constexpr std::chrono::hours SessionStore::idleLimit;
constexpr size_t SessionStore::defaultLimit;

SessionStore::SessionStore(size_t limit)
    : maxSessions(std::max<size_t>(1, limit))
{
}

QByteArray SessionStore::create(const std::string& address)
{
    QByteArray random(32, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char*>(random.data()), random.size()) != 1)
        return {};
    const QByteArray token = random.toHex();
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    makeRoom(address, now);
    sessions[token] = Entry{Session{}, now, address};
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

void SessionStore::makeRoom(const std::string& address, Clock::time_point now)
{
    // Which of two sessions to give up first: one that never logged in, then the least recently used.
    const auto lessValuable = [](const Entry& a, const Entry& b) {
        if (a.session.loggedIn() != b.session.loggedIn())
            return !a.session.loggedIn();
        return a.lastUse < b.lastUse;
    };
    size_t ofAddress = 0;
    auto cheapest = sessions.end();
    auto cheapestOfAddress = sessions.end();
    for (auto it = sessions.begin(); it != sessions.end();) {
        if (now - it->second.lastUse > idleLimit) {
            it = sessions.erase(it);
            continue;
        }
        if (cheapest == sessions.end() || lessValuable(it->second, cheapest->second))
            cheapest = it;
        if (it->second.address == address) {
            ++ofAddress;
            if (cheapestOfAddress == sessions.end() || lessValuable(it->second, cheapestOfAddress->second))
                cheapestOfAddress = it;
        }
        ++it;
    }
    if (ofAddress >= sharePerAddress())
        sessions.erase(cheapestOfAddress);
    else if (sessions.size() >= maxSessions)
        sessions.erase(cheapest);
}

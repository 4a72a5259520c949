#include "sessionstore.h"

#include <openssl/rand.h>

#include <algorithm>

constexpr std::chrono::hours SessionStore::idleLimit;
constexpr size_t SessionStore::defaultLimit;
constexpr size_t SessionStore::perAccount;

SessionStore::SessionStore(size_t limit, Now clock)
    : maxSessions(std::max<size_t>(1, limit))
    , now(std::move(clock))
{
}

QByteArray SessionStore::create()
{
    QByteArray random(32, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char*>(random.data()), random.size()) != 1)
        return {};
    const QByteArray token = random.toHex();
    const Clock::time_point time = now();
    std::lock_guard<std::mutex> lock(mutex);
    // Each queue holds its least recently used session first, so the idle ones lie at the fronts.
    for (Queue& queue : queues) {
        while (!queue.empty() && time - sessions.at(queue.front()).lastUse > idleLimit)
            drop(queue.front());
    }
    if (sessions.size() >= maxSessions) {
        if (!queues[Opened].empty())
            drop(queues[Opened].front());
        else if (!queues[Negotiated].empty())
            drop(queues[Negotiated].front());
        else
            return {};
    }
    Entry& entry = sessions[token];
    entry.lastUse = time;
    link(token, entry);
    return token;
}

bool SessionStore::find(const QByteArray& token, Session* out)
{
    std::lock_guard<std::mutex> lock(mutex);
    const Entry* found = use(token);
    if (found)
        *out = found->session;
    return found;
}

bool SessionStore::setIv(const QByteArray& token, const QByteArray& iv)
{
    std::lock_guard<std::mutex> lock(mutex);
    Entry* found = use(token);
    if (found) {
        unlink(*found);
        found->session = Session{iv, found->session.key, -1, {}};
        link(token, *found);
    }
    return found;
}

bool SessionStore::setKey(const QByteArray& token, const QByteArray& key)
{
    std::lock_guard<std::mutex> lock(mutex);
    Entry* found = use(token);
    if (found) {
        unlink(*found);
        found->session = Session{found->session.iv, key, -1, {}};
        link(token, *found);
    }
    return found;
}

bool SessionStore::setUser(const QByteArray& token, qint64 user, const QString& email)
{
    std::lock_guard<std::mutex> lock(mutex);
    Entry* found = use(token);
    if (!found)
        return false;
    unlink(*found);
    found->session.user = user;
    found->session.email = email;
    link(token, *found);
    // The session just linked is the account's most recent, so it is never the one that goes.
    const Queue& ofAccount = byAccount[user];
    if (ofAccount.size() > perAccount)
        drop(ofAccount.front());
    return true;
}

SessionStore::Entry* SessionStore::use(const QByteArray& token)
{
    const auto found = sessions.find(token);
    if (found == sessions.end())
        return nullptr;
    const Clock::time_point time = now();
    if (time - found->second.lastUse > idleLimit) {
        drop(token);
        return nullptr;
    }
    Entry& entry = found->second;
    entry.lastUse = time;
    queues[entry.stage].splice(queues[entry.stage].end(), queues[entry.stage], entry.place);
    if (entry.stage == LoggedIn) {
        Queue& ofAccount = byAccount[entry.session.user];
        ofAccount.splice(ofAccount.end(), ofAccount, entry.ofAccount);
    }
    return &entry;
}

void SessionStore::unlink(Entry& entry)
{
    queues[entry.stage].erase(entry.place);
    if (entry.stage != LoggedIn)
        return;
    const auto account = byAccount.find(entry.session.user);
    account->second.erase(entry.ofAccount);
    if (account->second.empty())
        byAccount.erase(account);
}

void SessionStore::link(const QByteArray& token, Entry& entry)
{
    entry.stage = entry.session.loggedIn() ? LoggedIn : entry.session.hasKeys() ? Negotiated : Opened;
    Queue& queue = queues[entry.stage];
    entry.place = queue.insert(queue.end(), token);
    if (entry.stage == LoggedIn) {
        Queue& ofAccount = byAccount[entry.session.user];
        entry.ofAccount = ofAccount.insert(ofAccount.end(), token);
    }
}

void SessionStore::drop(const QByteArray& token)
{
    const auto found = sessions.find(token);
    unlink(found->second);
    sessions.erase(found);
}

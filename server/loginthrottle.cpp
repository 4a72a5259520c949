#include "loginthrottle.h"

#include <algorithm>

constexpr int LoginThrottle::freeFailures;
constexpr int LoginThrottle::accountFreeFailures;
constexpr std::chrono::seconds LoginThrottle::firstLock;
constexpr std::chrono::seconds LoginThrottle::maxLock;
constexpr std::chrono::hours LoginThrottle::forgetAfter;
constexpr std::chrono::hours LoginThrottle::trustFor;
constexpr size_t LoginThrottle::maxEntries;
constexpr std::chrono::seconds LoginThrottle::slotWait;

template <typename Key> LoginThrottle::Count& LoginThrottle::Table<Key>::at(const Key& key)
{
    const auto found = index.find(key);
    if (found != index.end()) {
        order.splice(order.end(), order, found->second);
        return found->second->second;
    }
    // An account whose password is being checked is never forgotten: its slot would open.
    for (size_t tries = 0; index.size() >= maxEntries && tries < order.size(); ++tries) {
        if (order.front().second.checking) {
            order.splice(order.end(), order, order.begin());
            continue;
        }
        index.erase(order.front().first);
        order.pop_front();
    }
    order.emplace_back(key, Count());
    index.emplace(key, std::prev(order.end()));
    return order.back().second;
}

LoginThrottle::LoginThrottle(Now clock, std::chrono::milliseconds wait)
    : now(std::move(clock))
    , busyWait(wait)
{
}

LoginThrottle::Attempt LoginThrottle::begin(const QString& email, const std::string& source)
{
    const QString account = email.toCaseFolded();
    const auto giveUp = std::chrono::steady_clock::now() + busyWait;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        const Clock::time_point time = now();
        Count& total = accounts.at(account);
        Count& pair = pairs.at({account, source});
        forgetStale(total, time);
        forgetStale(pair, time);
        if (pair.lockedUntil > time)
            return Attempt(nullptr, Verdict::Locked, secondsUntil(pair.lockedUntil, time), account, source);
        if (total.lockedUntil > time && pair.trustedUntil <= time)
            return Attempt(nullptr, Verdict::Locked, secondsUntil(total.lockedUntil, time), account, source);
        if (!total.checking) {
            total.checking = true;
            return Attempt(this, Verdict::Admitted, 0, account, source);
        }
        // What the check under way leaves behind decides this attempt too.
        if (slotFreed.wait_until(lock, giveUp) == std::cv_status::timeout)
            return Attempt(nullptr, Verdict::Busy, 1, account, source);
    }
}

void LoginThrottle::finish(const QString& account, const std::string& source, bool succeeded)
{
    const Clock::time_point time = now();
    std::lock_guard<std::mutex> lock(mutex);
    Count& total = accounts.at(account);
    Count& pair = pairs.at({account, source});
    total.checking = false;
    slotFreed.notify_all();
    if (succeeded) {
        pair.failures = 0;
        pair.lockedUntil = {};
        pair.trustedUntil = time + trustFor;
        return;
    }
    fail(pair, freeFailures, time);
    fail(total, accountFreeFailures, time);
}

void LoginThrottle::forgetStale(Count& count, Clock::time_point time) const
{
    if (count.failures > 0 && time >= count.lockedUntil && time - count.last >= forgetAfter)
        count.failures = 0;
}

void LoginThrottle::fail(Count& count, int free, Clock::time_point time) const
{
    count.last = time;
    if (++count.failures < free)
        return;
    const int doublings = std::min(count.failures - free, 16);
    count.lockedUntil = time + std::min<std::chrono::seconds>(firstLock * (1 << doublings), maxLock);
}

int LoginThrottle::secondsUntil(Clock::time_point until, Clock::time_point time)
{
    return std::max(1, int(std::chrono::ceil<std::chrono::seconds>(until - time).count()));
}

LoginThrottle::Attempt::Attempt(LoginThrottle* owner, Verdict verdict, int wait, QString email, std::string from)
    : throttle(owner)
    , kind(verdict)
    , seconds(wait)
    , account(std::move(email))
    , source(std::move(from))
{
}

LoginThrottle::Attempt::Attempt(Attempt&& other) noexcept
    : throttle(other.throttle)
    , kind(other.kind)
    , seconds(other.seconds)
    , account(std::move(other.account))
    , source(std::move(other.source))
    , success(other.success)
{
    other.throttle = nullptr;
}

LoginThrottle::Attempt::~Attempt()
{
    if (throttle)
        throttle->finish(account, source, success);
}

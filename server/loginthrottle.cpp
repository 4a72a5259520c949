#include "loginthrottle.h"

#include <algorithm>

constexpr int LoginThrottle::freeFailures;
constexpr std::chrono::seconds LoginThrottle::firstLock;
constexpr std::chrono::seconds LoginThrottle::maxLock;
constexpr size_t LoginThrottle::maxAccounts;

int LoginThrottle::admit(const QString& email)
{
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = accounts.find(email.toCaseFolded());
    if (found == accounts.end() || now >= found->second.lockedUntil)
        return 0;
    return int(std::chrono::ceil<std::chrono::seconds>(found->second.lockedUntil - now).count());
}

void LoginThrottle::failed(const QString& email)
{
    const QString account = email.toCaseFolded();
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    auto found = accounts.find(account);
    if (found == accounts.end()) {
        if (accounts.size() >= maxAccounts) {
            const auto oldest = std::min_element(accounts.begin(), accounts.end(), [](const auto& a, const auto& b) {
                return a.second.last < b.second.last;
            });
            accounts.erase(oldest);
        }
        found = accounts.emplace(account, Failures()).first;
    }
    Failures& failures = found->second;
    // A quiet spell as long as the longest lock forgives earlier failures.
    if (now - failures.last > maxLock)
        failures.count = 0;
    failures.last = now;
    if (++failures.count >= freeFailures) {
        const int doublings = std::min(failures.count - freeFailures, 16);
        failures.lockedUntil = now + std::min<std::chrono::seconds>(firstLock * (1 << doublings), maxLock);
    }
}

void LoginThrottle::succeeded(const QString& email)
{
    std::lock_guard<std::mutex> lock(mutex);
    accounts.erase(email.toCaseFolded());
}

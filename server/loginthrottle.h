#pragma once

#include <QString>

#include <chrono>
#include <map>
#include <mutex>

// Slows down password guessing, per account. After freeFailures wrong passwords in a row the account
// refuses logins for a lock time that starts at firstLock and doubles with each further wrong
// password, up to maxLock; a right password ends the count. Refused attempts cost the server no
// password hash, and the lock is short enough that a student whose account someone else tries is
// kept waiting, not locked out.
class LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int freeFailures = 5;
    static constexpr std::chrono::seconds firstLock{30};
    static constexpr std::chrono::seconds maxLock{300};
    // Accounts remembered at most (unknown addresses count too); beyond it the oldest are forgotten.
    static constexpr size_t maxAccounts = 100000;

    // 0 when the account may try a password now, else the seconds to wait.
    int admit(const QString& email);
    void failed(const QString& email);
    void succeeded(const QString& email);

private:
    struct Failures {
        int count = 0;
        Clock::time_point lockedUntil;
        Clock::time_point last;
    };

    std::mutex mutex;
    std::map<QString, Failures> accounts;
};

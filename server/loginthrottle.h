#pragma once

#include <QString>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <utility>

// Slows down password guessing, counted for each account together with each client address, and
// for each account over all addresses. After freeFailures wrong passwords from one address, that
// address's logins to the account are refused for a lock time that starts at firstLock and
// doubles with each further wrong password, up to maxLock; after accountFreeFailures from all
// addresses together, the same holds for the whole account, except for addresses that logged in to
// it before. Counts are forgotten only after forgetAfter without a wrong password and no lock. A
// right password ends its address's count.
//
// Every attempt holds the account's single check slot from before its password is hashed until
// the answer is known, so concurrent attempts cannot slip past the count: one that comes while
// another is checked waits for the slot, up to slotWait, then is refused as busy without a hash.
class LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    static constexpr int freeFailures = 5;
    static constexpr int accountFreeFailures = 20;
    static constexpr std::chrono::seconds firstLock{30};
    static constexpr std::chrono::seconds maxLock{300};
    static constexpr std::chrono::hours forgetAfter{1};
    // How long an address that logged in passes the account's lock.
    static constexpr std::chrono::hours trustFor{30 * 24};
    // Entries remembered at most, of each kind; beyond it the least recently used are forgotten.
    static constexpr size_t maxEntries = 50000;
    // Time enough for a dozen logins of one account that come at once.
    static constexpr std::chrono::seconds slotWait{10};

    enum class Verdict { Admitted, Locked, Busy };

    // The outcome of begin(): when admitted, the account's check slot, freed when it goes out of
    // scope; the attempt counts as a wrong password unless succeeded() is called.
    class Attempt {
    public:
        Attempt(Attempt&& other) noexcept;
        Attempt(const Attempt&) = delete;
        Attempt& operator=(const Attempt&) = delete;
        Attempt& operator=(Attempt&&) = delete;
        ~Attempt();

        Verdict verdict() const { return kind; }
        // Seconds until a refused attempt may come again.
        int wait() const { return seconds; }
        void succeeded() { success = true; }

    private:
        friend class LoginThrottle;
        Attempt(LoginThrottle* owner, Verdict verdict, int wait, QString account, std::string source);

        LoginThrottle* throttle;
        Verdict kind;
        int seconds;
        QString account;
        std::string source;
        bool success = false;
    };

    // `wait` replaces slotWait; the clock only ever waits in real time.
    explicit LoginThrottle(Now now = Clock::now, std::chrono::milliseconds wait = slotWait);

    // `source` is the client as PeerAddress::source() counts it.
    Attempt begin(const QString& email, const std::string& source);

private:
    struct Count {
        int failures = 0;
        Clock::time_point last; // of the latest wrong password
        Clock::time_point lockedUntil;
        Clock::time_point trustedUntil; // pairs only
        bool checking = false; // accounts only
    };
    // Entries in least recently used order, with an index.
    template <typename Key> struct Table {
        std::list<std::pair<Key, Count>> order;
        std::map<Key, typename std::list<std::pair<Key, Count>>::iterator> index;

        // The entry of `key`, made when missing, moved to the recent end.
        Count& at(const Key& key);
    };
    using Pair = std::pair<QString, std::string>;

    void finish(const QString& account, const std::string& source, bool succeeded);
    void forgetStale(Count& count, Clock::time_point now) const;
    void fail(Count& count, int free, Clock::time_point now) const;
    static int secondsUntil(Clock::time_point until, Clock::time_point now);

    const Now now;
    const std::chrono::milliseconds busyWait;
    std::mutex mutex;
    std::condition_variable slotFreed;
    Table<QString> accounts;
    Table<Pair> pairs;
};

#pragma once

#include "coursedirectory.h"
#include "grade.h"

#include <QString>

#include <map>
#include <memory>
#include <mutex>

struct sqlite3;

// Accounts, grades and every turned-in attempt, in one SQLite file. One connection serves all
// threads, one operation at a time; a turn-in checks and records in a single transaction, so
// concurrent turn-ins never exceed a problem's attempts.
class Database {
public:
    enum class UserChange { Added, Updated, Failed };
    enum class TurnIn { Recorded, NoAttemptsLeft, StepLocked, Failed };

    static constexpr int maxEmailLength = 254;

    Database();
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Opens or creates the file; *error tells why it failed.
    bool open(const QString& path, QString* error);

    // Adds an account or sets the password of an existing one (e-mail addresses compare without case).
    UserChange setUser(const QString& email, const QString& password);
    // The account's id, or -1 for an unknown address or a wrong password.
    qint64 authenticate(const QString& email, const QString& password);

    // Every problem the account has turned in; false on a database error.
    bool progress(qint64 user, std::map<ProblemKey, Progress>* out);
    bool progressOf(qint64 user, const ProblemKey& key, Progress* out);

    // Records one attempt of a grade unless the attempts are used up or, in a multistep section,
    // the previous step (non-null) is not complete. The stored grade is the best of all attempts.
    // *after receives the problem's standing after the call.
    TurnIn turnIn(qint64 user, const Problem& problem, const ProblemKey* previousStep, const Grade& grade,
                  const QByteArray& state, Progress* after);

private:
    struct Close {
        void operator()(sqlite3* db) const;
    };
    bool execute(const char* sql);
    bool readProgress(qint64 user, const ProblemKey& key, Progress* out);
    void warn(const char* what) const;

    std::unique_ptr<sqlite3, Close> db;
    std::mutex mutex;
};

#include "database.h"

#include "passwordhash.h"

#include <QDateTime>
#include <QDebug>

#include <sqlite3.h>

namespace {
constexpr int schemaVersion = 1;

const char* const schema = R"sql(
CREATE TABLE users (
    id INTEGER PRIMARY KEY,
    email TEXT NOT NULL UNIQUE COLLATE NOCASE,
    salt BLOB NOT NULL,
    hash BLOB NOT NULL,
    iterations INTEGER NOT NULL
);
CREATE TABLE grades (
    user_id INTEGER NOT NULL REFERENCES users(id),
    course TEXT NOT NULL,
    week TEXT NOT NULL,
    section TEXT NOT NULL,
    problem TEXT NOT NULL,
    attempts INTEGER NOT NULL,
    earned REAL NOT NULL,
    complete INTEGER NOT NULL,
    PRIMARY KEY (user_id, course, week, section, problem)
);
CREATE TABLE submissions (
    id INTEGER PRIMARY KEY,
    user_id INTEGER NOT NULL REFERENCES users(id),
    course TEXT NOT NULL,
    week TEXT NOT NULL,
    section TEXT NOT NULL,
    problem TEXT NOT NULL,
    submitted_at INTEGER NOT NULL,
    earned REAL NOT NULL,
    complete INTEGER NOT NULL,
    state TEXT NOT NULL
);
)sql";

// A prepared statement, finalised when it goes out of scope.
class Statement {
public:
    Statement(sqlite3* db, const char* sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &handle, nullptr) != SQLITE_OK)
            handle = nullptr;
    }
    ~Statement() { sqlite3_finalize(handle); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool valid() const { return handle; }

    Statement& bind(const QString& text)
    {
        const QByteArray utf8 = text.toUtf8();
        sqlite3_bind_text(handle, ++bound, utf8.constData(), utf8.size(), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(const QByteArray& blob)
    {
        sqlite3_bind_blob(handle, ++bound, blob.constData(), blob.size(), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(qint64 number)
    {
        sqlite3_bind_int64(handle, ++bound, number);
        return *this;
    }
    Statement& bind(double number)
    {
        sqlite3_bind_double(handle, ++bound, number);
        return *this;
    }
    Statement& bind(const ProblemKey& key)
    {
        return bind(key.course).bind(key.week).bind(key.section).bind(key.problem);
    }

    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return handle ? sqlite3_step(handle) : SQLITE_ERROR; }

    qint64 integer(int column) const { return sqlite3_column_int64(handle, column); }
    double real(int column) const { return sqlite3_column_double(handle, column); }
    QString text(int column) const
    {
        return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(handle, column)),
                                 sqlite3_column_bytes(handle, column));
    }
    QByteArray blob(int column) const
    {
        return QByteArray(static_cast<const char*>(sqlite3_column_blob(handle, column)),
                          sqlite3_column_bytes(handle, column));
    }

private:
    sqlite3_stmt* handle = nullptr;
    int bound = 0;
};
}

void Database::Close::operator()(sqlite3* handle) const
{
    sqlite3_close_v2(handle);
}

Database::Database() = default;
Database::~Database() = default;

bool Database::open(const QString& path, QString* error)
{
    std::lock_guard<std::mutex> lock(mutex);
    sqlite3* handle = nullptr;
    const int opened
        = sqlite3_open_v2(path.toUtf8().constData(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    db.reset(handle);
    if (opened != SQLITE_OK) {
        *error
            = path + QStringLiteral(": ") + QString::fromUtf8(handle ? sqlite3_errmsg(handle) : sqlite3_errstr(opened));
        db.reset();
        return false;
    }
    sqlite3_busy_timeout(db.get(), 5000);
    sqlite3_extended_result_codes(db.get(), 1);

    // Read and create the schema inside one write transaction, so that two processes opening a new
    // file at once do not both create it.
    qint64 found = -1;
    bool ready = execute("BEGIN IMMEDIATE");
    if (ready) {
        Statement version(db.get(), "PRAGMA user_version");
        found = version.step() == SQLITE_ROW ? version.integer(0) : -1;
    }
    ready = ready
        && (found == schemaVersion
            || (found == 0 && execute(schema)
                && execute(QByteArray("PRAGMA user_version = " + QByteArray::number(schemaVersion)).constData())))
        && execute("COMMIT");
    if (!ready || !execute("PRAGMA journal_mode = WAL") || !execute("PRAGMA foreign_keys = ON")) {
        *error = path + QStringLiteral(": ")
            + (found > schemaVersion ? QStringLiteral("written by a newer server (schema %1)").arg(found)
                                     : QString::fromUtf8(sqlite3_errmsg(db.get())));
        execute("ROLLBACK");
        db.reset();
        return false;
    }
    return true;
}

bool Database::execute(const char* sql)
{
    char* message = nullptr;
    const bool done = sqlite3_exec(db.get(), sql, nullptr, nullptr, &message) == SQLITE_OK;
    sqlite3_free(message);
    return done;
}

void Database::warn(const char* what) const
{
    qWarning().noquote() << "database:" << what << "failed:" << QString::fromUtf8(sqlite3_errmsg(db.get()));
}

Database::UserChange Database::setUser(const QString& email, const QString& password)
{
    // The slow hash is made before the lock so that logins are not held up.
    const PasswordHash made = PasswordHash::make(password);
    if (made.hash.isEmpty())
        return UserChange::Failed;

    std::lock_guard<std::mutex> lock(mutex);
    Statement existing(db.get(), "SELECT id FROM users WHERE email = ?");
    existing.bind(email);
    const int found = existing.step();
    if (found != SQLITE_ROW && found != SQLITE_DONE) {
        warn("looking up an account");
        return UserChange::Failed;
    }
    Statement write(db.get(),
                    found == SQLITE_ROW ? "UPDATE users SET salt = ?, hash = ?, iterations = ? WHERE email = ?"
                                        : "INSERT INTO users (salt, hash, iterations, email) VALUES (?, ?, ?, ?)");
    write.bind(made.salt).bind(made.hash).bind(qint64(made.iterations)).bind(email);
    if (write.step() != SQLITE_DONE) {
        warn("writing an account");
        return UserChange::Failed;
    }
    return found == SQLITE_ROW ? UserChange::Updated : UserChange::Added;
}

qint64 Database::authenticate(const QString& email, const QString& password)
{
    PasswordHash stored;
    qint64 id = -1;
    {
        std::lock_guard<std::mutex> lock(mutex);
        Statement find(db.get(), "SELECT id, salt, hash, iterations FROM users WHERE email = ?");
        find.bind(email);
        if (find.step() == SQLITE_ROW) {
            id = find.integer(0);
            stored.salt = find.blob(1);
            stored.hash = find.blob(2);
            stored.iterations = int(find.integer(3));
        }
    }
    if (id < 0) {
        // As slow as a wrong password, so that answers do not tell which addresses have accounts.
        PasswordHash::make(password);
        return -1;
    }
    if (!stored.matches(password))
        return -1;
    if (stored.isOutdated()) {
        const PasswordHash made = PasswordHash::make(password);
        std::lock_guard<std::mutex> lock(mutex);
        // Only the hash just checked is replaced: a password set meanwhile stays.
        Statement upgrade(db.get(), "UPDATE users SET salt = ?, hash = ?, iterations = ? WHERE id = ? AND hash = ?");
        upgrade.bind(made.salt).bind(made.hash).bind(qint64(made.iterations)).bind(id).bind(stored.hash);
        if (made.hash.isEmpty() || upgrade.step() != SQLITE_DONE)
            warn("upgrading a password hash");
    }
    return id;
}

bool Database::progress(qint64 user, std::map<ProblemKey, Progress>* out)
{
    std::lock_guard<std::mutex> lock(mutex);
    Statement select(db.get(),
                     "SELECT course, week, section, problem, attempts, earned, complete "
                     "FROM grades WHERE user_id = ?");
    select.bind(user);
    int stepped;
    while ((stepped = select.step()) == SQLITE_ROW) {
        const ProblemKey key{select.text(0), select.text(1), select.text(2), select.text(3)};
        (*out)[key] = Progress{int(select.integer(4)), select.real(5), select.integer(6) != 0};
    }
    if (stepped != SQLITE_DONE) {
        warn("reading grades");
        return false;
    }
    return true;
}

bool Database::progressOf(qint64 user, const ProblemKey& key, Progress* out)
{
    std::lock_guard<std::mutex> lock(mutex);
    return readProgress(user, key, out);
}

bool Database::readProgress(qint64 user, const ProblemKey& key, Progress* out)
{
    Statement select(db.get(),
                     "SELECT attempts, earned, complete FROM grades "
                     "WHERE user_id = ? AND course = ? AND week = ? AND section = ? AND problem = ?");
    select.bind(user).bind(key);
    const int stepped = select.step();
    *out
        = stepped == SQLITE_ROW ? Progress{int(select.integer(0)), select.real(1), select.integer(2) != 0} : Progress{};
    if (stepped != SQLITE_ROW && stepped != SQLITE_DONE) {
        warn("reading a grade");
        return false;
    }
    return true;
}

Database::TurnIn Database::turnIn(qint64 user, const Problem& problem, const ProblemKey* previousStep,
                                  const Grade& grade, const QByteArray& state, Progress* after)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!execute("BEGIN IMMEDIATE")) {
        warn("starting a turn-in");
        return TurnIn::Failed;
    }
    const auto finish = [this](TurnIn result) {
        if (result == TurnIn::Recorded && execute("COMMIT"))
            return result;
        if (result == TurnIn::Recorded)
            warn("committing a turn-in");
        execute("ROLLBACK");
        return result == TurnIn::Recorded ? TurnIn::Failed : result;
    };

    Progress current;
    if (!readProgress(user, problem.key, &current))
        return finish(TurnIn::Failed);
    *after = current;
    if (problem.maxAttempts > 0 && current.attempts >= problem.maxAttempts)
        return finish(TurnIn::NoAttemptsLeft);
    if (previousStep) {
        Progress previous;
        if (!readProgress(user, *previousStep, &previous))
            return finish(TurnIn::Failed);
        if (!previous.complete)
            return finish(TurnIn::StepLocked);
    }

    Statement submission(db.get(),
                         "INSERT INTO submissions (user_id, course, week, section, problem, "
                         "submitted_at, earned, complete, state) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    submission.bind(user)
        .bind(problem.key)
        .bind(QDateTime::currentSecsSinceEpoch())
        .bind(grade.earned)
        .bind(qint64(grade.complete))
        .bind(QString::fromUtf8(state));
    if (submission.step() != SQLITE_DONE) {
        warn("recording an attempt");
        return finish(TurnIn::Failed);
    }

    const Progress updated{current.attempts + 1, std::max(current.earned, grade.earned),
                           current.complete || grade.complete};
    Statement store(db.get(),
                    "INSERT OR REPLACE INTO grades (user_id, course, week, section, problem, "
                    "attempts, earned, complete) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    store.bind(user)
        .bind(problem.key)
        .bind(qint64(updated.attempts))
        .bind(updated.earned)
        .bind(qint64(updated.complete));
    if (store.step() != SQLITE_DONE) {
        warn("recording a grade");
        return finish(TurnIn::Failed);
    }
    const TurnIn result = finish(TurnIn::Recorded);
    if (result == TurnIn::Recorded)
        *after = updated;
    return result;
}

#pragma once

#include <QByteArray>
#include <QString>

// A salted PBKDF2-HMAC-SHA256 password hash. The iteration count is stored with each hash, so that
// it can be raised later without invalidating existing accounts: a hash made with fewer iterations
// than today's count still matches, and is made again at the account's next login.
struct PasswordHash {
    static constexpr int defaultIterations = 600000;
    // Characters; longer passwords are refused before any hashing.
    static constexpr int maxLength = 1024;

    QByteArray salt;
    QByteArray hash;
    int iterations = defaultIterations;

    // A new random salt; empty salt and hash when the system has no random bytes to give.
    static PasswordHash make(const QString& password);
    // Compares in constant time.
    bool matches(const QString& password) const;
    bool isOutdated() const { return iterations < defaultIterations; }

private:
    static QByteArray derive(const QString& password, const QByteArray& salt, int iterations);
};

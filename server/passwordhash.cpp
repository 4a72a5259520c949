#include "passwordhash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace {
constexpr int saltLength = 16;
constexpr int hashLength = 32;
}

PasswordHash PasswordHash::make(const QString& password)
{
    PasswordHash made;
    QByteArray salt(saltLength, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char*>(salt.data()), salt.size()) != 1)
        return made;
    made.salt = salt;
    made.hash = derive(password, salt, made.iterations);
    return made;
}

bool PasswordHash::matches(const QString& password) const
{
    if (salt.isEmpty() || hash.size() != hashLength || iterations < 1)
        return false;
    const QByteArray candidate = derive(password, salt, iterations);
    return candidate.size() == hash.size()
        && CRYPTO_memcmp(candidate.constData(), hash.constData(), size_t(hash.size())) == 0;
}

QByteArray PasswordHash::derive(const QString& password, const QByteArray& salt, int iterations)
{
    const QByteArray secret = password.toUtf8();
    QByteArray out(hashLength, Qt::Uninitialized);
    if (PKCS5_PBKDF2_HMAC(secret.constData(), secret.size(), reinterpret_cast<const unsigned char*>(salt.constData()),
                          salt.size(), iterations, EVP_sha256(), out.size(),
                          reinterpret_cast<unsigned char*>(out.data()))
        != 1)
        return {};
    return out;
}

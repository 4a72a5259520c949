#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

#include <openssl/types.h>

// The course server's RSA public key; encrypts one RSA-OAEP (SHA-1) block.
class RsaPublicKey {
public:
    RsaPublicKey();
    ~RsaPublicKey();
    RsaPublicKey(const RsaPublicKey&) = delete;
    RsaPublicKey& operator=(const RsaPublicKey&) = delete;

    // Reads a SubjectPublicKeyInfo PEM block; on failure the key stays unset.
    void fromPem(const QString& pem);
    bool isNull() const { return !key; }

    // Empty when there is no key or the data does not fit into one block.
    QByteArray encrypt(const QByteArray& data) const;

private:
    struct KeyFree {
        void operator()(EVP_PKEY* pkey) const;
    };
    std::unique_ptr<EVP_PKEY, KeyFree> key;
};

#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

#include <openssl/types.h>

// The course server's RSA private key; decrypts one RSA-OAEP (SHA-1) block, the counterpart of
// RsaPublicKey::encrypt. Decryption may run on several threads at once.
class RsaPrivateKey {
public:
    RsaPrivateKey();
    ~RsaPrivateKey();
    RsaPrivateKey(const RsaPrivateKey&) = delete;
    RsaPrivateKey& operator=(const RsaPrivateKey&) = delete;

    // Reads an unencrypted PEM private key (PKCS#8 or traditional RSA); false when it holds no RSA
    // key, which leaves the key unset.
    bool fromPem(const QByteArray& pem);
    bool isNull() const { return !key; }
    // Size of one ciphertext block in bytes, 0 without a key.
    int blockSize() const;

    // Sets *ok to false (and returns an empty array) when there is no key or the block does not
    // decrypt.
    QByteArray decrypt(const QByteArray& cipher, bool* ok = nullptr) const;

private:
    struct KeyFree {
        void operator()(EVP_PKEY* pkey) const;
    };
    std::unique_ptr<EVP_PKEY, KeyFree> key;
};

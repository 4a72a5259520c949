#include "cryptography/rsapublickey.h"

#include "cryptography/oaep.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace {
using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
}

void RsaPublicKey::KeyFree::operator()(EVP_PKEY* pkey) const
{
    EVP_PKEY_free(pkey);
}

RsaPublicKey::RsaPublicKey() = default;
RsaPublicKey::~RsaPublicKey() = default;

void RsaPublicKey::fromPem(const QString& pem)
{
    const QByteArray text = pem.toUtf8();
    Bio bio(BIO_new(BIO_s_mem()), &BIO_free);
    if (!bio || BIO_puts(bio.get(), text.constData()) < 0)
        return;
    EVP_PKEY* read = PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr);
    if (read && !EVP_PKEY_is_a(read, "RSA")) {
        EVP_PKEY_free(read);
        return;
    }
    if (read)
        key.reset(read);
}

QByteArray RsaPublicKey::encrypt(const QByteArray& data) const
{
    return oaepTransform(key.get(), data, true);
}

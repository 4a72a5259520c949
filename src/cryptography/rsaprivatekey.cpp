#include "cryptography/rsaprivatekey.h"

#include "cryptography/oaep.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace {
using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
}

void RsaPrivateKey::KeyFree::operator()(EVP_PKEY* pkey) const
{
    EVP_PKEY_free(pkey);
}

RsaPrivateKey::RsaPrivateKey() = default;
RsaPrivateKey::~RsaPrivateKey() = default;

bool RsaPrivateKey::fromPem(const QByteArray& pem)
{
    Bio bio(BIO_new_mem_buf(pem.constData(), pem.size()), &BIO_free);
    if (!bio)
        return false;
    // An empty pass phrase, so that an encrypted key fails instead of prompting on the terminal.
    char noPassphrase[] = "";
    std::unique_ptr<EVP_PKEY, KeyFree> read(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, noPassphrase));
    if (!read || !EVP_PKEY_is_a(read.get(), "RSA"))
        return false;
    key = std::move(read);
    return true;
}

int RsaPrivateKey::blockSize() const
{
    return key ? EVP_PKEY_get_size(key.get()) : 0;
}

QByteArray RsaPrivateKey::decrypt(const QByteArray& cipher, bool* ok) const
{
    return oaepTransform(key.get(), cipher, false, ok);
}

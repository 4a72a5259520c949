#include "cryptography/rsaprivatekey.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

namespace {
using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;
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
    if (ok)
        *ok = false;
    if (!key)
        return {};
    KeyContext context(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr), &EVP_PKEY_CTX_free);
    if (!context || EVP_PKEY_decrypt_init(context.get()) != 1
        || EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_OAEP_PADDING) != 1
        || EVP_PKEY_CTX_set_rsa_oaep_md(context.get(), EVP_sha1()) != 1
        || EVP_PKEY_CTX_set_rsa_mgf1_md(context.get(), EVP_sha1()) != 1)
        return {};

    const auto* in = reinterpret_cast<const unsigned char*>(cipher.constData());
    size_t length = 0;
    if (EVP_PKEY_decrypt(context.get(), nullptr, &length, in, size_t(cipher.size())) != 1)
        return {};
    QByteArray output(int(length), Qt::Uninitialized);
    if (EVP_PKEY_decrypt(context.get(), reinterpret_cast<unsigned char*>(output.data()), &length, in,
                         size_t(cipher.size()))
        != 1)
        return {};
    output.resize(int(length));
    if (ok)
        *ok = true;
    return output;
}

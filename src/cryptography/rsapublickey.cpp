#include "cryptography/rsapublickey.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

namespace {
using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;
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
    if (!key)
        return {};
    KeyContext context(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr), &EVP_PKEY_CTX_free);
    if (!context || EVP_PKEY_encrypt_init(context.get()) != 1
        || EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_OAEP_PADDING) != 1
        || EVP_PKEY_CTX_set_rsa_oaep_md(context.get(), EVP_sha1()) != 1
        || EVP_PKEY_CTX_set_rsa_mgf1_md(context.get(), EVP_sha1()) != 1)
        return {};

    const auto* in = reinterpret_cast<const unsigned char*>(data.constData());
    size_t length = 0;
    if (EVP_PKEY_encrypt(context.get(), nullptr, &length, in, size_t(data.size())) != 1)
        return {};
    QByteArray output(int(length), Qt::Uninitialized);
    if (EVP_PKEY_encrypt(context.get(), reinterpret_cast<unsigned char*>(output.data()), &length, in,
                         size_t(data.size()))
        != 1)
        return {};
    output.resize(int(length));
    return output;
}

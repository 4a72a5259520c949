#include "cryptography/oaep.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <memory>

QByteArray oaepTransform(EVP_PKEY* key, const QByteArray& input, bool encrypting, bool* ok)
{
    if (ok)
        *ok = false;
    if (!key)
        return {};
    const std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr), &EVP_PKEY_CTX_free);
    const auto transform = encrypting ? &EVP_PKEY_encrypt : &EVP_PKEY_decrypt;
    if (!context || (encrypting ? EVP_PKEY_encrypt_init(context.get()) : EVP_PKEY_decrypt_init(context.get())) != 1
        || EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_OAEP_PADDING) != 1
        || EVP_PKEY_CTX_set_rsa_oaep_md(context.get(), EVP_sha1()) != 1
        || EVP_PKEY_CTX_set_rsa_mgf1_md(context.get(), EVP_sha1()) != 1)
        return {};

    const auto* in = reinterpret_cast<const unsigned char*>(input.constData());
    size_t length = 0;
    if (transform(context.get(), nullptr, &length, in, size_t(input.size())) != 1)
        return {};
    QByteArray output(int(length), Qt::Uninitialized);
    if (transform(context.get(), reinterpret_cast<unsigned char*>(output.data()), &length, in, size_t(input.size()))
        != 1)
        return {};
    output.resize(int(length));
    if (ok)
        *ok = true;
    return output;
}

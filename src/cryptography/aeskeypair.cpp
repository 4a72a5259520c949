#include "cryptography/aeskeypair.h"

#include <QDebug>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

namespace {
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

constexpr int cipherKeyLength = 32;
constexpr int cipherIvLength = 16;
constexpr int cipherBlockLength = 16;

// AES-256-CBC always reads 32 key bytes and 16 IV bytes; shorter material is
// zero-extended so the cipher never reads past the buffers.
void widen(unsigned char* to, int size, const unsigned char* from, int length)
{
    std::memset(to, 0, size_t(size));
    std::memcpy(to, from, size_t(std::min(size, length)));
}
}

int AESKeyPair::aesSizeBytes(AES_SIZE size)
{
    switch (size) {
    case AES_128:
        return 16;
    case AES_192:
        return 24;
    case AES_256:
        return 32;
    }
    return -1;
}

AESKeyPair::AESKeyPair()
    : AESKeyPair(AES_256, AES_128)
{
}

AESKeyPair::AESKeyPair(AES_SIZE keySize, AES_SIZE ivSize)
    : keyLen(std::max(0, aesSizeBytes(keySize)))
    , ivLen(std::max(0, aesSizeBytes(ivSize)))
{
    if (keyLen > 0) {
        keyBuffer = std::make_unique<unsigned char[]>(size_t(keyLen));
        if (RAND_bytes(keyBuffer.get(), keyLen) != 1)
            qDebug() << "error generating bytes for key";
    }
    if (ivLen > 0) {
        ivBuffer = std::make_unique<unsigned char[]>(size_t(ivLen));
        if (RAND_bytes(ivBuffer.get(), ivLen) != 1)
            qDebug() << "error generating bytes for iv";
    }
}

AESKeyPair::AESKeyPair(const QByteArray& key, const QByteArray& iv)
    : keyLen(key.size())
    , ivLen(iv.size())
{
    if (keyLen > 0) {
        keyBuffer = std::make_unique<unsigned char[]>(size_t(keyLen));
        std::memcpy(keyBuffer.get(), key.constData(), size_t(keyLen));
    }
    if (ivLen > 0) {
        ivBuffer = std::make_unique<unsigned char[]>(size_t(ivLen));
        std::memcpy(ivBuffer.get(), iv.constData(), size_t(ivLen));
    }
}

QByteArray AESKeyPair::keyBytes() const
{
    return QByteArray(reinterpret_cast<const char*>(keyBuffer.get()), keyLen);
}

QByteArray AESKeyPair::ivBytes() const
{
    return QByteArray(reinterpret_cast<const char*>(ivBuffer.get()), ivLen);
}

QByteArray AESKeyPair::encrypt(const QByteArray& plain) const
{
    return crypt(plain, true);
}

QByteArray AESKeyPair::encrypt(const QString& text) const
{
    return crypt(text.toUtf8(), true);
}

QByteArray AESKeyPair::decrypt(const QByteArray& cipher) const
{
    return crypt(cipher, false);
}

bool AESKeyPair::isCiphertext(const QByteArray& bytes)
{
    return !bytes.isEmpty() && bytes.size() % cipherBlockLength == 0;
}

QByteArray AESKeyPair::crypt(const QByteArray& input, bool encrypting) const
{
    if (!usable())
        return {};
    CipherContext context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    if (!context)
        return {};

    unsigned char cipherKey[cipherKeyLength];
    unsigned char cipherIv[cipherIvLength];
    widen(cipherKey, cipherKeyLength, keyBuffer.get(), keyLen);
    widen(cipherIv, cipherIvLength, ivBuffer.get(), ivLen);

    if (EVP_CipherInit_ex(context.get(), EVP_aes_256_cbc(), nullptr, cipherKey, cipherIv, encrypting ? 1 : 0) != 1)
        return {};

    QByteArray output(input.size() + cipherBlockLength, Qt::Uninitialized);
    auto* out = reinterpret_cast<unsigned char*>(output.data());
    int updateLength = 0;
    int finalLength = 0;
    // A wrong key or a damaged ciphertext is not reported: the caller gets what the cipher produced
    // and meets malformed data.
    if (EVP_CipherUpdate(context.get(), out, &updateLength, reinterpret_cast<const unsigned char*>(input.constData()),
                         input.size())
        != 1)
        updateLength = 0;
    if (EVP_CipherFinal_ex(context.get(), out + updateLength, &finalLength) != 1)
        finalLength = 0;
    output.resize(updateLength + finalLength);
    return output;
}

#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

// The session's symmetric key and IV. Every payload is encrypted on its own with
// AES-256-CBC (PKCS#7 padding) from the same key and IV.
class AESKeyPair {
public:
    enum AES_SIZE { AES_128 = 0, AES_192 = 1, AES_256 = 2 };

    // Byte count of a size, -1 for a value outside the enumeration.
    static int aesSizeBytes(AES_SIZE size);

    AESKeyPair();
    AESKeyPair(AES_SIZE keySize, AES_SIZE ivSize);
    // A pair agreed elsewhere (the server side of the negotiation).
    AESKeyPair(const QByteArray& key, const QByteArray& iv);
    AESKeyPair(const AESKeyPair&) = delete;
    AESKeyPair& operator=(const AESKeyPair&) = delete;

    const unsigned char* key() const { return keyBuffer.get(); }
    const unsigned char* iv() const { return ivBuffer.get(); }
    int keyLength() const { return keyLen; }
    int ivLength() const { return ivLen; }
    QByteArray keyBytes() const;
    QByteArray ivBytes() const;

    // Both yield an empty array when the pair has no key or IV.
    QByteArray encrypt(const QByteArray& plain) const;
    QByteArray encrypt(const QString& text) const;
    QByteArray decrypt(const QByteArray& cipher) const;

    // Whether bytes have the shape of this cipher's output: one or more whole blocks (even an
    // empty payload pads to one). decrypt() itself reports no damage.
    static bool isCiphertext(const QByteArray& bytes);

private:
    bool usable() const { return keyLen > 0 && ivLen > 0; }
    QByteArray crypt(const QByteArray& input, bool encrypting) const;

    std::unique_ptr<unsigned char[]> keyBuffer;
    std::unique_ptr<unsigned char[]> ivBuffer;
    int keyLen = 0;
    int ivLen = 0;
};

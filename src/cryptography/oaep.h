#pragma once

#include <QByteArray>

#include <openssl/types.h>

// One RSA-OAEP block (SHA-1 digest and MGF1) through EVP, in either direction. Empty, with
// *ok false when given, on any failure: no key, input too long, a block that does not decrypt.
QByteArray oaepTransform(EVP_PKEY* key, const QByteArray& input, bool encrypting, bool* ok = nullptr);

#pragma once

#include <QString>
#include <QStringList>

// The keys of one server installation, in one directory: a CA of its own (root and intermediate,
// both fenced by name constraints to localhost and the loopback addresses), a leaf certificate for
// localhost, 127.0.0.1 and ::1, and the RSA key pair of the session negotiation. The CA keys are
// used once and never written, so nobody can issue another certificate under this CA.
namespace ServerKeys {
// File names in the key directory.
extern const char* const rootFile; // root CA certificate (for TLS clients that verify in full)
extern const char* const chainFile; // leaf, then the intermediate: what the server sends
extern const char* const leafKeyFile; // private key of the leaf
extern const char* const sessionKeyFile; // RSA private key of the negotiation
extern const char* const sessionPublicFile; // its public half

// The files a client build is given: the server's public session key and its CA file.
extern const char* const clientKeyFile;
extern const char* const clientCaFile;

// Makes the files of `directory` that are missing (private keys readable by their owner only) and
// keeps those that exist. *made receives the paths written.
bool make(const QString& directory, QStringList* made, QString* error);

// Makes `outDirectory`, which must not exist, and writes clientKeyFile and clientCaFile, taken from
// the key directory, into it: the CA file is the last certificate of the chain the server sends,
// the one whose issuer the client must hold.
bool exportClientFiles(const QString& keyDirectory, const QString& outDirectory, QStringList* written, QString* error);
}

#pragma once

#include "cryptography/aeskeypair.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslError>
#include <QString>

// A small synchronous client of the course server's protocol, written apart from the engine so
// that the server is tested against the wire format itself. It keeps one cookie jar (one session)
// and accepts TLS errors by the rule of the Oxbell client: UnableToGetLocalIssuerCertificate with
// the certificate of the application directory's CA file, and CertificateUntrusted.
// Use it from one thread; every thread needs its own.
class ProtocolClient {
public:
    struct Reply {
        int status = 0; // HTTP status; 0 when no reply arrived
        QNetworkReply::NetworkError error = QNetworkReply::NoError;
        QString errorString;
        QByteArray raw; // the body as it came
        QByteArray body; // decrypted when the request expects ciphertext and got a 200
        QList<QSslError> sslErrors;

        QJsonObject json() const;
    };

    explicit ProtocolClient(const QString& serverUrl);

    Reply get(const QString& path);
    // Encrypts `plain` with the session key.
    Reply post(const QString& path, const QByteArray& plain);
    // Posts `body` unencrypted and takes the reply as it comes.
    Reply postRaw(const QString& path, const QByteArray& body);

    // The whole start of a session: /version, then the IV and the key under the built-in RSA key.
    bool handshake();
    bool login(const QString& email, const QString& password);
    // The negotiation message of one field ("iv" or "key"), RSA-encrypted as the client sends it.
    QByteArray negotiationMessage(const QString& field) const;

    const AESKeyPair& keys() const { return sessionKeys; }
    QNetworkAccessManager& network() { return manager; }

private:
    Reply send(const QByteArray& method, const QString& path, const QByteArray& body, bool encrypted);

    QString url;
    AESKeyPair sessionKeys;
    QNetworkAccessManager manager;
};

// The catalogue entry of the problem "<course key>/<week>/<section>/<problem>"; empty when absent.
QJsonObject catalogueProblem(const QJsonObject& catalogue, const QString& path);

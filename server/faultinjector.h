#pragma once

#include <QByteArray>
#include <QString>

#include <mutex>
#include <vector>

// A way to make a server fail on purpose, for tests of the client: the next N requests of a path
// fail in a chosen way. Rules are used in the order they were added.
class FaultInjector {
public:
    struct Fault {
        enum class Kind {
            Status, // the HTTP status with a plain-text body
            BadJson, // a success whose (decrypted) body is not JSON
            BadDecrypt, // a success whose body is not ciphertext under the session key
            Delay, // the request is served after a pause
            Drop, // the connection closes before the reply is complete
            // The connection closes with no byte of a reply: after the request was carried out
            // (recorded, then its answer lost), or without carrying it out (lost before it was read).
            DropAfter,
            DropBefore,
        };
        Kind kind = Kind::Status;
        int status = 500;
        QByteArray body;
        int delayMs = 0;
    };

    // Adds a rule from its JSON description:
    // {"path": "/grades" or a prefix ending in '*', "count": N, "kind": "status" | "badjson" |
    //  "baddecrypt" | "delay" | "drop" | "dropafter" | "dropbefore", "status": 500, "body": "text",
    //  "delay_ms": 1500}.
    // False with *error telling why when the description is not usable.
    bool add(const QByteArray& description, QString* error);
    void clear();
    // Takes the fault of the first rule that matches the path and counts it down.
    bool take(const QString& path, Fault* out);

private:
    struct Rule {
        QString path;
        bool prefix = false;
        int remaining = 0;
        Fault fault;
    };

    std::mutex mutex;
    std::vector<Rule> rules;
};

#pragma once

#include "coursedirectory.h"
#include "cryptography/rsaprivatekey.h"
#include "database.h"
#include "faultinjector.h"
#include "httpsfront.h"
#include "loginthrottle.h"
#include "routes.h"
#include "sessionstore.h"

#include <QString>

#include <memory>

// The HTTPS course server: loads the course directory, the database and the keys, binds the
// listening socket, then serves until stop() is called (from any thread).
class CourseServer {
public:
    struct Options {
        QString courses; // course directory
        QString database; // SQLite file, created when missing
        QString certificateChain; // PEM: leaf first, then the intermediates
        QString certificateKey; // PEM private key of the leaf
        QString sessionKey; // PEM RSA private key of the key negotiation
        QString host = QStringLiteral("127.0.0.1");
        int port = OXBELL_PRACTICE_PORT; // 0: any free port
        bool faults = false; // accept fault injection from loopback peers; only on a loopback host
        size_t maxSessions = SessionStore::defaultLimit;
        size_t maxConnections = HttpsFront::Limits().maxConnections;
        Routes::Settings version;
    };

    static constexpr int minimumSessionKeyBits = 2048;

    // True for 127.0.0.0/8, ::1 and "localhost", the only hosts fault injection may listen on.
    static bool isLoopbackHost(const QString& host);

    CourseServer();
    ~CourseServer();
    CourseServer(const CourseServer&) = delete;
    CourseServer& operator=(const CourseServer&) = delete;

    // Everything up to the bound socket; false with *error telling what failed.
    bool setUp(const Options& options, QString* error);
    // The bound port (the chosen one when 0 was asked for).
    int port() const { return boundPort; }
    int problemCount() const { return courses.problemCount(); }
    // Serves until stop(); false when the server could not run.
    bool run();
    bool isRunning() const;
    void stop();

private:
    CourseDirectory courses;
    Database database;
    std::unique_ptr<SessionStore> sessions;
    LoginThrottle throttle;
    FaultInjector faults;
    RsaPrivateKey sessionKey;
    std::unique_ptr<Routes> routes;
    std::unique_ptr<HttpsFront> front;
    int boundPort = -1;
};

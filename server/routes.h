#pragma once

#include "faultinjector.h"

#include <QByteArray>
#include <QString>

#include <string>

class CourseDirectory;
class Database;
class LoginThrottle;
class RsaPrivateKey;
class SessionStore;
struct Session;

namespace httplib {
class Server;
struct Request;
struct Response;
}

// The course server's HTTP endpoints. Every body after the key negotiation is AES-256-CBC under the
// session's key and IV, in both directions; error replies are plain text with an HTTP status.
class Routes {
public:
    struct Settings {
        QString clientVersion; // "version" of /version; empty leaves the member out
        QString clientUrl; // "url" of /version; empty leaves the member out
    };

    // faults is null unless fault injection was asked for.
    Routes(const CourseDirectory& courses, Database& database, SessionStore& sessions, LoginThrottle& throttle,
           const RsaPrivateKey& sessionKey, FaultInjector* faults, Settings settings);

    // Request bodies accepted at most: a negotiation message is one RSA block (8192-bit keys
    // included), a login holds an address and a password of bounded length even with every
    // character escaped, a result is a grading script's state. Other POSTs carry small JSON.
    static constexpr size_t negotiationBodyBytes = 1024;
    static constexpr size_t loginBodyBytes = 16 * 1024;
    static constexpr size_t gradeBodyBytes = 1024 * 1024;
    static constexpr size_t otherBodyBytes = 16 * 1024;
    // The largest body a request may carry, by its method and its path as sent.
    static size_t bodyLimit(const std::string& method, const std::string& path);

    // Registers every endpoint and the request log on the server; the objects given to the
    // constructor must outlive it.
    void install(httplib::Server& server);

private:
    using Handler = void (Routes::*)(const httplib::Request&, httplib::Response&);

    void version(const httplib::Request& request, httplib::Response& response);
    void negotiate(const httplib::Request& request, httplib::Response& response);
    void login(const httplib::Request& request, httplib::Response& response);
    void grades(const httplib::Request& request, httplib::Response& response);
    void downloadInit(const httplib::Request& request, httplib::Response& response);
    void download(const httplib::Request& request, httplib::Response& response);
    void grade(const httplib::Request& request, httplib::Response& response);
    void addFault(const httplib::Request& request, httplib::Response& response);
    void clearFaults(const httplib::Request& request, httplib::Response& response);

    void sendScript(const httplib::Request& request, httplib::Response& response, bool init);
    // Runs an injected fault; true when it took the place of the handler.
    // True when the fault answers in place of the handler.
    bool injectFault(const FaultInjector::Fault& fault, const httplib::Request& request, httplib::Response& response);
    // The caller's session; answers the request with an error and returns false when it has no
    // negotiated keys or, with needLogin, no login.
    bool sessionOf(const httplib::Request& request, httplib::Response& response, bool needLogin, Session* session,
                   QByteArray* token = nullptr);
    // The decrypted request body; answers with an error and returns false when it does not decrypt.
    bool decryptBody(const httplib::Request& request, httplib::Response& response, const Session& session,
                     QByteArray* plain);

    const CourseDirectory& courses;
    Database& database;
    SessionStore& sessions;
    LoginThrottle& throttle;
    const RsaPrivateKey& sessionKey;
    FaultInjector* faults;
    const Settings settings;
};

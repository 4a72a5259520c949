#pragma once

#include "faultinjector.h"
#include "httpmessage.h"

#include <QByteArray>
#include <QString>

#include <string>

class CourseDirectory;
class Database;
class LoginThrottle;
class RsaPrivateKey;
class SessionStore;
struct Session;

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

    // Answers one request and writes its line to the request log. From any thread, several at
    // once; the objects given to the constructor must outlive every call.
    HttpReply serve(const HttpRequest& request);

private:
    using Handler = void (Routes::*)(const HttpRequest&, HttpReply&);

    // Finds the endpoint of the request and runs it, or the fault injected in its place.
    void route(const HttpRequest& request, HttpReply& response);

    void version(const HttpRequest& request, HttpReply& response);
    void negotiate(const HttpRequest& request, HttpReply& response);
    void login(const HttpRequest& request, HttpReply& response);
    void grades(const HttpRequest& request, HttpReply& response);
    void downloadInit(const HttpRequest& request, HttpReply& response);
    void download(const HttpRequest& request, HttpReply& response);
    void grade(const HttpRequest& request, HttpReply& response);
    void addFault(const HttpRequest& request, HttpReply& response);
    void clearFaults(const HttpRequest& request, HttpReply& response);

    void sendScript(const HttpRequest& request, HttpReply& response, bool init);
    // Runs an injected fault; true when it answers in place of the handler.
    bool injectFault(const FaultInjector::Fault& fault, const HttpRequest& request, HttpReply& response);
    // The caller's session; answers the request with an error and returns false when it has no
    // negotiated keys or, with needLogin, no login.
    bool sessionOf(const HttpRequest& request, HttpReply& response, bool needLogin, Session* session,
                   QByteArray* token = nullptr);
    // The decrypted request body; answers with an error and returns false when it does not decrypt.
    bool decryptBody(const HttpRequest& request, HttpReply& response, const Session& session, QByteArray* plain);

    const CourseDirectory& courses;
    Database& database;
    SessionStore& sessions;
    LoginThrottle& throttle;
    const RsaPrivateKey& sessionKey;
    FaultInjector* faults;
    const Settings settings;
};

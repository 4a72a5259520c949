#pragma once

#include "httpmessage.h"

#include <openssl/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

// The HTTPS side of the course server, on Boost.Beast over Boost.Asio. One thread owns every
// connection: it accepts, does the TLS handshakes, reads each request until it is whole and sends
// each reply, with a deadline on each step, and closes a connection that misses one. Only whole
// requests reach the worker threads, which take them from one queue per client address in turn,
// so a slow or silent client costs a connection slot and never a worker, and a client with many
// connections gets no more of the workers than any other.
class HttpsFront {
public:
    struct Limits {
        // From a request's first byte until it has arrived whole; for a connection's first request
        // from the accept, the handshake included. A reply gets as long to be taken.
        std::chrono::milliseconds requestDeadline{10000};
        // How long a kept-alive connection may wait for its next request.
        std::chrono::milliseconds idleTimeout{5000};
        // How long a closing connection waits for the client's TLS close after its own.
        std::chrono::milliseconds closeWait{2000};
        size_t maxConnections = 1024; // open at once; one address holds at most a quarter
        size_t maxHeaderBytes = 16 * 1024; // request line and headers
        size_t maxBufferedBodyBytes = 64 * 1024 * 1024; // request bodies held at once, all connections
        size_t requestsPerConnection = 100;
        int workers = 8; // one address runs at most all but one of them at once
    };

    // The largest request body that `method` `path` may carry; larger ones are refused unread.
    using BodyLimit = std::function<size_t(const std::string& method, const std::string& path)>;
    // Answers one whole request; called on the worker threads, several at once.
    using Handler = std::function<HttpReply(const HttpRequest& request)>;

    HttpsFront(const Limits& limits, BodyLimit bodyLimit, Handler handler);
    ~HttpsFront();
    HttpsFront(const HttpsFront&) = delete;
    HttpsFront& operator=(const HttpsFront&) = delete;

    // Lets `setUp` load the certificate and key into the TLS context (a TLS server context).
    bool setUpTls(const std::function<bool(SSL_CTX&)>& setUp);
    // Listens on host:port (port 0: any free one); the bound port, or -1.
    int bind(const std::string& host, int port);
    size_t maxConnections() const;
    size_t perAddress() const;

    // Serves until stop(); false when there is nothing to serve on.
    bool run();
    bool isRunning() const;
    // From any thread, also before run().
    void stop();

private:
    struct State;
    std::unique_ptr<State> state;
};

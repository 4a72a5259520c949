#pragma once

#include <openssl/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

// The HTTPS side of the course server. One thread owns every connection: it accepts, does the TLS
// handshakes, reads each request until it is whole and sends each reply, all without blocking, and
// closes a connection that misses a deadline. Only whole requests reach the worker threads, which
// run cpp-httplib's parser, router and handlers on them in memory, so a slow or silent client costs
// a connection slot and never a worker.
class HttpsFront {
public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        // From a request's first byte until it has arrived whole; for a connection's first request
        // from the accept, the handshake included. A reply gets as long to be taken.
        std::chrono::milliseconds requestDeadline{10000};
        // How long a kept-alive connection may wait for its next request.
        std::chrono::milliseconds idleTimeout{5000};
        size_t maxConnections = 1024; // open at once; one address holds at most a quarter
        size_t maxHeaderBytes = 16 * 1024; // request line and headers
        size_t maxBufferedBodyBytes = 64 * 1024 * 1024; // request bodies held at once, all connections
        size_t requestsPerConnection = 100;
        int workers = 8;
    };

    // The largest request body that `method` `path` may carry; larger ones are refused unread.
    using BodyLimit = std::function<size_t(const std::string& method, const std::string& path)>;

    HttpsFront(const Limits& limits, BodyLimit bodyLimit);
    ~HttpsFront();
    HttpsFront(const HttpsFront&) = delete;
    HttpsFront& operator=(const HttpsFront&) = delete;

    // Where the routes, the logger and the exception handler are installed.
    httplib::Server& handlers();

    // Makes the TLS context and lets `setUp` load the certificate and key into it.
    bool setUpTls(const std::function<bool(SSL_CTX&)>& setUp);
    // Listens on host:port (port 0: any free one); the bound port, or -1.
    int bind(const std::string& host, int port);
    size_t maxConnections() const { return limits.maxConnections; }
    size_t perAddress() const;

    // Serves until stop(); false when there is nothing to serve on.
    bool run();
    bool isRunning() const { return running; }
    // From any thread, also before run().
    void stop();

    // From a handler: its connection closes without a byte of the reply, whatever the handler did.
    static void dropReply();

private:
    struct Connection;
    struct Job {
        std::uint64_t serial;
        std::string request;
        std::string address;
        int port;
        bool last; // the reply closes the connection
    };
    struct Reply {
        std::uint64_t serial;
        std::string bytes;
        bool keepOpen;
    };

    void acceptAll();
    void advance(Connection& connection);
    void handshake(Connection& connection);
    // After a TLS call that did not complete: the connection waits for what the call needs of the
    // socket, or, on an error, is closed and gone.
    void awaitSocket(Connection& connection, int result);
    void readMore(Connection& connection);
    // Looks at the buffered input: true when the connection stops reading, because a whole request
    // went to a worker or the request was refused.
    bool takeRequest(Connection& connection);
    void refuse(Connection& connection, int status, const std::string& text);
    void writeMore(Connection& connection);
    void collectReplies();
    void close(std::uint64_t serial);
    void work();
    void wake();

    Limits limits;
    const BodyLimit bodyLimit;
    std::unique_ptr<httplib::Server> dispatcher;
    SSL_CTX* context = nullptr;
    int listener = -1;
    int wakeFd = -1;
    std::atomic<bool> stopping{false};
    std::atomic<bool> running{false};

    // Owned by the serving thread.
    std::map<std::uint64_t, std::unique_ptr<Connection>> connections;
    std::map<std::string, size_t> perSource;
    std::uint64_t nextSerial = 1;
    size_t bufferedBodyBytes = 0;

    // Shared with the workers.
    std::mutex mutex;
    std::condition_variable queued;
    std::deque<Job> jobs;
    std::vector<Reply> replies;
    bool workersEnd = false;
    std::vector<std::thread> workers;
};

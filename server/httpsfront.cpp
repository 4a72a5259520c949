#include "httpsfront.h"

#include "peeraddress.h"

#include <httplib.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <QByteArray>
#include <QDateTime>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {
constexpr size_t readChunk = 16 * 1024;
// Descriptors the server needs besides its connections: database, course files, standard streams.
constexpr rlim_t spareDescriptors = 64;
constexpr int listenBacklog = 128;
// Set by a handler on the worker thread that runs it.
thread_local bool replyDropped = false;

// Makes the parser's protected entry point callable: it reads one request from a stream, runs the
// handlers and writes the reply to the same stream.
class Dispatcher : public httplib::Server {
public:
    using Server::process_request;
};

// One whole request read from memory, its reply written to memory.
class BufferStream : public httplib::Stream {
public:
    BufferStream(const std::string& request, const std::string& address, int port, std::string& reply)
        : in(request)
        , peer(address)
        , peerPort(port)
        , out(reply)
    {
    }

    bool is_readable() const override { return true; }
    bool is_writable() const override { return true; }

    ssize_t read(char* ptr, size_t size) override
    {
        const size_t count = std::min(size, in.size() - offset);
        std::memcpy(ptr, in.data() + offset, count);
        offset += count;
        return ssize_t(count);
    }

    ssize_t write(const char* ptr, size_t size) override
    {
        out.append(ptr, size);
        return ssize_t(size);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override
    {
        ip = peer;
        port = peerPort;
    }

    void get_local_ip_and_port(std::string& ip, int& port) const override
    {
        ip.clear();
        port = 0;
    }

    // No socket lies behind it.
    socket_t socket() const override { return INVALID_SOCKET; }

private:
    const std::string& in;
    size_t offset = 0;
    const std::string peer;
    const int peerPort;
    std::string& out;
};

bool sameName(const char* begin, size_t length, const char* name)
{
    return length == std::strlen(name) && strncasecmp(begin, name, length) == 0;
}

std::string trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

const char* reasonPhrase(int status)
{
    switch (status) {
    case 400:
        return "Bad Request";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    case 415:
        return "Unsupported Media Type";
    case 431:
        return "Request Header Fields Too Large";
    default:
        return "Service Unavailable";
    }
}
}

struct HttpsFront::Connection {
    enum class Phase { Handshake, Reading, Working, Writing };

    std::uint64_t serial = 0;
    int fd = -1;
    SSL* ssl = nullptr;
    std::string address;
    int port = 0;
    std::string source;
    Phase phase = Phase::Handshake;
    bool wantWrite = false; // TLS needs the socket writable to go on
    Clock::time_point deadline;
    std::string input;
    std::string output;
    size_t sent = 0;
    bool closeAfterReply = false;
    size_t served = 0;
    size_t reservedBody = 0; // of bufferedBodyBytes
};

HttpsFront::HttpsFront(const Limits& frontLimits, BodyLimit routeBodyLimit)
    : limits(frontLimits)
    , bodyLimit(std::move(routeBodyLimit))
    , dispatcher(std::make_unique<Dispatcher>())
    , wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
}

HttpsFront::~HttpsFront()
{
    for (auto& entry : connections) {
        SSL_free(entry.second->ssl);
        ::close(entry.second->fd);
    }
    if (listener >= 0)
        ::close(listener);
    if (wakeFd >= 0)
        ::close(wakeFd);
    SSL_CTX_free(context);
}

httplib::Server& HttpsFront::handlers()
{
    return *dispatcher;
}

size_t HttpsFront::perAddress() const
{
    return std::max<size_t>(1, limits.maxConnections / 4);
}

bool HttpsFront::setUpTls(const std::function<bool(SSL_CTX&)>& setUp)
{
    SSL_CTX_free(context);
    context = SSL_CTX_new(TLS_server_method());
    if (!context)
        return false;
    // Idle connections give their buffers back; a write that waits for the socket is retried from
    // a buffer that may have grown meanwhile.
    SSL_CTX_set_mode(context,
                     SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return setUp(*context);
}

int HttpsFront::bind(const std::string& host, int port)
{
    // Room for every connection; what the system refuses lowers the bound instead.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
        const rlim_t wanted = rlim_t(limits.maxConnections) + spareDescriptors;
        if (files.rlim_cur < wanted) {
            files.rlim_cur = std::min(wanted, files.rlim_max);
            setrlimit(RLIMIT_NOFILE, &files);
            getrlimit(RLIMIT_NOFILE, &files);
        }
        if (files.rlim_cur < wanted)
            limits.maxConnections = size_t(std::max<rlim_t>(files.rlim_cur, 2 * spareDescriptors) - spareDescriptors);
    }

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (wakeFd < 0 || getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return -1;
    for (const addrinfo* candidate = found; candidate && listener < 0; candidate = candidate->ai_next) {
        const int fd = ::socket(candidate->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int yes = 1;
        if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0
            && ::bind(fd, candidate->ai_addr, candidate->ai_addrlen) == 0 && ::listen(fd, listenBacklog) == 0)
            listener = fd;
        else if (fd >= 0)
            ::close(fd);
    }
    freeaddrinfo(found);
    sockaddr_in6 bound{}; // the port lies at the same place in both families
    socklen_t length = sizeof bound;
    if (listener < 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length) != 0)
        return -1;
    return ntohs(bound.sin6_port);
}

bool HttpsFront::run()
{
    if (listener < 0 || !context)
        return false;
    running = true;
    for (int i = 0; i < limits.workers; ++i)
        workers.emplace_back([this] { work(); });

    std::vector<pollfd> polled;
    std::vector<std::uint64_t> polledSerials;
    while (!stopping) {
        polled.assign({{listener, POLLIN, 0}, {wakeFd, POLLIN, 0}});
        polledSerials.clear();
        Clock::time_point nearest = Clock::time_point::max();
        for (const auto& entry : connections) {
            const Connection& connection = *entry.second;
            if (connection.phase == Connection::Phase::Working)
                continue;
            const bool writing = connection.phase == Connection::Phase::Writing || connection.wantWrite;
            polled.push_back({connection.fd, short(writing ? POLLOUT : POLLIN), 0});
            polledSerials.push_back(entry.first);
            nearest = std::min(nearest, connection.deadline);
        }
        int timeout = -1;
        if (nearest != Clock::time_point::max())
            timeout = int(std::clamp<Clock::rep>(
                std::chrono::ceil<std::chrono::milliseconds>(nearest - Clock::now()).count(), 0, INT_MAX));
        if (::poll(polled.data(), polled.size(), timeout) < 0 && errno != EINTR)
            break;

        if (polled[1].revents) {
            std::uint64_t count = 0;
            while (::read(wakeFd, &count, sizeof count) > 0) { }
            collectReplies();
        }
        for (size_t i = 2; i < polled.size(); ++i) {
            const auto found = connections.find(polledSerials[i - 2]);
            if (polled[i].revents && found != connections.end())
                advance(*found->second);
        }
        if (polled[0].revents)
            acceptAll();

        const Clock::time_point now = Clock::now();
        std::vector<std::uint64_t> late;
        for (const auto& entry : connections) {
            if (entry.second->phase != Connection::Phase::Working && entry.second->deadline <= now)
                late.push_back(entry.first);
        }
        for (const std::uint64_t serial : late)
            close(serial);
    }

    {
        std::lock_guard<std::mutex> lock(mutex);
        workersEnd = true;
        jobs.clear();
    }
    queued.notify_all();
    for (std::thread& worker : workers)
        worker.join();
    workers.clear();
    while (!connections.empty())
        close(connections.begin()->first);
    running = false;
    return true;
}

void HttpsFront::stop()
{
    stopping = true;
    wake();
}

void HttpsFront::wake()
{
    const std::uint64_t one = 1;
    if (::write(wakeFd, &one, sizeof one) < 0 && errno != EAGAIN)
        std::perror("oxbell-server: waking the connection thread");
}

void HttpsFront::acceptAll()
{
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        char host[NI_MAXHOST] = {};
        char service[NI_MAXSERV] = {};
        getnameinfo(reinterpret_cast<sockaddr*>(&peer), length, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV);
        const std::string source = PeerAddress::source(host);
        const auto ofSource = perSource.find(source);
        SSL* ssl = nullptr;
        if (connections.size() >= limits.maxConnections
            || (ofSource != perSource.end() && ofSource->second >= perAddress()) || !(ssl = SSL_new(context))
            || SSL_set_fd(ssl, fd) != 1) {
            SSL_free(ssl);
            ::close(fd);
            continue;
        }
        // Replies leave in more than one write; without this, Nagle's algorithm and the peer's
        // delayed acknowledgement hold each back by about 40 ms.
        const int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);

        auto connection = std::make_unique<Connection>();
        connection->serial = nextSerial++;
        connection->fd = fd;
        connection->ssl = ssl;
        connection->address = host;
        connection->port = std::atoi(service);
        connection->source = source;
        connection->deadline = Clock::now() + limits.requestDeadline;
        ++perSource[source];
        connections.emplace(connection->serial, std::move(connection));
    }
}

void HttpsFront::advance(Connection& connection)
{
    switch (connection.phase) {
    case Connection::Phase::Handshake:
        handshake(connection);
        break;
    case Connection::Phase::Reading:
        readMore(connection);
        break;
    case Connection::Phase::Writing:
        writeMore(connection);
        break;
    case Connection::Phase::Working:
        break;
    }
}

void HttpsFront::handshake(Connection& connection)
{
    ERR_clear_error();
    const int result = SSL_accept(connection.ssl);
    if (result == 1) {
        connection.phase = Connection::Phase::Reading;
        connection.wantWrite = false;
        readMore(connection);
        return;
    }
    awaitSocket(connection, result);
}

void HttpsFront::awaitSocket(Connection& connection, int result)
{
    const int error = SSL_get_error(connection.ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
        connection.wantWrite = error == SSL_ERROR_WANT_WRITE;
    else
        close(connection.serial);
}

void HttpsFront::readMore(Connection& connection)
{
    char chunk[readChunk];
    for (;;) {
        ERR_clear_error();
        const int count = SSL_read(connection.ssl, chunk, sizeof chunk);
        if (count > 0) {
            // A kept-alive connection's next request: its deadline starts with its first byte.
            if (connection.input.empty() && connection.served > 0)
                connection.deadline = Clock::now() + limits.requestDeadline;
            connection.input.append(chunk, size_t(count));
            if (takeRequest(connection))
                return;
            continue;
        }
        awaitSocket(connection, count);
        return;
    }
}

bool HttpsFront::takeRequest(Connection& connection)
{
    const std::string& input = connection.input;
    const size_t headerEnd = input.find("\r\n\r\n");
    if (headerEnd == std::string::npos && input.size() < limits.maxHeaderBytes)
        return false;
    if (headerEnd == std::string::npos || headerEnd + 4 > limits.maxHeaderBytes) {
        refuse(connection, 431,
               "The request line and headers have at most " + std::to_string(limits.maxHeaderBytes) + " bytes");
        return true;
    }

    const size_t lineEnd = input.find("\r\n");
    const std::string line = input.substr(0, lineEnd);
    const size_t space = line.find(' ');
    const size_t secondSpace = space == std::string::npos ? space : line.find(' ', space + 1);
    if (secondSpace == std::string::npos) {
        refuse(connection, 400, "Not an HTTP request");
        return true;
    }
    const std::string method = line.substr(0, space);
    const std::string target = line.substr(space + 1, secondSpace - space - 1);
    const std::string path = target.substr(0, target.find('?'));

    // The framing is decided here, once: the parser behind gets exactly one request's bytes.
    int lengths = 0;
    unsigned long long length = 0;
    for (size_t start = lineEnd + 2; start < headerEnd;) {
        const size_t end = input.find("\r\n", start);
        const size_t colon = input.find(':', start);
        if (colon == std::string::npos || colon > end) {
            refuse(connection, 400, "A header line without a colon");
            return true;
        }
        const char* name = input.data() + start;
        const size_t nameLength = colon - start;
        const std::string value = trimmed(input.substr(colon + 1, end - colon - 1));
        if (sameName(name, nameLength, "Content-Length")) {
            const bool digits
                = !value.empty() && value.size() <= 18 && value.find_first_not_of("0123456789") == std::string::npos;
            if (!digits || ++lengths > 1) {
                refuse(connection, 400, "One Content-Length, a number, frames a request body");
                return true;
            }
            length = std::stoull(value);
        } else if (sameName(name, nameLength, "Transfer-Encoding")) {
            refuse(connection, 411, "A request body is sent with Content-Length");
            return true;
        } else if (sameName(name, nameLength, "Content-Encoding") && strcasecmp(value.c_str(), "identity") != 0) {
            refuse(connection, 415, "Request bodies are not compressed");
            return true;
        }
        start = end + 2;
    }
    const size_t allowed = bodyLimit(method, path);
    if (length > allowed) {
        refuse(connection, 413,
               "A request body of " + method + " " + path + " has at most " + std::to_string(allowed) + " bytes");
        return true;
    }
    if (connection.reservedBody < length) {
        if (bufferedBodyBytes + length > limits.maxBufferedBodyBytes) {
            refuse(connection, 503, "The server is busy: try again in a few seconds");
            return true;
        }
        bufferedBodyBytes += length - connection.reservedBody;
        connection.reservedBody = size_t(length);
    }
    const size_t whole = headerEnd + 4 + size_t(length);
    if (input.size() < whole)
        return false;

    Job job{connection.serial, input.substr(0, whole), connection.address, connection.port,
            ++connection.served >= limits.requestsPerConnection};
    connection.input.erase(0, whole);
    connection.phase = Connection::Phase::Working;
    {
        std::lock_guard<std::mutex> lock(mutex);
        jobs.push_back(std::move(job));
    }
    queued.notify_one();
    return true;
}

void HttpsFront::refuse(Connection& connection, int status, const std::string& text)
{
    const QByteArray line = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8() + ' '
        + QByteArray::fromStdString(connection.address) + ':' + QByteArray::number(connection.port) + " refused "
        + QByteArray::number(status) + ": " + QByteArray::fromStdString(text) + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    connection.output = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status)
        + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(text.size())
        + "\r\nConnection: close\r\n\r\n" + text;
    connection.sent = 0;
    connection.closeAfterReply = true;
    connection.input.clear();
    connection.phase = Connection::Phase::Writing;
    connection.deadline = Clock::now() + limits.requestDeadline;
    writeMore(connection);
}

void HttpsFront::writeMore(Connection& connection)
{
    while (connection.sent < connection.output.size()) {
        ERR_clear_error();
        const int count = SSL_write(connection.ssl, connection.output.data() + connection.sent,
                                    int(std::min<size_t>(connection.output.size() - connection.sent, INT_MAX)));
        if (count > 0) {
            connection.sent += size_t(count);
            continue;
        }
        awaitSocket(connection, count);
        return;
    }
    if (connection.closeAfterReply) {
        SSL_shutdown(connection.ssl);
        close(connection.serial);
        return;
    }
    connection.output.clear();
    connection.sent = 0;
    connection.wantWrite = false;
    connection.phase = Connection::Phase::Reading;
    connection.deadline = Clock::now() + (connection.input.empty() ? limits.idleTimeout : limits.requestDeadline);
    // A request sent behind the last one may already be buffered, here or inside TLS.
    if (!takeRequest(connection))
        readMore(connection);
}

void HttpsFront::collectReplies()
{
    std::vector<Reply> ready;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ready.swap(replies);
    }
    for (Reply& reply : ready) {
        const auto found = connections.find(reply.serial);
        if (found == connections.end())
            continue;
        Connection& connection = *found->second;
        bufferedBodyBytes -= connection.reservedBody;
        connection.reservedBody = 0;
        connection.output = std::move(reply.bytes);
        connection.sent = 0;
        connection.closeAfterReply = !reply.keepOpen || stopping;
        connection.phase = Connection::Phase::Writing;
        connection.deadline = Clock::now() + limits.requestDeadline;
        writeMore(connection);
    }
}

void HttpsFront::close(std::uint64_t serial)
{
    const auto found = connections.find(serial);
    if (found == connections.end())
        return;
    Connection& connection = *found->second;
    bufferedBodyBytes -= connection.reservedBody;
    const auto ofSource = perSource.find(connection.source);
    if (ofSource != perSource.end() && --ofSource->second == 0)
        perSource.erase(ofSource);
    SSL_free(connection.ssl);
    ::close(connection.fd);
    connections.erase(found);
}

void HttpsFront::dropReply()
{
    replyDropped = true;
}

void HttpsFront::work()
{
    auto& parser = static_cast<Dispatcher&>(*dispatcher);
    for (;;) {
        Job job{};
        {
            std::unique_lock<std::mutex> lock(mutex);
            queued.wait(lock, [this] { return workersEnd || !jobs.empty(); });
            if (workersEnd)
                return;
            job = std::move(jobs.front());
            jobs.pop_front();
        }
        std::string bytes;
        BufferStream stream(job.request, job.address, job.port, bytes);
        bool closed = job.last;
        replyDropped = false;
        const bool answered = parser.process_request(stream, job.last, closed, {});
        if (replyDropped) {
            bytes.clear();
            closed = true;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            replies.push_back({job.serial, std::move(bytes), answered && !closed});
        }
        wake();
    }
}

// Asio's TLS context (Boost 1.74's, Debian 12's) calls RSA and DH functions that OpenSSL 3
// deprecates, which the build otherwise hides; this file calls no OpenSSL function itself.
#undef OPENSSL_NO_DEPRECATED

#include "httpsfront.h"

#include "fairqueue.h"
#include "peeraddress.h"

#include <QByteArray>
#include <QDateTime>
#include <QLocale>
#include <QString>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <strings.h>
#include <thread>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {
// Descriptors the server needs besides its connections: database, course files, standard streams.
constexpr rlim_t spareDescriptors = 64;
constexpr int listenBacklog = 128;
// After a failed accept (no descriptor left, say), before the next.
constexpr std::chrono::milliseconds acceptPause{50};
// What a kept-alive connection reads at first while it waits for its next request.
constexpr size_t idleReadBytes = 512;

// The text of a Boost string view, whichever string view type the Boost release has.
template <typename View> std::string text(const View& view)
{
    return std::string(view.data(), view.size());
}

int hexDigit(char digit)
{
    if (digit >= '0' && digit <= '9')
        return digit - '0';
    if (digit >= 'a' && digit <= 'f')
        return digit - 'a' + 10;
    if (digit >= 'A' && digit <= 'F')
        return digit - 'A' + 10;
    return -1;
}

// %XX sequences decoded; anything else, a lone '%' included, as it is.
std::string percentDecoded(const std::string& encoded)
{
    std::string decoded;
    decoded.reserve(encoded.size());
    for (size_t i = 0; i < encoded.size(); ++i) {
        const int high = encoded[i] == '%' && i + 2 < encoded.size() ? hexDigit(encoded[i + 1]) : -1;
        const int low = high >= 0 ? hexDigit(encoded[i + 2]) : -1;
        if (low >= 0) {
            decoded += char(high * 16 + low);
            i += 2;
        } else {
            decoded += encoded[i];
        }
    }
    return decoded;
}

// Clients compare their clock with it; every answer carries one.
std::string httpDate()
{
    return QLocale::c()
        .toString(QDateTime::currentDateTimeUtc(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
        .toStdString();
}

bool isHttpError(const error_code& error)
{
    return error.category() == http::make_error_code(http::error::bad_method).category();
}

// Two Content-Length fields: a bad length to the parser of Boost 1.74, an error of their own
// (multiple_content_length) to later ones; where the error exists, the first overload is taken.
template <typename Error>
auto isSecondLength(const error_code& error, Error, int) -> decltype(Error::multiple_content_length, bool())
{
    return error == Error::multiple_content_length;
}
template <typename Error> bool isSecondLength(const error_code&, Error, long)
{
    return false;
}

template <typename Body> void setHeaders(http::response<Body>& message, const HttpReply& reply)
{
    message.version(11);
    message.result(unsigned(reply.status));
    if (!reply.contentType.empty())
        message.set(http::field::content_type, reply.contentType);
    for (const auto& [name, value] : reply.headers)
        message.insert(name, value);
    message.set(http::field::date, httpDate());
}
}

struct HttpsFront::State {
    class Connection;
    struct Work {
        std::shared_ptr<Connection> connection;
        HttpRequest request;
        bool last = false; // the reply closes the connection
    };

    State(const Limits& frontLimits, BodyLimit routeBodyLimit, Handler routeHandler)
        : limits(frontLimits)
        , bodyLimit(std::move(routeBodyLimit))
        , handler(std::move(routeHandler))
        , queue(size_t(std::max(1, frontLimits.workers - 1)))
    {
    }

    size_t perAddress() const { return std::max<size_t>(1, limits.maxConnections / 4); }
    void accept();
    void admit(tcp::socket socket);
    void shutDown();
    void work();

    Limits limits;
    const BodyLimit bodyLimit;
    const Handler handler;
    FairQueue<Work> queue;
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};

    // Owned by the serving thread.
    std::set<Connection*> connections;
    std::map<std::string, size_t> perSource;
    size_t heldBodyBytes = 0; // announced by the requests being read or served

    ssl::context tls{ssl::context::tls_server};
    // Declared after what a connection's destructor uses: the context destroys the connections
    // that its unfinished handlers still hold.
    asio::io_context io;
    tcp::acceptor acceptor{io};
    asio::steady_timer pause{io};
    std::vector<std::thread> workers;
};

// One client connection, from the accept to the close, on the serving thread. It is kept alive by
// whatever waits for it: an operation under way, or the request a worker serves.
class HttpsFront::State::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(State& owner, tcp::socket socket, std::string peerAddress, int peerPort, std::string peerSource)
        : front(owner)
        , stream(beast::tcp_stream(std::move(socket)), owner.tls)
        , address(std::move(peerAddress))
        , port(peerPort)
        , source(std::move(peerSource))
    {
        front.connections.insert(this);
        ++front.perSource[source];
    }

    ~Connection()
    {
        front.heldBodyBytes -= reserved;
        front.connections.erase(this);
        const auto found = front.perSource.find(source);
        if (found != front.perSource.end() && --found->second == 0)
            front.perSource.erase(found);
    }

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void start()
    {
        // The first request's deadline runs from the accept: the handshake is part of it.
        lowest().expires_after(front.limits.requestDeadline);
        stream.async_handshake(ssl::stream_base::server, [self = shared_from_this()](const error_code& error) {
            if (!error)
                self->readHeader();
        });
    }

    // The server stops: every operation ends, and with them the connection.
    void abort() { lowest().close(); }

    // From the worker that served the request, through the serving thread.
    void answer(HttpReply reply, bool last)
    {
        release();
        if (front.stopping)
            return;
        switch (reply.ending) {
        case HttpReply::Ending::Closed:
            close();
            return;
        case HttpReply::Ending::CutShort:
            promise(reply);
            return;
        case HttpReply::Ending::Whole:
            break;
        }
        response = {};
        setHeaders(response, reply);
        response.body() = std::move(reply.body);
        response.keep_alive(!last);
        try {
            response.prepare_payload();
        } catch (const std::exception&) {
            // A status that takes no body (1xx, 204, 304).
            response.body().clear();
            response.prepare_payload();
        }
        lowest().expires_after(front.limits.requestDeadline);
        http::async_write(stream, response, [self = shared_from_this(), last](const error_code& error, size_t) {
            if (error)
                return;
            if (last)
                self->close();
            else
                self->awaitNext();
        });
    }

private:
    beast::tcp_stream& lowest() { return beast::get_lowest_layer(stream); }

    // A kept-alive connection: its next request's deadline starts with its first byte.
    void awaitNext()
    {
        if (buffer.size() > 0) {
            lowest().expires_after(front.limits.requestDeadline);
            readHeader();
            return;
        }
        buffer.shrink_to_fit();
        lowest().expires_after(front.limits.idleTimeout);
        stream.async_read_some(buffer.prepare(idleReadBytes),
                               [self = shared_from_this()](const error_code& error, size_t count) {
                                   if (error)
                                       return;
                                   self->buffer.commit(count);
                                   self->lowest().expires_after(self->front.limits.requestDeadline);
                                   self->readHeader();
                               });
    }

    void readHeader()
    {
        parser.emplace();
        parser->header_limit(std::uint32_t(std::min<size_t>(front.limits.maxHeaderBytes, UINT32_MAX)));
        // The route's limit is known once the header is.
        parser->body_limit(std::numeric_limits<std::uint64_t>::max());
        http::async_read_header(stream, buffer, *parser,
                                [self = shared_from_this()](const error_code& error, size_t headerBytes) {
                                    self->headerRead(error, headerBytes);
                                });
    }

    void headerRead(const error_code& error, size_t headerBytes)
    {
        // The parser's own limit holds the request line and the header lines to it each.
        if (error == http::error::header_limit || (!error && headerBytes > front.limits.maxHeaderBytes)) {
            refuse(431,
                   "The request line and headers have at most " + std::to_string(front.limits.maxHeaderBytes)
                       + " bytes");
            return;
        }
        if (error) {
            malformed(error);
            return;
        }
        const auto& header = parser->get();
        const std::string method = text(header.method_string());
        const std::string target = text(header.target());
        const std::string path = target.substr(0, target.find('?'));
        if (header.count(http::field::transfer_encoding) > 0) {
            refuse(411, "A request body is sent with Content-Length");
            return;
        }
        const std::string encoding = text(header[http::field::content_encoding]);
        if (!encoding.empty() && strcasecmp(encoding.c_str(), "identity") != 0) {
            refuse(415, "Request bodies are not compressed");
            return;
        }
        const std::uint64_t length = parser->content_length().value_or(0);
        const size_t allowed = front.bodyLimit(method, path);
        if (length > allowed) {
            refuse(413,
                   "A request body of " + method + " " + path + " has at most " + std::to_string(allowed) + " bytes");
            return;
        }
        if (front.heldBodyBytes + length > front.limits.maxBufferedBodyBytes) {
            refuse(503, "The server is busy: try again in a few seconds");
            return;
        }
        reserved = size_t(length);
        front.heldBodyBytes += reserved;
        parser->body_limit(std::uint64_t(allowed));
        if (parser->is_done()) {
            dispatch();
            return;
        }
        http::async_read(stream, buffer, *parser, [self = shared_from_this()](const error_code& failure, size_t) {
            if (failure)
                self->malformed(failure);
            else
                self->dispatch();
        });
    }

    // A request that could not be read: refused when it was not HTTP, else (closed, too late)
    // the connection just ends.
    void malformed(const error_code& error)
    {
        if (error == http::error::body_limit)
            refuse(413, "The request body is larger than its route allows");
        else if (error == http::error::bad_content_length || isSecondLength(error, http::error{}, 0))
            refuse(400, "One Content-Length, a number, frames a request body");
        else if (error == http::error::bad_transfer_encoding)
            refuse(411, "A request body is sent with Content-Length");
        else if (error == http::error::bad_field)
            refuse(400, "A header line without a colon");
        else if (isHttpError(error) && error != http::error::end_of_stream && error != http::error::partial_message)
            refuse(400, "Not an HTTP request");
    }

    // The whole request goes to the workers, in the queue of its client's address.
    void dispatch()
    {
        http::request<http::string_body> message = parser->release();
        parser.reset();
        Work work;
        work.last = ++served >= front.limits.requestsPerConnection || !message.keep_alive();
        HttpRequest& request = work.request;
        request.method = text(message.method_string());
        const std::string target = text(message.target());
        request.path = percentDecoded(target.substr(0, target.find('?')));
        for (auto cookies = message.equal_range(http::field::cookie); cookies.first != cookies.second; ++cookies.first)
            request.cookies.push_back(text(cookies.first->value()));
        request.body = std::move(message.body());
        request.remoteAddress = address;
        request.remotePort = port;
        work.connection = shared_from_this();
        front.queue.push(source, std::move(work));
    }

    void refuse(int status, const std::string& why)
    {
        release();
        const QByteArray line = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8() + ' '
            + QByteArray::fromStdString(address) + ':' + QByteArray::number(port) + " refused "
            + QByteArray::number(status) + ": " + QByteArray::fromStdString(why) + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        HttpReply reply;
        reply.status = status;
        reply.contentType = "text/plain; charset=utf-8";
        response = {};
        setHeaders(response, reply);
        response.body() = why;
        response.keep_alive(false);
        response.prepare_payload();
        lowest().expires_after(front.limits.requestDeadline);
        http::async_write(stream, response, [self = shared_from_this()](const error_code& error, size_t) {
            if (!error)
                self->close();
        });
    }

    // A header that promises a body, and then the connection closes.
    void promise(const HttpReply& reply)
    {
        struct Promise {
            http::response<http::empty_body> message;
            http::response_serializer<http::empty_body> serializer{message};
        };
        auto promised = std::make_shared<Promise>();
        setHeaders(promised->message, reply);
        promised->message.content_length(std::uint64_t(reply.promisedBytes));
        lowest().expires_after(front.limits.requestDeadline);
        http::async_write_header(stream, promised->serializer,
                                 [self = shared_from_this(), promised](const error_code& error, size_t) {
                                     if (!error)
                                         self->close();
                                 });
    }

    // TLS's close, then the socket's, once the client answers it or closeWait has passed.
    void close()
    {
        lowest().expires_after(front.limits.closeWait);
        stream.async_shutdown([self = shared_from_this()](const error_code&) {});
    }

    void release()
    {
        front.heldBodyBytes -= reserved;
        reserved = 0;
    }

    State& front;
    ssl::stream<beast::tcp_stream> stream;
    beast::flat_buffer buffer;
    std::optional<http::request_parser<http::string_body>> parser;
    http::response<http::string_body> response;
    const std::string address;
    const int port;
    const std::string source;
    size_t served = 0;
    size_t reserved = 0; // of heldBodyBytes
};

void HttpsFront::State::accept()
{
    acceptor.async_accept([this](const error_code& error, tcp::socket socket) {
        if (stopping || error == asio::error::operation_aborted)
            return;
        if (error) {
            pause.expires_after(acceptPause);
            pause.async_wait([this](const error_code& waited) {
                if (!waited && !stopping)
                    accept();
            });
            return;
        }
        admit(std::move(socket));
        accept();
    });
}

void HttpsFront::State::admit(tcp::socket socket)
{
    error_code error;
    const tcp::endpoint peer = socket.remote_endpoint(error);
    if (error)
        return;
    const std::string address = peer.address().to_string();
    const std::string source = PeerAddress::source(address);
    const auto ofSource = perSource.find(source);
    // Beyond the bounds the connection is closed at once, unread.
    if (connections.size() >= limits.maxConnections
        || (ofSource != perSource.end() && ofSource->second >= perAddress()))
        return;
    // Replies leave in more than one write; without this, Nagle's algorithm and the peer's delayed
    // acknowledgement hold each back by about 40 ms.
    socket.set_option(tcp::no_delay(true), error);
    std::make_shared<Connection>(*this, std::move(socket), address, int(peer.port()), source)->start();
}

void HttpsFront::State::shutDown()
{
    stopping = true;
    error_code ignored;
    acceptor.close(ignored);
    pause.cancel();
    const std::vector<Connection*> open(connections.begin(), connections.end());
    for (Connection* connection : open)
        connection->abort();
}

void HttpsFront::State::work()
{
    while (std::optional<FairQueue<Work>::Taken> taken = queue.take()) {
        Work& job = taken->job;
        HttpReply reply;
        try {
            reply = handler(job.request);
        } catch (const std::exception&) {
            reply = HttpReply();
            reply.status = 500;
            reply.contentType = "text/plain; charset=utf-8";
            reply.body = "Internal server error";
        }
        job.request = HttpRequest();
        queue.finished(taken->source);
        // The connection goes back to the serving thread with the reply; no worker keeps it.
        asio::post(io, [connection = std::move(job.connection), answer = std::move(reply), last = job.last]() mutable {
            connection->answer(std::move(answer), last);
        });
    }
}

HttpsFront::HttpsFront(const Limits& limits, BodyLimit bodyLimit, Handler handler)
    : state(std::make_unique<State>(limits, std::move(bodyLimit), std::move(handler)))
{
}

HttpsFront::~HttpsFront() = default;

bool HttpsFront::setUpTls(const std::function<bool(SSL_CTX&)>& setUp)
{
    SSL_CTX* context = state->tls.native_handle();
    return context && setUp(*context);
}

int HttpsFront::bind(const std::string& host, int port)
{
    // Room for every connection; what the system refuses lowers the bound instead.
    Limits& limits = state->limits;
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

    error_code error;
    tcp::resolver resolver(state->io);
    const auto found
        = resolver.resolve(host, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service, error);
    if (error)
        return -1;
    for (const auto& entry : found) {
        tcp::acceptor candidate(state->io);
        const tcp::endpoint endpoint = entry.endpoint();
        candidate.open(endpoint.protocol(), error);
        if (!error)
            candidate.set_option(tcp::acceptor::reuse_address(true), error);
        if (!error)
            candidate.bind(endpoint, error);
        if (!error)
            candidate.listen(listenBacklog, error);
        if (!error) {
            state->acceptor = std::move(candidate);
            break;
        }
    }
    if (!state->acceptor.is_open())
        return -1;
    const tcp::endpoint bound = state->acceptor.local_endpoint(error);
    return error ? -1 : int(bound.port());
}

size_t HttpsFront::maxConnections() const
{
    return state->limits.maxConnections;
}

size_t HttpsFront::perAddress() const
{
    return state->perAddress();
}

bool HttpsFront::run()
{
    if (!state->acceptor.is_open())
        return false;
    state->running = true;
    for (int i = 0; i < state->limits.workers; ++i)
        state->workers.emplace_back([this] { state->work(); });
    state->accept();
    // Until shutDown() has closed the listener and every connection.
    for (;;) {
        try {
            state->io.run();
            break;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "oxbell-server: %s\n", error.what());
        }
    }
    // The requests still waiting go unanswered; the workers finish the ones they serve.
    state->queue.close().clear();
    for (std::thread& worker : state->workers)
        worker.join();
    state->workers.clear();
    state->running = false;
    return true;
}

bool HttpsFront::isRunning() const
{
    return state->running;
}

void HttpsFront::stop()
{
    asio::post(state->io, [this] { state->shutDown(); });
}

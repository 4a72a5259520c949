#pragma once

#include <string>
#include <utility>
#include <vector>

// One whole request as the connection front hands it to the routes, and the reply they give back.
// Neither knows of sockets, TLS or the library that reads and writes them.
struct HttpRequest {
    std::string method;
    std::string path; // percent-decoded, without the query
    std::vector<std::string> cookies; // the value of every Cookie header, in order
    std::string body;
    std::string remoteAddress; // numeric
    int remotePort = 0;
};

struct HttpReply {
    // How the connection ends the exchange: with the whole reply; closed before any byte of it; or
    // closed after a header that promises a body of `promisedBytes` that never comes.
    enum class Ending { Whole, Closed, CutShort };

    int status = 200;
    std::string contentType; // empty: no Content-Type
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers; // besides Content-Type and Content-Length
    Ending ending = Ending::Whole;
    size_t promisedBytes = 0;
};

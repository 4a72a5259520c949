#include "peeraddress.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

std::string PeerAddress::source(const std::string& numeric)
{
    in6_addr address{};
    // A scope ("fe80::1%eth0") is not part of the address.
    if (inet_pton(AF_INET6, numeric.substr(0, numeric.find('%')).c_str(), &address) != 1)
        return numeric;
    if (IN6_IS_ADDR_V4MAPPED(&address)) {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, address.s6_addr + 12, text, sizeof text);
        return text;
    }
    std::memset(address.s6_addr + 8, 0, 8);
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &address, text, sizeof text);
    return std::string(text) + "/64";
}

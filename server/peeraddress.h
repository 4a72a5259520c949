#pragma once

#include <string>

namespace PeerAddress {
// What bounds per address count as one client: an IPv4 address (IPv4-mapped IPv6 included), or the
// /64 network of an IPv6 address, since one host commonly holds a whole /64. `numeric` is the
// text getnameinfo() gives with NI_NUMERICHOST; anything else is returned as it is.
std::string source(const std::string& numeric);
}

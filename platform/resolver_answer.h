// The addresses of a resolver's answer, for either system's answer list: addrinfo on POSIX,
// ADDRINFOW on Windows, the same fields under two names. Include after the system's socket
// headers.
#pragma once

#include <cstring>
#include <vector>

#include "platform/sockets.h"

namespace platform {

// The IPv4 and IPv6 entries of the list, in its order; others, and any too large for a
// NetAddress, are left out.
template <typename AnswerEntry>
std::vector<NetAddress> AddressesOf(const AnswerEntry* entry) {
  std::vector<NetAddress> addresses;
  for (; entry != nullptr; entry = entry->ai_next) {
    if ((entry->ai_family != AF_INET && entry->ai_family != AF_INET6) ||
        entry->ai_addrlen > sizeof(NetAddress::bytes))
      continue;
    NetAddress address;
    address.v6 = entry->ai_family == AF_INET6;
    address.length = static_cast<int>(entry->ai_addrlen);
    std::memcpy(address.bytes, entry->ai_addr, entry->ai_addrlen);
    addresses.push_back(address);
  }
  return addresses;
}

}  // namespace platform

// The name look-ups and byte-order conversions of Network, the same on every system. Starting
// and ending networking, the dotted-address parser and the backlog cap are each backend's.
#include "platform/common/SocketShim.h"

#include "platform/Network.h"

#include "platform/Socket.h"

bool resolveHostName(const char* name, char (&text)[16]) {
  if (name == nullptr || name[0] == '\0' || !SocketShim::ready()) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  std::uint16_t port = 0;
  const bool converted =
      SocketShim::spellEnd(*reinterpret_cast<const sockaddr_in*>(found->ai_addr), &port, text);
  ::freeaddrinfo(found);
  return converted;
}

bool resolveOwnAddress(char (&text)[16]) {
  if (!SocketShim::ready()) return false;
  char hostName[256];
  if (::gethostname(hostName, sizeof hostName) != 0) return false;
  hostName[sizeof hostName - 1] = '\0';
  return resolveHostName(hostName, text);
}

std::uint32_t networkToHost32(std::uint32_t value) { return ntohl(value); }
std::uint32_t hostToNetwork32(std::uint32_t value) { return htonl(value); }

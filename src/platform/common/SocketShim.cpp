#include "platform/common/SocketShim.h"

#include "platform/Socket.h"

namespace SocketShim {

sockaddr_in ipv4Address(std::uint16_t port, std::uint32_t address) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(port);
  result.sin_addr.s_addr = address;
  return result;
}

bool readEnd(SocketHandle handle, bool remote, std::uint16_t* port, char (&text)[16]) {
  sockaddr_in address{};
  if (handle == INVALID_SOCKET_HANDLE || !endAddress(handle, remote, &address)) return false;
  return spellEnd(address, port, text);
}

bool spellEnd(const sockaddr_in& address, std::uint16_t* port, char (&text)[16]) {
  if (address.sin_family != AF_INET) return false;
  char dotted[INET_ADDRSTRLEN];
  if (::inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof dotted) == nullptr) return false;
  *port = ntohs(address.sin_port);
  copyAddressText(text, dotted);
  return true;
}

}  // namespace SocketShim

#include "platform/Network.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/Socket.h"

Bool16 startWinsock() {
  ::signal(SIGPIPE, SIG_IGN);
  return 1;
}

Bool16 stopWinsock() { return 1; }

bool resolveHostName(const char* name, char (&text)[16]) {
  if (name == nullptr || name[0] == '\0') return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  char dotted[INET_ADDRSTRLEN];
  const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  bool converted = ::inet_ntop(AF_INET, &address->sin_addr, dotted, sizeof dotted) != nullptr;
  ::freeaddrinfo(found);
  if (!converted) return false;
  copyAddressText(text, dotted);
  return true;
}

bool resolveOwnAddress(char (&text)[16]) {
  char hostName[256];
  if (::gethostname(hostName, sizeof hostName) != 0) return false;
  hostName[sizeof hostName - 1] = '\0';
  return resolveHostName(hostName, text);
}

std::uint32_t convertAddress(const char* text) {
  in_addr address{};
  if (text == nullptr || ::inet_aton(text, &address) == 0) return 0xFFFFFFFFu;
  return address.s_addr;
}

int largestListenBacklog() {
#ifdef __linux__
  std::FILE* file = std::fopen("/proc/sys/net/core/somaxconn", "r");
  if (file == nullptr) return -1;
  int largest = -1;
  if (std::fscanf(file, "%d", &largest) != 1) largest = -1;
  std::fclose(file);
  return largest;
#else
  return -1;
#endif
}

std::uint32_t networkToHost32(std::uint32_t value) { return ntohl(value); }
std::uint32_t hostToNetwork32(std::uint32_t value) { return htonl(value); }

#include "platform/Network.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>

#include <cstdio>

Bool16 startWinsock() {
  ::signal(SIGPIPE, SIG_IGN);
  return 1;
}

Bool16 stopWinsock() { return 1; }

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

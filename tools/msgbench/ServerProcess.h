// ServerProcess: the server's process as the system accounts it, found by its process id:
// the processor time it has used, and whether it is the one listening on the port being
// measured (a stale pid, or a second server that could not get the port, would otherwise give
// figures of nothing).
// Thread safety: none needed; every call reads /proc afresh.
#pragma once

#include <cstdint>

class ServerProcess {
 public:
  // The process's user + system time so far, over all its threads, in seconds; -1 when it
  // cannot be read.
  static double cpuSeconds(int pid);
  // True when the process holds a socket listening on the TCP port (IPv4).
  static bool listensOn(int pid, std::uint16_t port);
};

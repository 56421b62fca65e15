// Acceptor: the turn at accepting on the listener, the count of connections being served, and
// the capacity rule. One worker at a time waits in accept; a connection is counted and judged
// against the capacity in one hold of the count, so that workers accepting at the same moment
// see each other's connections and refuse none while there is room.
// Owns: the accept mutex and the connections mutex (open for the Acceptor's life) and the
// count. Locks: accept, then connections inside it; connections alone to give a count back.
// Neither is held while waiting for anything but the system's accept, and no other lock is
// taken while either is held.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/PlatformTypes.h"

class Mutex;
class ServerSocket;
class ServiceGate;

class Acceptor {
 public:
  enum class Verdict { Nothing, Serve, OverCapacity };

  Acceptor(std::uint32_t processId, const ServiceGate& gate);
  ~Acceptor();

  Acceptor(const Acceptor&) = delete;
  Acceptor& operator=(const Acceptor&) = delete;

  // One turn at accepting: Nothing (no connection; after a failed accept the caller pauses,
  // since a broken listener must not spin a worker), else *handle holds the new connection,
  // counted, and the verdict says whether the capacity leaves room for it.
  Verdict take(ServerSocket& listener, std::int32_t capacity, SocketHandle* handle);
  // Gives back the count of a connection that has been closed.
  void release();
  // No connection is counted (a service starts or has stopped).
  void reset() { connectionCount = 0; }

  // Connections accepted and not yet closed; written under the connections mutex.
  std::atomic<std::int32_t> connectionCount;

 private:
  const ServiceGate& gate_;
  Mutex* acceptMutex_;
  Mutex* connectionsMutex_;
};

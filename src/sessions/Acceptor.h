// Acceptor: the turn at accepting on the listener, the count of connections being served, and
// the capacity rule. One worker at a time waits in accept; a connection is counted and judged
// against the capacity in one hold of the count, so that workers accepting at the same moment
// see each other's connections and refuse none while there is room.
// The per-address rule ("maxperhost") is judged after the capacity, once the connection's
// address is known: an address may hold at most that many connections at once (0: any number);
// a connection refused for it is not counted for its address.
// Owns: the accept mutex and the connections mutex (open for the Acceptor's life), the count
// and the count per address. Locks: accept, then connections inside it; connections alone to
// give a count back.
// Neither is held while waiting for anything but the system's accept, and no other lock is
// taken while either is held.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "platform/PlatformTypes.h"

class Mutex;
class ServerSocket;
class ServiceGate;

class Acceptor {
 public:
  enum class Verdict { Nothing, Serve, OverCapacity, TooManyFromHost };

  Acceptor(std::uint32_t processId, const ServiceGate& gate);
  ~Acceptor();

  Acceptor(const Acceptor&) = delete;
  Acceptor& operator=(const Acceptor&) = delete;

  // One turn at accepting: Nothing (no connection; after a failed accept the caller pauses,
  // since a broken listener must not spin a worker), else *handle holds the new connection,
  // counted, and the verdict says whether the capacity leaves room for it; *peerPort and
  // peerAddress are its remote end, as the accept gave it.
  Verdict take(ServerSocket& listener, std::int32_t capacity, SocketHandle* handle,
               std::uint16_t* peerPort, char (&peerAddress)[16]);
  // Gives back the count of a connection that has been closed.
  void release();
  // Counts one more connection from address, unless it holds limit already (limit 0: no
  // limit): false, and nothing counted, when it does. address is a dotted IPv4 address.
  bool claimHost(const char* address, std::int32_t limit);
  // Gives back what claimHost counted for address.
  void releaseHost(const char* address);
  // The connections counted for address now.
  std::int32_t hostCount(const char* address);
  // No connection is counted (a service starts or has stopped).
  void reset();

  // Connections accepted and not yet closed; written under the connections mutex.
  std::atomic<std::int32_t> connectionCount;

 private:
  const ServiceGate& gate_;
  Mutex* acceptMutex_;
  Mutex* connectionsMutex_;
  // Connections per address, under the connections mutex; an address leaves it at 0.
  std::unordered_map<std::string, std::int32_t> perHost_;
};

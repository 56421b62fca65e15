#include "sessions/Acceptor.h"

#include "core/MutexName.h"
#include "core/NamedLock.h"
#include "core/ServiceGate.h"
#include "platform/Mutex.h"
#include "platform/ServerSocket.h"

Acceptor::Acceptor(std::uint32_t processId, const ServiceGate& gate)
    : connectionCount(0),
      gate_(gate),
      acceptMutex_(new Mutex(0, MutexName::accept(processId).text(), nullptr)),
      connectionsMutex_(new Mutex(0, MutexName::connections(processId).text(), nullptr)) {}

Acceptor::~Acceptor() {
  delete acceptMutex_;
  delete connectionsMutex_;
}

Acceptor::Verdict Acceptor::take(ServerSocket& listener, std::int32_t capacity,
                                 SocketHandle* handle, std::uint16_t* peerPort,
                                 char (&peerAddress)[16]) {
  NamedLock acceptLock(*acceptMutex_, LockRank::Accept);
  if (gate_.halting()) return Verdict::Nothing;
  *handle = listener.accept(peerPort, peerAddress);
  if (*handle == 0) return Verdict::Nothing;
  NamedLock connectionsLock(*connectionsMutex_, LockRank::Connections);
  return ++connectionCount > capacity ? Verdict::OverCapacity : Verdict::Serve;
}

void Acceptor::release() {
  NamedLock connectionsLock(*connectionsMutex_, LockRank::Connections);
  --connectionCount;
}

bool Acceptor::claimHost(const char* address, std::int32_t limit) {
  NamedLock connectionsLock(*connectionsMutex_, LockRank::Connections);
  std::int32_t& count = perHost_[address];
  if (limit > 0 && count >= limit) return false;
  ++count;
  return true;
}

void Acceptor::releaseHost(const char* address) {
  NamedLock connectionsLock(*connectionsMutex_, LockRank::Connections);
  auto found = perHost_.find(address);
  if (found == perHost_.end()) return;
  if (--found->second <= 0) perHost_.erase(found);
}

std::int32_t Acceptor::hostCount(const char* address) {
  NamedLock connectionsLock(*connectionsMutex_, LockRank::Connections);
  auto found = perHost_.find(address);
  return found == perHost_.end() ? 0 : found->second;
}

void Acceptor::reset() {
  NamedLock connectionsLock(*connectionsMutex_, LockRank::Connections);
  connectionCount = 0;
  perHost_.clear();
}

#include "core/Server.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "core/MutexName.h"
#include "platform/Mutex.h"
#include "platform/Network.h"
#include "platform/System.h"
#include "sessions/ConnectionSlot.h"

namespace {

// Connections waiting to be accepted. A burst of clients larger than the queue would be lost
// in silence (their connect succeeds, but the server never sees them), so the queue is deep.
constexpr std::uint16_t kListenBacklog = 128;

// Password hashes checked at once: one per processor, at most four (each may hold 130 MiB).
int hashesAtOnce() {
  const unsigned processors = std::thread::hardware_concurrency();
  return processors == 0 ? 1 : processors > 4 ? 4 : static_cast<int>(processors);
}

char* duplicateText(const char* text) {
  std::size_t length = std::strlen(text);
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy != nullptr) std::memcpy(copy, text, length + 1);
  return copy;
}

}  // namespace

ServerBase::ServerBase() : hostAddress(0), processId(0), securityLevel(FREEFORALL), startTime(0) {}

ServerBase::~ServerBase() = default;

Server::Server(std::int32_t capacity_)
    : gate(),
      sessions(currentProcessId(), gate, &Server::slotKey, &Server::compareSlotName),
      acceptor(currentProcessId(), gate),
      transport(gate, loginTimeout),
      sessionLoop(gate, transport, loginTimeout),
      hashTurns(hashesAtOnce()),
      slots(sessions.slots),
      users(sessions.users),
      hostCheck(0),
      running(0),
      capacity(capacity_),
      connectionCount(acceptor.connectionCount),
      passwdFile(duplicateText("passwd")),
      hostsFile(duplicateText("hosts")),
      connectionLogFile(duplicateText("connectionlog")),
      errorLogFile(duplicateText(".servererrors")),
      mcastPort(4658),
      mcastTtl(REGION),
      mcastAddress{},
      listener(5412, kListenBacklog),
      localHostText{},
      listenPort(0),
      sendTimeoutMilliseconds(transport.sendTimeoutMilliseconds),
      loginTimeout(60),
      maxPerHost(0),
      messageRate(0),
      messageBurst(0),
      passwordStorage(CLEAR_PASSWORDS) {
  // This machine's address until the configuration names one ("listen").
  char address[16];
  listener.getLocalAddress(address, sizeof address);
  setListenAddress(address);
  processId = currentProcessId();
}

Server::~Server() {
  // A running service is stopped first, so that every user hears of it.
  if (running) stop();
  {
    std::lock_guard<std::mutex> guard(settingsLock);
    std::free(passwdFile);
    passwdFile = nullptr;
    std::free(hostsFile);
    hostsFile = nullptr;
    std::free(connectionLogFile);
    connectionLogFile = nullptr;
    std::free(errorLogFile);
    errorLogFile = nullptr;
  }
  listener.close();
  sessions.destroySlots();
}

const char* Server::slotKey(ConnectionSlot* slot) { return slot->userName; }

int Server::compareSlotName(ConnectionSlot* slot, const char* name) {
  return std::strcmp(name, slot->userName);
}

void Server::report(const char* message) {
  std::printf("%s\n", message);
  std::fflush(stdout);
  logError(message);
}

#include "core/Server.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/MutexName.h"
#include "platform/Mutex.h"
#include "platform/Network.h"
#include "platform/System.h"
#include "sessions/ConnectionSlot.h"

namespace {

// Connections waiting to be accepted. A burst of clients larger than the queue would be lost
// in silence (their connect succeeds, but the server never sees them), so the queue is deep.
constexpr std::uint16_t kListenBacklog = 128;

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
    : slots(nullptr),
      users(&Server::slotKey, &Server::compareSlotName, 0),
      hostCheck(0),
      running(0),
      capacity(capacity_),
      connectionCount(0),
      passwdFile(duplicateText("passwd")),
      hostsFile(duplicateText("hosts")),
      connectionLogFile(duplicateText("connectionlog")),
      errorLogFile(duplicateText(".servererrors")),
      mcastPort(4658),
      mcastTtl(REGION),
      mcastAddress{},
      listener(5412, kListenBacklog),
      usersMutex(nullptr),
      connectionsMutex(nullptr),
      acceptMutex(nullptr),
      handshakeSocketMutex(nullptr),
      halting(false),
      stoppingThread(),
      stopDeadline(0),
      localHostText{},
      loginCount(0),
      sendTimeoutMilliseconds(5000),
      loginTimeout(60) {
  char address[16];
  listener.getLocalAddress(address, sizeof address);
  hostAddress = convertAddress(address);
  processId = currentProcessId();
  usersMutex = new Mutex(0, MutexName::users(processId).text(), nullptr);
  connectionsMutex = new Mutex(0, MutexName::connections(processId).text(), nullptr);
  acceptMutex = new Mutex(0, MutexName::accept(processId).text(), nullptr);
  handshakeSocketMutex = new Mutex(0, MutexName::socket(processId, nullptr).text(), nullptr);
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
  users.clear();
  delete usersMutex;
  delete connectionsMutex;
  delete acceptMutex;
  delete handshakeSocketMutex;
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

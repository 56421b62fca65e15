// The worker threads: capacity + 1 of them, each bound to one slot for the life of the
// service. A worker serves one connection at a time: it accepts, counts and perhaps refuses
// it, greets the client, checks its host, logs it in, admits it, and dispatches its packets
// until it quits or fails; the teardown comes at the top of the next turn. When the service
// stops, the worker leaves its cycle wherever it is and stop does the rest.
//
// Locks, in the nestings used here: users, then connections, a socket mutex or a file mutex
// inside it; accept, then connections inside it; connections alone. Accept and users are never
// held together, and none is held while waiting for a client.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>
#include <thread>

#include "core/NamedLock.h"
#include "core/Server.h"
#include "platform/Mutex.h"
#include "platform/StreamSocket.h"
#include "protocol/Packet.h"
#include "sessions/ConnectionSlot.h"

namespace {

// A failed accept is retried after this pause, so a broken listener cannot spin a worker.
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(100);
// Keep-alive probes: after a minute of silence, every 10 seconds, 6 unanswered end it.
constexpr int kKeepAliveIdleSeconds = 60;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 6;

std::int64_t steadyNowMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void Server::workerThread(char* argument) {
  void* slotPointer = nullptr;
  void* serverPointer = nullptr;
  int parsed = std::sscanf(argument, "%p %p", &slotPointer, &serverPointer);
  std::free(argument);
  if (parsed != 2) return;
  static_cast<Server*>(serverPointer)->runWorker(static_cast<ConnectionSlot*>(slotPointer));
}

void Server::runWorker(ConnectionSlot* slot) {
  Packet outgoing;
  Packet incoming;
  std::memcpy(outgoing.senderName, "server\0\0", sizeof outgoing.senderName);
  std::memcpy(outgoing.senderHost, localHostText, sizeof outgoing.senderHost);

  while (!halting) {
    teardownConnection(slot, &outgoing);
    if (halting) continue;
    if (!takeConnection(slot)) {
      // Taken over the capacity: told so here, and closed by the teardown.
      if (slot->socket != nullptr) {
        sendMessage(slot, &outgoing, "Connection limit has been reached. Try again later.");
      }
      continue;
    }
    if (!greetAndCheckHost(slot, &outgoing)) continue;
    if (!loginHandshake(slot, &outgoing, &incoming) || halting) continue;
    slot->loginDeadline = 0;  // logged in: from now on a user may be idle as long as it likes
    admitUser(slot, &outgoing, &incoming);
  }
}

// Cycle step 2: what is left of the previous connection goes. Takes users, then the
// connections mutex, the socket mutexes and the connection log's mutex inside it.
void Server::teardownConnection(ConnectionSlot* slot, Packet* outgoing) {
  NamedLock usersLock(*usersMutex);
  if (halting) return;  // stop tears the slots down itself, without notices
  if (slot->userName != nullptr) {
    // Those who were told of the user hear that it has gone; a name that no list could show
    // was never told to anyone.
    const std::int32_t slotCount = capacity + 1;
    const bool listed = slot->admitted && loginNameProblem(slot->userName) == nullptr;
    for (std::int32_t i = 0; listed && i < slotCount; ++i) {
      ConnectionSlot* other = slots[i];
      if (other != slot && other->userName != nullptr && other->admitted) {
        sendUserGone(other, outgoing, slot);
      }
    }
    slot->admitted = false;
    char peer[16] = "";
    std::uint16_t port = 0;
    if (slot->socket != nullptr) {
      slot->socket->getPeerAddress(peer, sizeof peer);
      port = slot->socket->localPort;
    }
    logDisconnect(slot->userName, port, peer);
    users.remove(slot->userName);
    std::free(slot->userName);
    slot->userName = nullptr;
  }
  // A router that found the user before it left may still be writing to it: its socket mutex
  // is held from here until the connection is gone, and the QUIT goes out under it.
  std::optional<NamedLock> socketLock;
  if (slot->socketMutex != nullptr) socketLock.emplace(*slot->socketMutex);
  if (slot->socket != nullptr) {
    sendQuit(slot, outgoing);
    delete slot->socket;  // closes the connection
    slot->socket = nullptr;
    slot->connectTime = 0;
    NamedLock connectionsLock(*connectionsMutex);
    --connectionCount;
  }
  if (slot->socketMutex != nullptr) {
    socketLock.reset();
    delete slot->socketMutex;
    slot->socketMutex = nullptr;
  }
}

// Cycle steps 3 to 5: one turn at accepting. False when nothing was accepted (socket stays
// null) or when the connection is over the capacity (socket set, so that it can be refused).
bool Server::takeConnection(ConnectionSlot* slot) {
  NamedLock acceptLock(*acceptMutex);
  if (halting) return false;
  SocketHandle handle = listener.accept(nullptr);
  if (handle == 0) {
    acceptLock.unlock();
    if (!halting) std::this_thread::sleep_for(kAcceptRetryPause);
    return false;
  }
  StreamSocket* socket = new (std::nothrow) StreamSocket(handle);
  if (socket == nullptr) {
    StreamSocket closing(handle);  // closes the handle as it goes
    return false;
  }
  // Every packet is a whole message: none should wait to be coalesced with the next. A peer
  // that vanishes without a word is noticed by the keep-alive probes.
  socket->setNoDelay(1);
  socket->setKeepAlive(1);
  socket->setKeepAliveTiming(kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds,
                             kKeepAliveProbes);
  // Counted and judged in one hold: the count then takes in this connection and those still
  // open from before it, never one accepted after it, so workers accepting at the same moment
  // cannot refuse each other's connections while there is room for them.
  bool overCapacity;
  {
    NamedLock connectionsLock(*connectionsMutex);
    overCapacity = ++connectionCount > capacity;
  }
  acceptLock.unlock();

  // Published under users, where stop looks for the connections it must wake.
  NamedLock usersLock(*usersMutex);
  slot->socket = socket;
  slot->connectTime = std::time(nullptr);
  slot->inboxLength = 0;
  slot->partialSince = 0;
  slot->peerClosed = false;
  const std::int32_t timeout = loginTimeout;
  slot->loginDeadline = timeout > 0 ? steadyNowMilliseconds() + std::int64_t{timeout} * 1000 : 0;
  return !overCapacity;
}

// Cycle steps 6 and 7: HELO, then the host check when it is on. False ends the turn.
bool Server::greetAndCheckHost(ConnectionSlot* slot, Packet* outgoing) {
  if (sendHello(slot, outgoing) < 0) return false;
  if (!hostCheck) return true;
  if (sendMessage(slot, outgoing, "Verifiying host.") < 0) return false;
  char peer[16];
  slot->socket->getPeerAddress(peer, sizeof peer);
  char text[TEXT_LINE_SIZE];
  if (!isTrustedHost(peer)) {
    std::snprintf(text, sizeof text, "Connection Error: Access denied to unknown host %s", peer);
    logError(text);
    sendMessage(slot, outgoing, text);
    return false;
  }
  std::snprintf(text, sizeof text, "Verified host %s.", peer);
  return sendMessage(slot, outgoing, text) >= 0;
}

// Cycle step 8, after the login: the connection log, the admission packets, the notices to
// everyone else, and then the session loop.
void Server::admitUser(ConnectionSlot* slot, Packet* outgoing, Packet* incoming) {
  char peer[16];
  slot->socket->getPeerAddress(peer, sizeof peer);
  logConnect(slot->userName, slot->socket->localPort, peer);
  if (sendSystemId(slot, outgoing) < 0) return;
  {
    // The newcomer's list, the notices to the others and its admission in one hold of users:
    // of two users admitted at the same moment, the later lists the earlier and the earlier is
    // told of the later, each exactly once.
    NamedLock usersLock(*usersMutex);
    if (sendUserList(slot, outgoing) < 0) return;
    const std::int32_t slotCount = capacity + 1;
    for (std::int32_t i = 0; i < slotCount; ++i) {
      ConnectionSlot* other = slots[i];
      if (other != slot && other->userName != nullptr && other->admitted) {
        sendUserJoined(other, outgoing, slot);
      }
    }
    slot->admitted = true;
  }
  if (sendMulticastGroup(slot, outgoing) < 0 || sendConnected(slot, outgoing) < 0) return;
  while (receivePacket(slot, incoming) >= 0) {
    // While the stop says goodbye, what the client still sends is read and dropped: left
    // unread, it would reset the connection under the notice when it closes.
    if (halting) continue;
    if (!dispatchPacket(slot, incoming)) break;
  }
  slot->peerClosed = true;
}

void Server::teardownSlot(ConnectionSlot* slot) {
  // The worker goes first: it may still be using the socket on its way out.
  if (slot->thread != nullptr) {
    if (slot->thread->joinable()) slot->thread->join();
    delete slot->thread;
    slot->thread = nullptr;
    slot->threadId = 0;
  }
  delete slot->socket;
  slot->socket = nullptr;
  delete slot->socketMutex;
  slot->socketMutex = nullptr;
  std::free(slot->userName);
  slot->userName = nullptr;
}

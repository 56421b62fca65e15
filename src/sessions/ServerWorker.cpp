// The worker threads: capacity + 1 of them, each bound to one slot for the life of the
// service. A worker serves one connection at a time: it accepts, counts and perhaps refuses
// it, greets the client, checks its host, logs it in, admits it, serves what the client sends
// in the first moments after that, and hands the session to the session loop, which reads and
// routes the client's packets until it quits or fails while the worker sleeps; the teardown
// comes at the top of the next turn. When the service stops, the worker leaves its cycle
// wherever it is and stop does the rest.
//
// Locks: the Acceptor's accept and connections mutexes for a turn at accepting; users only
// inside SessionTable's operations, for a moment each; the slot's own send lock around the
// admission's taking of its list (with users inside it) and around the teardown's QUIT and
// close (waiting there for the outbox's writer); another user's send lock, alone, for each
// notice, and for each delivery of its client's first packets (found under users, let go
// first). None is held while waiting for a client, and no send, file or pause happens under
// users.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>
#include <thread>

#include "core/NamedLock.h"
#include "core/Server.h"
#include "core/SteadyClock.h"
#include "platform/Mutex.h"
#include "platform/StreamSocket.h"
#include "protocol/Packet.h"
#include "sessions/ConnectionSlot.h"

namespace {

// How long a worker serves its client itself after the login, before the session loop does.
constexpr std::int64_t kFirstPacketsMilliseconds = 20;
// A failed accept is retried after this pause, so a broken listener cannot spin a worker.
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(100);
// Keep-alive probes: after a minute of silence, every 10 seconds, 6 unanswered end it.
constexpr int kKeepAliveIdleSeconds = 60;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 6;

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

  while (!gate.halting()) {
    teardownConnection(slot, &outgoing);
    if (gate.halting()) continue;
    const Acceptor::Verdict verdict = takeConnection(slot);
    if (verdict != Acceptor::Verdict::Serve) {
      // Taken over the capacity, or over its address's share: told so here, and closed by
      // the teardown.
      if (slot->socket == nullptr) continue;
      if (verdict == Acceptor::Verdict::TooManyFromHost) {
        char peer[16] = "";
        slot->socket->getPeerAddress(peer, sizeof peer);
        char text[TEXT_LINE_SIZE];
        std::snprintf(text, sizeof text, "Too many connections from %s.", peer);
        logError(text);
        sendMessage(slot, &outgoing, "Too many connections from your address.");
      } else {
        sendMessage(slot, &outgoing, "Connection limit has been reached. Try again later.");
      }
      continue;
    }
    if (!greetAndCheckHost(slot, &outgoing)) continue;
    if (!loginHandshake(slot, &outgoing, &incoming) || gate.halting()) continue;
    slot->loginDeadline = 0;  // logged in: from now on a user may be idle as long as it likes
    admitUser(slot, &outgoing);
  }
}

// The message rate: takes one token from the slot's bucket. Wait, with *resumeAt the time a
// token is back (steady-clock microseconds), when the bucket is empty; the session loop then
// reads nothing more from the client until it offers the packet again (retry), so that the
// client's own sending slows. Flood when the client's packets have waited for tokens without a
// break for the login time-out (never when that is 0).
Server::TokenWait Server::takeToken(ConnectionSlot* slot, bool retry, std::int64_t* resumeAt) {
  const std::int32_t rate = messageRate;
  if (rate <= 0) return TokenWait::Go;
  const std::int32_t burst = messageBurst > 0 ? static_cast<std::int32_t>(messageBurst) : rate;
  // The tokens earned since they were last counted, up to the burst.
  const std::int64_t at = steadyMicroseconds();
  const double earned = (at - slot->tokensAt) * 1e-6 * rate;
  slot->tokens = slot->tokens < 0 ? burst : std::min<double>(burst, slot->tokens + earned);
  slot->tokensAt = at;
  if (slot->tokens >= 1) {
    slot->tokens -= 1;
    // A packet served without waiting shows the client has kept to its rate; one that waited
    // for its token does not.
    if (!retry) slot->throttledSince = 0;
    return TokenWait::Go;
  }
  if (slot->throttledSince == 0) slot->throttledSince = at;
  const std::int64_t limit = std::int64_t{loginTimeout} * 1000000;
  if (limit > 0 && at - slot->throttledSince >= limit) return TokenWait::Flood;
  *resumeAt = at + static_cast<std::int64_t>((1 - slot->tokens) * 1e6 / rate) + 1;
  return TokenWait::Wait;
}

// One packet of a logged-in client, for the session loop.
SessionLoop::Outcome Server::servePacket(ConnectionSlot* slot, Packet* packet, bool retry,
                                         std::int64_t* resumeAt) {
  // While the stop says goodbye, what the client still sends is read and dropped: left
  // unread, it would reset the connection under the notice when it closes.
  if (gate.halting()) return SessionLoop::Outcome::Served;
  if (std::memcmp(packet->type, "QUIT", 4) != 0) {
    switch (takeToken(slot, retry, resumeAt)) {
      case TokenWait::Go:
        break;
      case TokenWait::Wait:
        return SessionLoop::Outcome::Held;
      case TokenWait::Flood: {
        char peer[16] = "";
        slot->socket->getPeerAddress(peer, sizeof peer);
        char text[TEXT_LINE_SIZE];
        std::snprintf(text, sizeof text, "Too many messages from %s@%s: disconnected.",
                      slot->userName, peer);
        logError(text);
        Packet outgoing;
        std::memcpy(outgoing.senderName, "server\0\0", sizeof outgoing.senderName);
        std::memcpy(outgoing.senderHost, localHostText, sizeof outgoing.senderHost);
        sendMessage(slot, &outgoing, "Too many messages: disconnected.");
        return SessionLoop::Outcome::Ended;
      }
    }
  }
  return dispatchPacket(slot, packet) ? SessionLoop::Outcome::Served
                                      : SessionLoop::Outcome::Ended;
}

// Cycle step 2: what is left of the previous connection goes.
void Server::teardownConnection(ConnectionSlot* slot, Packet* outgoing) {
  // The slot's own worker reads its connection's ends without a lock: nobody else changes them.
  char peer[16] = "";
  std::uint16_t port = 0;
  if (slot->socket != nullptr) {
    slot->socket->getPeerAddress(peer, sizeof peer);
    port = slot->socket->localPort;
  }
  std::vector<Recipient> told;
  char* name = nullptr;
  switch (sessions.release(slot, &told, &name)) {
    case SessionTable::Release::Halting:
      return;  // stop tears the slots down itself, without notices
    case SessionTable::Release::Released: {
      // Those who were told of the user hear that it has gone; a name that no list could show
      // was never told to anyone.
      if (loginNameProblem(name) == nullptr && !told.empty()) {
        unsigned char image[MAX_WIRE_SIZE];
        const std::int32_t size = composeUserGone(outgoing, name, image);
        for (const Recipient& recipient : told) {
          transport.notify(recipient, image, size, told.size());
        }
      }
      logDisconnect(name, port, peer);
      std::free(name);
      break;
    }
    case SessionTable::Release::NotLoggedIn:
      break;
  }
  if (slot->socket == nullptr) return;
  StreamSocket* closing = nullptr;
  {
    // A sender that found the user before it left may still be writing to it: the QUIT and the
    // close wait for its send lock and for the outbox's writer to be done.
    NamedLock sendLock(*slot->sendLock, LockRank::Send);
    transport.awaitWriter(slot);
    slot->corked = false;  // a greeting or a list cut short by a failure
    slot->listing = false;
    std::vector<unsigned char>().swap(slot->afterList);
    sendQuit(slot, outgoing);
    closing = sessions.unpublish(slot);  // from here only this worker knows the connection
    std::vector<unsigned char>().swap(slot->outbox);  // what it could not take is dropped
    slot->outboxBytes = 0;
    slot->stalledSince = 0;
    slot->connectTime = 0;
  }
  // The connection's counts go back before it closes: a client that sees its connection end
  // and connects again at once must not be turned away for the one it has just lost.
  if (slot->countedHost[0] != '\0') {
    acceptor.releaseHost(slot->countedHost);
    slot->countedHost[0] = '\0';
  }
  acceptor.release();
  delete closing;
}

// Every packet is a whole message: none should wait to be coalesced with the next. A peer
// that vanishes without a word is noticed by the keep-alive probes.
void Server::setConnectionOptions(Socket& socket) {
  socket.setNoDelay(1);
  socket.setKeepAlive(1);
  socket.setKeepAliveTiming(kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds, kKeepAliveProbes);
}

// Cycle steps 3 to 5: one turn at accepting. Nothing when nothing was accepted (socket stays
// null); OverCapacity or TooManyFromHost when the connection is over the capacity or over its
// address's share (socket set, so that it can be refused); Serve otherwise.
Acceptor::Verdict Server::takeConnection(ConnectionSlot* slot) {
  SocketHandle handle = 0;
  std::uint16_t peerPort = 0;
  char peer[16] = "";
  const Acceptor::Verdict verdict = acceptor.take(listener, capacity, &handle, &peerPort, peer);
  if (verdict == Acceptor::Verdict::Nothing) {
    if (handle == 0 && !gate.halting()) std::this_thread::sleep_for(kAcceptRetryPause);
    return Acceptor::Verdict::Nothing;
  }
  // Both ends without asking the system again: the peer's came with the accept, and a listener
  // on one address gives its connections that address and its port.
  StreamSocket* socket =
      localHostText[0] != '\0'
          ? new (std::nothrow) StreamSocket(handle, peerPort, peer, listenPort, localHostText)
          : new (std::nothrow) StreamSocket(handle, peerPort, peer);
  if (socket == nullptr) {
    StreamSocket closing(handle);  // closes the handle as it goes
    acceptor.release();
    return Acceptor::Verdict::Nothing;
  }
  if (!ServerSocket::acceptedTakeOptions()) setConnectionOptions(*socket);
  slot->connectTime = std::time(nullptr);
  slot->inboxFront = 0;
  slot->inboxLength = 0;
  slot->partialSince = 0;
  slot->peerClosed = false;
  const std::int32_t timeout = loginTimeout;
  slot->loginDeadline = timeout > 0 ? steadyMilliseconds() + std::int64_t{timeout} * 1000 : 0;
  // Published where stop looks for the connections it must wake; a stop that has begun
  // meanwhile will not look again, so the connection is given up here.
  if (!sessions.publish(slot, socket)) {
    delete socket;
    slot->connectTime = 0;
    acceptor.release();
    return Acceptor::Verdict::Nothing;
  }
  if (verdict != Acceptor::Verdict::Serve) return verdict;  // the full server's refusal first
  // Counted for its address only when admitted under the address's share: a refused
  // connection counts toward nothing.
  static_assert(sizeof peer == sizeof slot->countedHost);
  if (!acceptor.claimHost(peer, maxPerHost)) return Acceptor::Verdict::TooManyFromHost;
  std::memcpy(slot->countedHost, peer, sizeof peer);
  return Acceptor::Verdict::Serve;
}

// Cycle steps 6 and 7: HELO, then the host check when it is on. False ends the turn.
bool Server::greetAndCheckHost(ConnectionSlot* slot, Packet* outgoing) {
  // Without a host check, HELO and LEVL (loginHandshake uncorks) leave in one write.
  transport.cork(slot);
  if (sendHello(slot, outgoing) < 0) return false;
  if (!hostCheck) return true;
  if (transport.uncork(slot) < 0) return false;
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
void Server::admitUser(ConnectionSlot* slot, Packet* outgoing) {
  char peer[16];
  slot->socket->getPeerAddress(peer, sizeof peer);
  logConnect(slot->userName, slot->socket->localPort, peer);
  // SYID waits in the outbox for the list's first write.
  transport.cork(slot);
  if (sendSystemId(slot, outgoing) < 0) return;
  std::vector<Recipient> told;
  std::vector<ListedUser> listed;
  {
    // The list is begun under the newcomer's own send lock before it is taken: of two users
    // admitted at the same moment, the later lists the earlier and the earlier is told of the
    // later, each exactly once, and that notice waits behind the list (Transport::beginList)
    // rather than land inside it. Nobody waits for the list itself: the lock is let go before
    // its parts and pauses. The list's last part, MCST and CONN leave in one write (sendListed
    // writes the earlier parts itself, each before its pause).
    NamedLock sendLock(*slot->sendLock, LockRank::Send);
    transport.beginList(slot);
    sessions.admit(slot, &listed, &told);
  }
  const bool listSent = sendListed(slot, outgoing, listed) >= 0;
  transport.endList(slot);
  if (!listSent) return;
  // Everyone else hears of the newcomer once its own packets are on their way, so that it is
  // not kept waiting for them (or for its full name's look-up).
  if (sendMulticastGroup(slot, outgoing) < 0 || sendConnected(slot, outgoing) < 0 ||
      transport.uncork(slot) < 0) {
    return;
  }
  if (!told.empty()) {
    // One image for everyone told: the newcomer's entry, with its full name looked up once.
    ListedUser self{slot->userName, "", slot->connectTime};
    std::memcpy(self.host, peer, sizeof self.host);
    char fullName[MAX_WIRE_SIZE];
    if (lookupFullName(slot->userName, fullName, sizeof fullName) == nullptr) {
      std::strcpy(fullName, "UNAVAILABLE");
    }
    unsigned char image[MAX_WIRE_SIZE];
    const std::int32_t size = composeUserJoined(outgoing, self, fullName, image);
    for (const Recipient& recipient : told) {
      if (size > 0) transport.notify(recipient, image, size, told.size());
    }
  }
  slot->tokens = -1;  // a full bucket at the first packet
  slot->throttledSince = 0;
  if (serveFirstPackets(slot)) return;
  // From here the session loop reads and routes the client's packets, until the session ends.
  sessionLoop.serve(slot);
  slot->peerClosed = true;
}

// A session that ends within moments of its login (a script that logs in, says what it has to
// say and quits) is served here, by its worker: handing it to the session loop and back would
// cost more than the whole session. What a client sends later, or a packet that must wait for
// its token, is the loop's.
bool Server::serveFirstPackets(ConnectionSlot* slot) {
  const std::int64_t until = steadyMilliseconds() + kFirstPacketsMilliseconds;
  Packet packet;
  for (;;) {
    const std::int64_t left = until - steadyMilliseconds();
    if (left <= 0 || gate.halting()) return false;
    std::int32_t size = 0;
    switch (transport.peekPacket(slot, &packet, &size, static_cast<int>(left))) {
      case Transport::Arrival::Quiet:
        return false;
      case Transport::Arrival::Over:
        slot->peerClosed = true;
        return true;
      case Transport::Arrival::Whole:
        break;
    }
    std::int64_t resumeAt = 0;
    const SessionLoop::Outcome outcome = servePacket(slot, &packet, false, &resumeAt);
    if (outcome == SessionLoop::Outcome::Held) return false;  // it stays at the front
    transport.takeFront(slot, size);
    if (outcome == SessionLoop::Outcome::Ended) {
      slot->peerClosed = true;
      return true;
    }
  }
}

void Server::teardownSlot(ConnectionSlot* slot) {
  // The worker goes first: it may still be using the socket on its way out.
  if (slot->thread != nullptr) {
    if (slot->thread->joinable()) slot->thread->join();
    delete slot->thread;
    slot->thread = nullptr;
    slot->threadId = 0;
  }
  {
    // Another worker may still be on its way out of a write to this client.
    NamedLock sendLock(*slot->sendLock, LockRank::Send);
    transport.awaitWriter(slot);
    delete slot->socket;
    slot->socket = nullptr;
  }
  std::free(slot->userName);
  slot->userName = nullptr;
}

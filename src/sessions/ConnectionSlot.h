// ConnectionSlot: one record per worker thread: the connection it serves now, the thread, the
// user logged in on it, and its send lock. A new slot has every field zero or null but the send
// lock, which it owns for its whole life.
// Thread safety: socket, connectTime and the receive buffer are changed only by the slot's own
// worker (or by stop after the worker has ended), and the receive buffer by the session loop
// while the worker has handed its session over (SessionLoop: the hand-over orders the two); socket is published and taken back under the
// users mutex (SessionTable). userName, admitted and loginSerial are guarded by the users mutex
// and changed only by the slot's own worker (and by stop); loginSerial may also be read with the
// send lock held alone. Every write to socket is made either under the send lock or by the
// outbox's writer (writing set), and the socket is closed only under the send lock with no
// writer at work.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/Packet.h"

class Mutex;
class StreamSocket;

class ConnectionSlot {
 public:
  ConnectionSlot();
  // Frees what the slot still owns: the socket (closing it) and the user name. The thread must
  // have ended; a thread object that is still joinable is detached.
  virtual ~ConnectionSlot();

  ConnectionSlot(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(const ConnectionSlot&) = delete;

  StreamSocket* socket;     // the connection served now; null when none
  std::thread* thread;      // the worker bound to this slot; null when none
  std::uint32_t threadId;   // that worker's id; 0 when none
  char* userName;           // heap copy; set from login until teardown, the key in the registry
  std::time_t connectTime;  // when the current connection was accepted; 0 when none
  // The address the current connection is counted for in the per-address rule (Acceptor);
  // empty when it is not counted. Only the slot's own worker touches it.
  char countedHost[16];

  // Which login this is: a number of the server's, new at every login and 0 when none, so that
  // a slot seen logged in earlier can be told from the same slot with another login (or none)
  // since. Written under users; read under users or, by a sender, under the send lock.
  std::atomic<std::uint64_t> loginSerial;

  // The sender fields of every packet routed from this login (its name's first 8 bytes, its
  // address), written once when it logs in. Read only by the slot's own worker.
  unsigned char senderFields[SENDER_FIELDS_SIZE];

  // The send lock: held around every write to socket and around its close, so that a packet is
  // never cut by another's bytes and nobody writes to a connection that is going. Unnamed, the
  // slot's own, from its construction to its destruction (before and after login alike, so
  // that a client that does not read holds up only those who write to it).
  Mutex* sendLock;

  // The outbox (Transport): wire images delivered to this client and not yet taken by its
  // socket, whole packets in delivery order, the first perhaps partly written already. It and
  // the two fields after it are guarded by the send lock. Emptied when a connection goes.
  std::vector<unsigned char> outbox;
  // Set while one thread (the writer) has taken bytes from the outbox and writes them with the
  // send lock released; nobody else writes to socket or closes it meanwhile.
  bool writing;
  // Steady-clock milliseconds since when queued bytes have waited without the socket taking
  // any (0: nothing waits).
  std::int64_t stalledSince;
  // The outbox's size, also readable without the send lock: the worker's look before it waits.
  std::atomic<std::int32_t> outboxBytes;
  // Set (under the send lock) while the slot's own worker queues several packets of its own
  // that should leave in one write: deliveries then only append, until Transport::uncork.
  bool corked;
  // Set (under the send lock) while the slot's worker sends its user list without holding the
  // send lock (Transport::beginList): what others deliver meanwhile waits in afterList, and
  // joins the outbox when the list is out. Both guarded by the send lock.
  bool listing;
  std::vector<unsigned char> afterList;
  // Set (under the send lock) while the slot waits in the flusher's list (Transport::notify):
  // further notices for it meanwhile leave with the first, in the flusher's next round.
  // Cleared by the flusher before it writes.
  bool flushPending;
  // Set while the session loop serves this login (SessionLoop): what its packets route is
  // queued and listed here, and written once the loop has routed everything its pass read
  // (Transport::post). Null otherwise: a packet routed with this slot as sender is written at
  // once. Only the loop's thread touches it while it is set.
  std::vector<ConnectionSlot*>* batch;
  // Set (under the send lock) while this slot is listed in the loop's batch, so that it is
  // listed once however many packets queue for it.
  bool awaitsBatchWrite;

  // The session loop's own (SessionLoop), touched only by its thread while it serves the
  // slot: the slot's place in its list (-1: not served), what its poller waits for, and
  // whether the packet at the front of the inbox waits for a token, until when (steady-clock
  // microseconds).
  std::int32_t loopIndex;
  std::uint32_t loopEvents;
  bool held;
  std::int64_t heldUntil;
  // The hand-over between the worker and the loop: set by the worker when it hands its
  // session over, cleared by the loop when the session ends; the worker waits for that.
  std::mutex handOverLock;
  std::condition_variable handedBack;
  bool inLoop;

  // The message rate's bucket (Server::takeToken): the tokens left, when they were counted
  // (steady-clock microseconds), and since when the client's packets have waited for tokens
  // without a break (0: they have not). Set by the worker before it hands the session over;
  // touched only by the session loop from then on.
  double tokens;
  std::int64_t tokensAt;
  std::int64_t throttledSince;

  // Set, under users, once the other users have been told of this one and it of them: user
  // lists and user-joined notices only count admitted users, so that two users admitted at the
  // same moment each hear of the other exactly once.
  bool admitted;

  // Set by the slot's own worker once it has read its client's stream to the end (or the read
  // failed): from then on nothing of the client's waits unread. Cleared when a connection is
  // taken. The stop reads it to learn that a client has taken its notice and gone.
  std::atomic<bool> peerClosed;

  // Bytes received from the current connection that do not yet make a whole packet (or that
  // follow the packet just read): inboxLength bytes from inbox + inboxFront (the packets before
  // them have been read; the rest moves to the front before the next receive). Emptied when a
  // connection is taken.
  unsigned char inbox[4 * MAX_WIRE_SIZE];
  std::int32_t inboxFront;
  std::int32_t inboxLength;
  // Steady-clock milliseconds: when the bytes at the front of inbox began to arrive (0 when it
  // is empty, or not yet noted: the worker notes it when it waits for more), and by when the
  // login must be complete (0: no limit, or logged in).
  std::int64_t partialSince;
  std::int64_t loginDeadline;
};

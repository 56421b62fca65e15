// Transport: every byte between the server and its clients. Whole packets come in through the
// inbox of the client's own worker, within the connection's deadlines; packets go out through
// the client's outbox; and the stop's notices reach every client that reads within the stop's
// one budget.
//
// The outbox. A delivery appends the packet's wire image to the recipient's outbox under its
// send lock. The thread that then finds no writer at work becomes the writer: it takes
// everything queued, releases the send lock, writes it in one non-blocking send, takes the lock
// back, and goes on while others have appended meanwhile; the others only append and return.
// So a burst of packets to one client (a login's notice to everyone, a busy sender) costs one
// system call per batch rather than one per packet, and nobody waits for anybody's socket:
// bytes the socket has no room for stay queued, ahead of anything appended later, for the next
// writer (below). No thread wakes another. Packets to one client keep their delivery order, and
// a packet is never cut by another's bytes: the outbox holds whole images, and only the writer
// takes from it.
// A client whose outbox would grow past sendQueueBytes, or that has taken no byte of it for
// sendTimeoutMilliseconds, has gone or stopped reading: its connection is shut down, so that
// its own worker tears it down, and what was queued for it is dropped.
//
// Two kinds of delivery wait before they are written, so that packets to one client that
// arrive close together leave in one write:
// - What the session loop routes for logged-in clients (post) is queued, and written when the
//   loop has routed everything its pass read (writeQueued). One pass of many packets costs one
//   write per recipient.
// - The server's notices to other users (notify: joined, gone) go to the flusher, one thread
//   of the running service that writes every outbox it is given, in turn. While it writes, the
//   notices of further logins queue behind, so a crowd logging in at once costs a write per
//   recipient per round rather than one per notice. A notice for a few users only is written
//   at once by the thread that sends it: waking the flusher would cost more than the writes.
//   Without a flusher (a service not started), notify writes at once.
// Bytes a socket had no room for wait in the outbox: a worker that has not handed its client
// to the loop writes them as it waits for its client (receive), the loop for the clients it
// serves.

// Owns: the send budget, the outbox bound, and the flusher with its list of slots to write.
// Uses each slot's connection, inbox, outbox and send lock (ConnectionSlot).
// Locks: one slot's send lock at a time, never users (checked), never a file. No caller holds
// users while it delivers. The flusher's list has a lock of its own, taken under a send lock or
// none, with nothing taken under it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class ConnectionSlot;
class Packet;
class ServiceGate;
struct Recipient;

class Transport {
 public:
  // loginTimeoutSeconds bounds a login and a packet left incomplete (0: no limit).
  Transport(const ServiceGate& gate, const std::atomic<std::int32_t>& loginTimeoutSeconds);

  // Appends one wire image to the slot's outbox and writes what is queued unless another
  // thread is writing it already: size, or -1 (nothing queued) when there is no connection,
  // the outbox would overflow, or the connection failed or timed out (then it is shut down, so
  // that its worker tears it down). While the service stops, only the stopping thread may
  // deliver: anyone else gets -1 and queues nothing. Takes the slot's send lock; releases it
  // while writing unless the caller holds it too.
  std::int32_t deliver(ConnectionSlot* slot, const unsigned char* image, std::int32_t size);
  // deliver for a caller that holds the slot's send lock: writes without ever releasing it, so
  // that what the caller sends under it is not interleaved with anyone else's packets.
  std::int32_t deliverHeld(ConnectionSlot* slot, const unsigned char* image, std::int32_t size);
  // Holds the slot's deliveries in its outbox until uncork, which writes them all at once: for
  // the server's own packets that follow each other (a greeting, a list's end, a farewell).
  // Never across a wait for the client. Each takes the slot's send lock (uncork releases it
  // while writing unless the caller holds it too); uncork returns 0, or -1 when the
  // connection was given up.
  void cork(ConnectionSlot* slot);
  std::int32_t uncork(ConnectionSlot* slot);
  // The admission's user list, sent without the send lock held across its pauses: from
  // beginList to endList, what anyone else delivers to the slot waits in its afterList, and
  // endList puts it in the outbox behind the list's parts (which sendListPart queues and, with
  // now set or the slot not corked, writes at once). So nothing lands inside a list, and nobody waits for a list.
  // Each takes the slot's send lock; sendListPart returns as deliver.
  void beginList(ConnectionSlot* slot);
  std::int32_t sendListPart(ConnectionSlot* slot, const unsigned char* image, std::int32_t size,
                            bool now);
  void endList(ConnectionSlot* slot);
  // For a caller that holds the slot's send lock and is ending the connection: a list going
  // out ends here, what waits behind it is dropped, and what the caller sends next goes out
  // after the parts sent so far.
  void cutList(ConnectionSlot* slot);
  // deliver to a login found under users earlier: -1, with nothing queued, when the slot has
  // left that login since.
  std::int32_t deliverTo(const Recipient& recipient, const unsigned char* image,
                         std::int32_t size);
  // deliverTo for the session loop routing the packets of the poster's client: while the
  // poster is served by the loop (its batch set), the packet is queued and the recipient listed
  // in that batch, once, for the loop's writeQueued at the end of its pass; otherwise (or with
  // no poster) as deliverTo.
  std::int32_t post(ConnectionSlot* poster, const Recipient& recipient,
                    const unsigned char* image, std::int32_t size);
  // Writes what is queued for the slot (the caller holds no lock): 0 when nothing is left for
  // the caller to write (all written, nothing queued, another thread writing, or the stop has
  // begun), 1 when the socket took only part and bytes wait for room, -1 when the connection
  // was given up. Clears the slot's listing in a batch.
  int writeQueued(ConnectionSlot* slot);
  // deliverTo for a notice that `audience` users get: queued, and written by the flusher when
  // the audience is larger than kFlushedAudience (at once when it is not, or when no flusher
  // runs).
  std::int32_t notify(const Recipient& recipient, const unsigned char* image, std::int32_t size,
                      std::size_t audience);
  static constexpr std::size_t kFlushedAudience = 16;
  // The flusher runs from startFlusher until stopFlusher (which waits for it to end); the
  // service starts it before its workers and stops it once the stop has begun, before any
  // slot goes. False when the thread could not be started (notices are then written at once).
  bool startFlusher();
  void stopFlusher();
  // For a caller that holds the slot's send lock: returns once no writer is at work on the
  // slot (releasing the lock meanwhile), so that the connection may be closed.
  void awaitWriter(ConnectionSlot* slot);
  // Waits for one whole packet from the slot's client and reads it into packet: its payload
  // length (HEADER_SIZE for none), or -1 when the connection failed or closed, a deadline
  // passed, the header claims more than MAX_PAYLOAD_SIZE bytes, or the client left its outbox
  // untaken for the send budget. Flushes the outbox while it waits. Only the slot's own worker
  // calls it.
  std::int32_t receive(ConnectionSlot* slot, Packet* packet);
  // For the slot's own worker, once its client is admitted: waits at most `milliseconds` for a
  // whole packet at the front of the inbox (reading what comes) and reads it into packet
  // without taking it (takeFront does), its wire size in *size. Whole: there is one; Quiet:
  // none came in time, or bytes wait in the outbox for room (the session loop takes it from
  // here); Over: the client closed, the connection failed, or a header claims too much.
  enum class Arrival { Whole, Quiet, Over };
  Arrival peekPacket(ConnectionSlot* slot, Packet* packet, std::int32_t* size, int milliseconds);
  // Takes the whole packet of `size` bytes at the front of the inbox.
  void takeFront(ConnectionSlot* slot, std::int32_t size);
  // Reads once from the slot's connection into the inbox's free room (what is left of earlier
  // reads moved to the front first): the bytes read, 0 when the client closed, -1 on failure.
  // For the thread that serves the slot's client.
  std::int32_t readInbox(ConnectionSlot* slot);
  // The stop's notice (image: MESS and QUIT) to every owed client, after what is queued for it,
  // then the end of each stream, and a wait until each client has it all or has closed, or the
  // stop's budget is spent. Clients are served in turns: none waits for another. The caller
  // holds no lock.
  void sayGoodbye(ConnectionSlot* const* owed, int count, const unsigned char* image,
                  std::int32_t size);

  // The longest a worker waits for its client before it looks at its outbox again.
  static constexpr int kIdleFlushMilliseconds = 500;

  int sendTimeoutMilliseconds;  // how long a client may leave its outbox untaken (default 5000)
  std::atomic<std::int32_t> sendQueueBytes;  // the most an outbox may hold (default 256 KiB)

 private:
  // Appends under the send lock the caller holds: false (connection given up or absent). To
  // the afterList while the slot's list goes out, unless the image is a part of it.
  bool append(ConnectionSlot* slot, const unsigned char* image, std::int32_t size,
              bool listPart = false);
  // The writer's loop, under the send lock the caller holds; with release set, the lock is let
  // go around each send. Returns 0, or -1 when the connection was given up. Does nothing when
  // another thread is the writer.
  std::int32_t write(ConnectionSlot* slot, bool release);
  // Shuts the connection down and drops its outbox, under the send lock.
  void giveUp(ConnectionSlot* slot);
  // Puts the slot in the flusher's list, under the slot's send lock the caller holds: true
  // when the list was empty (the flusher may be waiting: the caller wakes it).
  bool listForFlusher(ConnectionSlot* slot);
  // The flusher's loop.
  void flush();

  const ServiceGate& gate_;
  const std::atomic<std::int32_t>& loginTimeoutSeconds_;

  std::mutex flushListLock_;             // guards the three fields below
  std::condition_variable flushWanted_;  // the list got its first slot, or the flusher must end
  std::vector<ConnectionSlot*> flushList_;
  bool flusherEnding_ = false;
  std::atomic<bool> flusherRunning_{false};
  std::thread flusher_;
};

#include "protocol/Transport.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>
#include <vector>

#include "core/LockOrder.h"
#include "core/NamedLock.h"
#include "core/ServiceGate.h"
#include "core/SteadyClock.h"
#include "platform/Mutex.h"
#include "platform/StreamSocket.h"
#include "protocol/Packet.h"
#include "sessions/ConnectionSlot.h"
#include "sessions/SessionTable.h"

namespace {

// How long the receive path waits for more of a packet that has begun to arrive, per step.
constexpr int kIncompleteWaitMilliseconds = 100;
// While bytes wait in its outbox, a worker looks at its socket again this often.
constexpr int kFlushStepMilliseconds = 20;
// How often the stop looks again at the clients that have not yet taken their notice.
constexpr long kStopStepMicroseconds = 5000;
// The outbox bound when none is configured.
constexpr std::int32_t kDefaultSendQueueBytes = 256 * 1024;
// The largest outbox buffer a slot keeps for its next packets once written: a busy client's
// batches reach tens of kilobytes, and a buffer given back and taken again for each costs page
// faults; a thousand slots keep at most 64 MiB this way.
constexpr std::size_t kKeptBufferBytes = 64 * 1024;

// The send lock let go and taken back around a writer's send (one level of it: a caller that
// holds it too keeps it).
void releaseSend(ConnectionSlot* slot) {
  slot->sendLock->release();
  LockOrder::released(slot->sendLock->getHandle());
}

void retakeSend(ConnectionSlot* slot) {
  LockOrder::acquiring(slot->sendLock->getHandle(), LockRank::Send);
  slot->sendLock->wait(INFINITE);
  LockOrder::acquired(slot->sendLock->getHandle(), LockRank::Send);
}

}  // namespace

Transport::Transport(const ServiceGate& gate, const std::atomic<std::int32_t>& loginTimeoutSeconds)
    : sendTimeoutMilliseconds(5000),
      sendQueueBytes(kDefaultSendQueueBytes),
      gate_(gate),
      loginTimeoutSeconds_(loginTimeoutSeconds) {}

std::int32_t Transport::deliver(ConnectionSlot* slot, const unsigned char* image,
                                std::int32_t size) {
  NamedLock sendLock(*slot->sendLock, LockRank::Send);
  if (!append(slot, image, size)) return -1;
  if (slot->corked) return size;
  return write(slot, true) < 0 ? -1 : size;
}

void Transport::cork(ConnectionSlot* slot) {
  NamedLock sendLock(*slot->sendLock, LockRank::Send);
  slot->corked = true;
}

std::int32_t Transport::uncork(ConnectionSlot* slot) {
  NamedLock sendLock(*slot->sendLock, LockRank::Send);
  slot->corked = false;
  return write(slot, true);
}

std::int32_t Transport::deliverTo(const Recipient& recipient, const unsigned char* image,
                                  std::int32_t size) {
  ConnectionSlot* slot = recipient.slot;
  NamedLock sendLock(*slot->sendLock, LockRank::Send);
  if (slot->loginSerial != recipient.login) return -1;
  if (!append(slot, image, size)) return -1;
  if (slot->corked) return size;
  return write(slot, true) < 0 ? -1 : size;
}

std::int32_t Transport::post(ConnectionSlot* poster, const Recipient& recipient,
                            const unsigned char* image, std::int32_t size) {
  if (poster == nullptr || poster->batch == nullptr) return deliverTo(recipient, image, size);
  ConnectionSlot* slot = recipient.slot;
  NamedLock sendLock(*slot->sendLock, LockRank::Send);
  if (slot->loginSerial != recipient.login) return -1;
  if (!append(slot, image, size)) return -1;
  // A writer at work, or the corking thread, takes these bytes with its own. The flusher's
  // promise is not waited for: the loop writes its packets, notices queued before them
  // included, as soon as its pass is routed.
  if (!slot->corked && !slot->writing && !slot->awaitsBatchWrite) {
    slot->awaitsBatchWrite = true;
    poster->batch->push_back(slot);
  }
  return size;
}

int Transport::writeQueued(ConnectionSlot* slot) {
  NamedLock sendLock(*slot->sendLock, LockRank::Send);
  slot->awaitsBatchWrite = false;
  // Once the stop has begun, what is queued is the stop's to write, before its notice.
  if (slot->outbox.empty() || !gate_.mayStillSend()) return 0;
  if (write(slot, true) < 0) return -1;
  return slot->outbox.empty() || slot->writing ? 0 : 1;
}

std::int32_t Transport::notify(const Recipient& recipient, const unsigned char* image,
                               std::int32_t size, std::size_t audience) {
  ConnectionSlot* slot = recipient.slot;
  NamedLock sendLock(*slot->sendLock, LockRank::Send);
  if (slot->loginSerial != recipient.login) return -1;
  if (!append(slot, image, size)) return -1;
  if (slot->corked || slot->writing || slot->flushPending) return size;  // it is in hand
  if (!flusherRunning_ || audience <= kFlushedAudience) return write(slot, true) < 0 ? -1 : size;
  if (listForFlusher(slot)) flushWanted_.notify_one();
  return size;
}

bool Transport::listForFlusher(ConnectionSlot* slot) {
  slot->flushPending = true;
  std::lock_guard<std::mutex> list(flushListLock_);
  const bool first = flushList_.empty();
  flushList_.push_back(slot);
  return first;
}

bool Transport::startFlusher() {
  if (flusherRunning_) return true;
  {
    std::lock_guard<std::mutex> list(flushListLock_);
    flusherEnding_ = false;
    // A worker of the last run may have listed a slot as that run stopped: those slots are
    // gone.
    flushList_.clear();
  }
  try {
    flusher_ = std::thread(&Transport::flush, this);
  } catch (const std::exception&) {
    return false;
  }
  flusherRunning_ = true;
  return true;
}

void Transport::stopFlusher() {
  if (!flusherRunning_) return;
  flusherRunning_ = false;
  {
    std::lock_guard<std::mutex> list(flushListLock_);
    flusherEnding_ = true;
  }
  flushWanted_.notify_one();
  flusher_.join();
  // Whatever was still listed stays queued in its outbox (the stop writes it before its
  // notice); the slots are free to be listed again.
  std::vector<ConnectionSlot*> left;
  {
    std::lock_guard<std::mutex> list(flushListLock_);
    left.swap(flushList_);
  }
  for (ConnectionSlot* slot : left) {
    NamedLock sendLock(*slot->sendLock, LockRank::Send);
    slot->flushPending = false;
  }
}

void Transport::flush() {
  std::vector<ConnectionSlot*> round;
  for (;;) {
    {
      std::unique_lock<std::mutex> list(flushListLock_);
      flushWanted_.wait(list, [this] { return flusherEnding_ || !flushList_.empty(); });
      if (flusherEnding_) return;
      round.swap(flushList_);
    }
    // Notices listed while this round writes wait for the next, and leave together.
    for (ConnectionSlot* slot : round) {
      NamedLock sendLock(*slot->sendLock, LockRank::Send);
      slot->flushPending = false;
      if (!slot->outbox.empty() && gate_.mayStillSend()) write(slot, true);
    }
    round.clear();
  }
}

std::int32_t Transport::deliverHeld(ConnectionSlot* slot, const unsigned char* image,
                                    std::int32_t size) {
  if (!append(slot, image, size)) return -1;
  if (slot->corked) return size;
  return write(slot, false) < 0 ? -1 : size;
}

bool Transport::append(ConnectionSlot* slot, const unsigned char* image, std::int32_t size,
                       bool listPart) {
  LockOrder::assertNotHeld(LockRank::Users, "a delivery under users");
  // Once the service is stopping, only the stopping thread speaks to clients.
  if (!gate_.mayStillSend() || slot->socket == nullptr || size < 0) return false;
  const std::size_t queued = slot->outbox.size() + slot->afterList.size();
  if (queued + static_cast<std::size_t>(size) > static_cast<std::size_t>(sendQueueBytes.load())) {
    // A client this far behind has stopped reading: holding more for it would only grow the
    // server without bound.
    giveUp(slot);
    return false;
  }
  // While its user list goes out, what others send the client waits behind the list.
  std::vector<unsigned char>& queue = slot->listing && !listPart ? slot->afterList : slot->outbox;
  queue.insert(queue.end(), image, image + size);
  slot->outboxBytes = static_cast<std::int32_t>(slot->outbox.size());
  return true;
}

void Transport::beginList(ConnectionSlot* slot) {
  NamedLock sendLock(*slot->sendLock, LockRank::Send);
  slot->listing = true;
}

std::int32_t Transport::sendListPart(ConnectionSlot* slot, const unsigned char* image,
                                     std::int32_t size, bool now) {
  NamedLock sendLock(*slot->sendLock, LockRank::Send);
  if (!append(slot, image, size, true)) return -1;
  if ((now || !slot->corked) && write(slot, true) < 0) return -1;
  return size;
}

void Transport::endList(ConnectionSlot* slot) {
  NamedLock sendLock(*slot->sendLock, LockRank::Send);
  slot->listing = false;
  // Once the stop has begun, its notice may be queued already: nothing goes after it.
  if (slot->afterList.empty() || !gate_.mayStillSend()) {
    std::vector<unsigned char>().swap(slot->afterList);
    return;
  }
  slot->outbox.insert(slot->outbox.end(), slot->afterList.begin(), slot->afterList.end());
  std::vector<unsigned char>().swap(slot->afterList);
  slot->outboxBytes = static_cast<std::int32_t>(slot->outbox.size());
}

void Transport::cutList(ConnectionSlot* slot) {
  NamedLock sendLock(*slot->sendLock, LockRank::Send);
  slot->listing = false;
  std::vector<unsigned char>().swap(slot->afterList);
}

std::int32_t Transport::write(ConnectionSlot* slot, bool release) {
  if (slot->writing) return 0;  // the writer at work takes these bytes too
  StreamSocket* socket = slot->socket;
  if (socket == nullptr) return -1;
  slot->writing = true;
  std::vector<unsigned char> batch;
  std::int32_t result = 0;
  while (!slot->outbox.empty()) {
    // The writer takes everything queued; what others append meanwhile comes in the next round.
    batch.swap(slot->outbox);
    if (release) releaseSend(slot);
    const auto size = static_cast<std::int32_t>(batch.size());
    const std::int32_t sent = socket->sendNow(batch.data(), size);
    if (release) retakeSend(slot);
    if (sent < 0) {
      result = -1;
      break;
    }
    if (sent < size) {
      // No room for the rest: it goes back ahead of what was appended meanwhile.
      batch.erase(batch.begin(), batch.begin() + sent);
      batch.insert(batch.end(), slot->outbox.begin(), slot->outbox.end());
      slot->outbox.swap(batch);
      const std::int64_t now = steadyMilliseconds();
      if (sent > 0 || slot->stalledSince == 0) {
        slot->stalledSince = now;
      } else if (now - slot->stalledSince >= sendTimeoutMilliseconds) {
        result = -1;
      }
      break;
    }
    batch.clear();
    slot->stalledSince = 0;
    // From the stop on, the stopping thread writes what is left, after its own checks.
    if (!gate_.mayStillSend()) break;
  }
  // The buffer just written goes back to the slot, so that the next append does not allocate
  // (unless a stalled client made it large).
  if (result >= 0 && slot->outbox.empty() && batch.capacity() <= kKeptBufferBytes) {
    batch.clear();
    slot->outbox.swap(batch);
  }
  slot->writing = false;
  if (result < 0) {
    giveUp(slot);
  } else {
    slot->outboxBytes = static_cast<std::int32_t>(slot->outbox.size());
  }
  return result;
}

void Transport::giveUp(ConnectionSlot* slot) {
  // A packet cut short would put the stream out of step for good, and a client that cannot
  // take its packets in time has gone or stopped reading: give the connection up, so that its
  // worker tears it down, rather than hold everyone who sends to it.
  if (slot->socket != nullptr) slot->socket->shutdownBoth();
  std::vector<unsigned char>().swap(slot->outbox);
  std::vector<unsigned char>().swap(slot->afterList);
  slot->stalledSince = 0;
  slot->outboxBytes = 0;
}

void Transport::awaitWriter(ConnectionSlot* slot) {
  // The writer holds the lock only for moments: it comes back to it after each send.
  while (slot->writing) {
    releaseSend(slot);
    std::this_thread::yield();
    retakeSend(slot);
  }
}

void Transport::sayGoodbye(ConnectionSlot* const* owed, int count, const unsigned char* image,
                           std::int32_t size) {
  // Each client goes through these stages in turn; none waits for another, so the budget is
  // spent only on clients that do not take their notice.
  enum class Stage { Queueing, Writing, Lingering, Done };
  struct Farewell {
    ConnectionSlot* slot;
    Stage stage;
  };
  std::vector<Farewell> farewells;
  farewells.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) farewells.push_back({owed[i], Stage::Queueing});

  for (;;) {
    bool pending = false;
    StreamSocket* filling = nullptr;  // one whose notice waits for room, to wait on
    for (Farewell& farewell : farewells) {
      ConnectionSlot* slot = farewell.slot;
      if (farewell.stage == Stage::Queueing || farewell.stage == Stage::Writing) {
        // A worker may be writing this client's outbox; the notice follows what is queued. The
        // lock is taken only when free, and nothing is written while another thread writes, so
        // that nobody waits here for anyone.
        if (slot->sendLock->wait(0) != WAIT_OBJECT_0) {
          pending = true;
          continue;
        }
        LockOrder::acquired(slot->sendLock->getHandle(), LockRank::Send);
        bool failed = false;
        bool busy = slot->writing;
        if (!busy && farewell.stage == Stage::Queueing) {
          if (slot->socket == nullptr) {
            failed = true;
          } else {
            // No bound here: the notice is owed even to a client with a full outbox.
            slot->outbox.insert(slot->outbox.end(), image, image + size);
            farewell.stage = Stage::Writing;
          }
        }
        if (!busy && !failed) failed = write(slot, false) < 0;
        const bool written = !busy && !failed && slot->outbox.empty();
        slot->sendLock->release();
        LockOrder::released(slot->sendLock->getHandle());
        if (failed) {
          farewell.stage = Stage::Done;
          continue;
        }
        if (!written) {
          pending = true;
          if (!busy) filling = slot->socket;
          continue;
        }
        // The end of the stream follows the QUIT; the client may go on sending meanwhile.
        slot->socket->shutdownSend();
        farewell.stage = Stage::Lingering;
      }
      if (farewell.stage == Stage::Lingering) {
        // The connection stays open until the client has it all: closing it earlier, with the
        // notice still queued or the client's own packets unread, resets it, and a reset
        // takes back what was queued. Where the system cannot say, until the client closes.
        if (slot->socket->unacknowledgedBytes() == 0 || slot->peerClosed) {
          farewell.stage = Stage::Done;
        } else {
          pending = true;
        }
      }
    }
    if (!pending || steadyMilliseconds() >= gate_.stopDeadline()) return;
    if (filling != nullptr) {
      filling->waitWritable(0, kStopStepMicroseconds);
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(kStopStepMicroseconds));
    }
  }
}

Transport::Arrival Transport::peekPacket(ConnectionSlot* slot, Packet* packet,
                                         std::int32_t* size, int milliseconds) {
  StreamSocket* socket = slot->socket;
  if (socket == nullptr) return Arrival::Over;
  const std::int64_t deadline = steadyMilliseconds() + milliseconds;
  for (;;) {
    const unsigned char* front = slot->inbox + slot->inboxFront;
    const std::int32_t whole =
        framedPacketSize(front, static_cast<std::size_t>(slot->inboxLength));
    if (whole < 0) return Arrival::Over;
    if (whole > 0 && slot->inboxLength >= whole) {
      packet->deserialize(front);
      *size = whole;
      return Arrival::Whole;
    }
    if (slot->outboxBytes.load() > 0) return Arrival::Quiet;
    const std::int64_t left = deadline - steadyMilliseconds();
    if (left <= 0) return Arrival::Quiet;
    const int ready = socket->waitForData(static_cast<int>(left));
    if (ready < 0) return Arrival::Over;
    if (ready != 1) continue;
    if (readInbox(slot) <= 0) return Arrival::Over;
  }
}

void Transport::takeFront(ConnectionSlot* slot, std::int32_t size) {
  slot->inboxLength -= size;
  slot->inboxFront = slot->inboxLength > 0 ? slot->inboxFront + size : 0;
  slot->partialSince = 0;
}

std::int32_t Transport::readInbox(ConnectionSlot* slot) {
  if (slot->inboxFront > 0) {
    // What is left of the last read goes to the front, so that the next has all the room.
    std::memmove(slot->inbox, slot->inbox + slot->inboxFront,
                 static_cast<std::size_t>(slot->inboxLength));
    slot->inboxFront = 0;
  }
  const auto room = static_cast<std::int32_t>(sizeof slot->inbox) - slot->inboxLength;
  const std::int32_t got = slot->socket->receive(slot->inbox + slot->inboxLength, room, 0);
  if (got > 0) slot->inboxLength += got;
  return got;
}

std::int32_t Transport::receive(ConnectionSlot* slot, Packet* packet) {
  StreamSocket* socket = slot->socket;
  if (socket == nullptr) return -1;
  const std::int64_t limit = static_cast<std::int64_t>(loginTimeoutSeconds_) * 1000;
  for (;;) {
    // No packet larger than the wire buffer is ever read: the connection ends instead.
    unsigned char* front = slot->inbox + slot->inboxFront;
    std::int32_t whole = framedPacketSize(front, static_cast<std::size_t>(slot->inboxLength));
    if (whole > 0 && slot->inboxLength >= whole) {
      packet->deserialize(front);
      takeFront(slot, whole);
      return packet->length != 0 ? static_cast<std::int32_t>(packet->length)
                                 : static_cast<std::int32_t>(HEADER_SIZE);
    }
    if (whole < 0) return -1;

    // A connection that has not logged in in time, or a packet that stays incomplete too long,
    // would keep a slot from real users: either ends the connection.
    std::int64_t deadline = slot->loginDeadline;
    if (slot->inboxLength > 0 && slot->partialSince == 0) slot->partialSince = steadyMilliseconds();
    if (slot->inboxLength > 0 && limit > 0) {
      std::int64_t packetDeadline = slot->partialSince + limit;
      if (deadline == 0 || packetDeadline < deadline) deadline = packetDeadline;
    }
    int wait = -1;  // between packets, with no deadline, wait for as long as it takes
    if (deadline != 0) {
      std::int64_t left = deadline - steadyMilliseconds();
      if (left <= 0) return -1;
      wait = left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
    }
    if (slot->inboxLength > 0 && (wait < 0 || wait > kIncompleteWaitMilliseconds)) {
      // Part of a packet is here: wait in short steps for the rest, and notice a peer that
      // closes half-way through.
      wait = kIncompleteWaitMilliseconds;
    }
    // Bytes a delivery could not write wait for room: this worker writes them as room comes.
    // When its own write left them, it also wakes when the socket has room again; while
    // another thread writes them, it looks again in short steps.
    int flushWait = kIdleFlushMilliseconds;
    bool awaitRoom = false;
    if (slot->outboxBytes.load() > 0) {
      NamedLock sendLock(*slot->sendLock, LockRank::Send);
      if (write(slot, true) < 0) return -1;
      if (!slot->outbox.empty()) {
        flushWait = kFlushStepMilliseconds;
        awaitRoom = !slot->writing;
      }
    }
    if (wait < 0 || wait > flushWait) wait = flushWait;
    if (wait >= 0) {
      int ready = awaitRoom ? socket->waitForDataOrRoom(wait) : socket->waitForData(wait);
      if (ready < 0) return -1;
      if (ready != 1) continue;  // a time-out, or room for what is queued
    }
    const bool wasEmpty = slot->inboxLength == 0;
    if (readInbox(slot) <= 0) return -1;
    if (wasEmpty) slot->partialSince = steadyMilliseconds();
  }
}

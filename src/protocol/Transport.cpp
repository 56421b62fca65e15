#include "protocol/Transport.h"

#include <chrono>
#include <climits>
#include <cstring>
#include <thread>
#include <vector>

#include "core/LockOrder.h"
#include "core/NamedLock.h"
#include "core/ServiceGate.h"
#include "platform/Mutex.h"
#include "platform/StreamSocket.h"
#include "protocol/Packet.h"
#include "sessions/ConnectionSlot.h"
#include "sessions/SessionTable.h"

namespace {

// How long the receive path waits for more of a packet that has begun to arrive, per step.
constexpr int kIncompleteWaitMilliseconds = 100;
// A send that has to wait for room checks back this often (to notice a stop).
constexpr long kSendWaitStepMicroseconds = 50000;
// How often the stop looks again at the clients that have not yet taken their notice.
constexpr long kStopStepMicroseconds = 5000;

std::int64_t steadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Transport::Transport(const ServiceGate& gate, const std::atomic<std::int32_t>& loginTimeoutSeconds)
    : sendTimeoutMilliseconds(5000), gate_(gate), loginTimeoutSeconds_(loginTimeoutSeconds) {}

std::int32_t Transport::deliver(ConnectionSlot* slot, const unsigned char* image,
                                std::int32_t size) {
  NamedLock sendLock(*slot->sendLock, LockRank::Send);
  return deliverHeld(slot, image, size);
}

std::int32_t Transport::deliverTo(const Recipient& recipient, const unsigned char* image,
                                  std::int32_t size) {
  NamedLock sendLock(*recipient.slot->sendLock, LockRank::Send);
  if (recipient.slot->loginSerial != recipient.login) return -1;
  return deliverHeld(recipient.slot, image, size);
}

std::int32_t Transport::deliverHeld(ConnectionSlot* slot, const unsigned char* image,
                                    std::int32_t size) {
  LockOrder::assertNotHeld(LockRank::Users, "a send under users");
  // Once the service is stopping, only the stopping thread speaks to clients.
  if (!gate_.mayStillSend()) return -1;
  StreamSocket* socket = slot->socket;
  if (socket == nullptr) return -1;

  std::int32_t sent = socket->sendNow(image, size);
  if (sent == size) return sent;  // the usual case: room for the whole packet at once

  // A client gets sendTimeoutMilliseconds to make room for a packet.
  std::int64_t deadline = steadyMilliseconds() + sendTimeoutMilliseconds;
  while (sent >= 0 && sent < size) {
    if (!gate_.mayStillSend()) {
      // The stop speaks to this client from now on, and its notice must follow whole packets:
      // one not begun is dropped, one begun is finished within the stop's budget.
      if (sent == 0) return -1;
      const std::int64_t stopBy = gate_.stopDeadline();
      if (stopBy < deadline) deadline = stopBy;
    }
    if (steadyMilliseconds() >= deadline) break;
    socket->waitWritable(0, kSendWaitStepMicroseconds);
    std::int32_t accepted = socket->sendNow(image + sent, size - sent);
    sent = accepted < 0 ? -1 : sent + accepted;
  }
  if (sent != size) {
    // A packet cut short would put the stream out of step for good, and a client that cannot
    // take a packet in time has gone or stopped reading: give the connection up, so that its
    // worker tears it down, rather than hold everyone who sends to it.
    socket->shutdownBoth();
    return -1;
  }
  return sent;
}

void Transport::sayGoodbye(ConnectionSlot* const* owed, int count, const unsigned char* image,
                           std::int32_t size) {
  // Each client goes through these stages in turn; none waits for another, so the budget is
  // spent only on clients that do not take their notice.
  enum class Stage { Writing, Lingering, Done };
  struct Farewell {
    ConnectionSlot* slot;
    Stage stage;
    std::int32_t written;
  };
  std::vector<Farewell> farewells;
  farewells.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) farewells.push_back({owed[i], Stage::Writing, 0});

  for (;;) {
    bool pending = false;
    StreamSocket* filling = nullptr;  // one whose notice waits for room, to wait on
    for (Farewell& farewell : farewells) {
      ConnectionSlot* slot = farewell.slot;
      if (farewell.stage == Stage::Writing) {
        // A worker may be finishing a packet it had begun to this client; the notice follows
        // it. The lock is taken only when free, so that nobody waits here for anyone.
        if (slot->sendLock->wait(0) != WAIT_OBJECT_0) {
          pending = true;
          continue;
        }
        LockOrder::acquired(slot->sendLock->getHandle(), LockRank::Send);
        const std::int32_t accepted =
            slot->socket->sendNow(image + farewell.written, size - farewell.written);
        slot->sendLock->release();
        LockOrder::released(slot->sendLock->getHandle());
        if (accepted < 0) {
          farewell.stage = Stage::Done;
          continue;
        }
        farewell.written += accepted;
        if (farewell.written < size) {
          pending = true;
          filling = slot->socket;
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

std::int32_t Transport::receive(ConnectionSlot* slot, Packet* packet) {
  StreamSocket* socket = slot->socket;
  if (socket == nullptr) return -1;
  const std::int64_t limit = static_cast<std::int64_t>(loginTimeoutSeconds_) * 1000;
  for (;;) {
    // No packet larger than the wire buffer is ever read: the connection ends instead.
    std::int32_t whole =
        framedPacketSize(slot->inbox, static_cast<std::size_t>(slot->inboxLength));
    if (whole < 0) return -1;
    if (whole > 0 && slot->inboxLength >= whole) {
      packet->deserialize(slot->inbox);
      slot->inboxLength -= whole;
      std::memmove(slot->inbox, slot->inbox + whole, static_cast<std::size_t>(slot->inboxLength));
      slot->partialSince = slot->inboxLength > 0 ? steadyMilliseconds() : 0;
      return packet->length != 0 ? static_cast<std::int32_t>(packet->length)
                                 : static_cast<std::int32_t>(HEADER_SIZE);
    }

    // A connection that has not logged in in time, or a packet that stays incomplete too long,
    // would keep a slot from real users: either ends the connection.
    std::int64_t deadline = slot->loginDeadline;
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
    if (wait >= 0) {
      int ready = socket->waitForData(wait);
      if (ready < 0) return -1;
      if (ready == 0) continue;
    }
    std::int32_t got = socket->receive(
        slot->inbox + slot->inboxLength,
        static_cast<std::int32_t>(sizeof slot->inbox) - slot->inboxLength, 0);
    if (got <= 0) return -1;
    if (slot->inboxLength == 0) slot->partialSince = steadyMilliseconds();
    slot->inboxLength += got;
  }
}

#include "sessions/SessionLoop.h"

#include <chrono>
#include <cstring>
#include <new>

#include "core/ServiceGate.h"
#include "core/SteadyClock.h"
#include "platform/SocketPair.h"
#include "platform/StreamSocket.h"
#include "protocol/Packet.h"
#include "protocol/Transport.h"
#include "sessions/ConnectionSlot.h"

namespace {

// How often the loop looks at every session's deadlines and waiting outbox.
constexpr int kTickMilliseconds = 100;
// The most sockets one wait reports; the rest are reported by the next.
constexpr int kEventsPerWait = 256;
// The longest a pass routes without writing what it has queued: where routing is slow, a pass
// over many ready clients would otherwise hold every delivery back until its end.
constexpr std::int64_t kLongestUnwrittenMicroseconds = 2000;
// After a failed wait, so that a broken poller cannot spin the loop.
constexpr auto kFailedWaitPause = std::chrono::milliseconds(10);

}  // namespace

SessionLoop::SessionLoop(const ServiceGate& gate, Transport& transport,
                         const std::atomic<std::int32_t>& loginTimeoutSeconds)
    : gate_(gate), transport_(transport), loginTimeoutSeconds_(loginTimeoutSeconds) {}

SessionLoop::~SessionLoop() { stop(); }

bool SessionLoop::start(Handler handler) {
  if (thread_.joinable()) return true;
  handler_ = std::move(handler);
  poller_ = new (std::nothrow) EventPoller();
  SocketHandle ends[2];
  bool ready = poller_ != nullptr && poller_->valid() && openSocketPair(ends);
  if (ready) {
    wakeReader_ = new (std::nothrow) StreamSocket(ends[0]);
    wakeWriter_ = new (std::nothrow) StreamSocket(ends[1]);
    ready = wakeReader_ != nullptr && wakeWriter_ != nullptr &&
            poller_->add(wakeReader_->handle, EventPoller::READABLE, nullptr);
  }
  if (ready) {
    {
      std::lock_guard<std::mutex> queue(handOverLock_);
      running_ = true;
      ending_ = false;
    }
    try {
      thread_ = std::thread(&SessionLoop::run, this);
    } catch (const std::exception&) {
      ready = false;
    }
  }
  if (!ready) {
    {
      std::lock_guard<std::mutex> queue(handOverLock_);
      running_ = false;
    }
    stop();  // frees what was made
  }
  return ready;
}

void SessionLoop::stop() {
  {
    std::lock_guard<std::mutex> queue(handOverLock_);
    ending_ = true;
  }
  if (thread_.joinable()) {
    wake();
    thread_.join();
  }
  {
    std::lock_guard<std::mutex> queue(handOverLock_);
    running_ = false;
  }
  delete poller_;
  poller_ = nullptr;
  delete wakeReader_;
  wakeReader_ = nullptr;
  delete wakeWriter_;
  wakeWriter_ = nullptr;
  wakePending_ = false;
}

void SessionLoop::serve(ConnectionSlot* slot) {
  {
    std::lock_guard<std::mutex> queue(handOverLock_);
    if (!running_ || ending_) return;
    {
      std::lock_guard<std::mutex> handOver(slot->handOverLock);
      slot->inLoop = true;
    }
    handedOver_.push_back(slot);
  }
  wake();
  std::unique_lock<std::mutex> handOver(slot->handOverLock);
  slot->handedBack.wait(handOver, [slot] { return !slot->inLoop; });
}

void SessionLoop::wake() {
  // One byte in the pair at a time is enough to end the loop's wait.
  if (wakePending_.exchange(true)) return;
  const unsigned char byte = 0;
  wakeWriter_->sendNow(&byte, 1);
}

void SessionLoop::handBack(ConnectionSlot* slot) {
  {
    std::lock_guard<std::mutex> handOver(slot->handOverLock);
    slot->inLoop = false;
  }
  slot->handedBack.notify_one();
}

void SessionLoop::run() {
  EventPoller::Event events[kEventsPerWait];
  nextTick_ = steadyMilliseconds() + kTickMilliseconds;
  for (;;) {
    int count = poller_->wait(events, kEventsPerWait, nextWait(steadyMicroseconds()));
    if (count < 0) {
      std::this_thread::sleep_for(kFailedWaitPause);
      count = 0;
    }
    const std::int64_t now = steadyMicroseconds();
    nowMilliseconds_ = now / 1000;
    std::int64_t writtenAt = now;
    for (int i = 0; i < count; ++i) {
      if (events[i].context == nullptr) {
        // Emptied before the flag is cleared: a wake-up between the two sends nothing, and
        // what it handed over is taken below, after both.
        unsigned char drained[64];
        wakeReader_->receive(drained, sizeof drained, 0);
        wakePending_ = false;
        continue;
      }
      auto* slot = static_cast<ConnectionSlot*>(events[i].context);
      if (slot->loopIndex < 0) continue;  // ended earlier in this pass
      const std::uint32_t ready = events[i].events;
      if ((ready & EventPoller::WRITABLE) != 0 && transport_.writeQueued(slot) == 0) {
        watch(slot, slot->loopEvents & ~EventPoller::WRITABLE);
      }
      if ((ready & (EventPoller::READABLE | EventPoller::HUNG_UP | EventPoller::FAILED)) == 0) {
        continue;
      }
      readFrom(slot);
      if (!batch_.empty()) {
        const std::int64_t routedAt = steadyMicroseconds();
        if (routedAt - writtenAt >= kLongestUnwrittenMicroseconds) {
          writeBatch();
          writtenAt = routedAt;
        }
      }
    }
    bool ending;
    {
      std::lock_guard<std::mutex> queue(handOverLock_);
      ending = ending_;
    }
    if (!ending) takeHandedOver();
    // Held packets whose time has come (all of them once the stop has begun: they are
    // dropped). Served from the back, so that a packet held again lands where it is not met
    // twice.
    for (std::size_t i = held_.size(); i-- > 0;) {
      ConnectionSlot* slot = held_[i];
      if (slot->heldUntil > now && !gate_.halting()) continue;
      held_[i] = held_.back();
      held_.pop_back();
      servePackets(slot);
    }
    writeBatch();
    if (nowMilliseconds_ >= nextTick_) {
      tick();
      nextTick_ = nowMilliseconds_ + kTickMilliseconds;
    }
    for (ConnectionSlot* slot : ended_) handBack(slot);
    ended_.clear();
    if (ending) break;
  }
  // Every session still served, and every one handed over since, goes back to its worker.
  writeBatch();
  while (!sessions_.empty()) end(sessions_.back());
  for (ConnectionSlot* slot : ended_) handBack(slot);
  ended_.clear();
  std::vector<ConnectionSlot*> left;
  {
    std::lock_guard<std::mutex> queue(handOverLock_);
    left.swap(handedOver_);
  }
  for (ConnectionSlot* slot : left) handBack(slot);
}

void SessionLoop::takeHandedOver() {
  {
    std::lock_guard<std::mutex> queue(handOverLock_);
    if (handedOver_.empty()) return;
    taking_.swap(handedOver_);
  }
  for (ConnectionSlot* slot : taking_) {
    slot->loopIndex = static_cast<std::int32_t>(sessions_.size());
    sessions_.push_back(slot);
    slot->loopEvents = 0;
    slot->held = false;
    slot->batch = &batch_;
    if (!poller_->add(slot->socket->handle, EventPoller::READABLE, slot)) {
      end(slot);
      continue;
    }
    slot->loopEvents = EventPoller::READABLE;
    // What the client sent right behind its login came with the login's reads.
    servePackets(slot);
  }
  taking_.clear();
}

void SessionLoop::readFrom(ConnectionSlot* slot) {
  // A full inbox holds a whole packet: it is served before anything more is read.
  if (slot->inboxLength < static_cast<std::int32_t>(sizeof slot->inbox)) {
    if (transport_.readInbox(slot) <= 0) {
      end(slot);  // the client closed, or the connection failed or was given up
      return;
    }
  }
  servePackets(slot);
}

void SessionLoop::servePackets(ConnectionSlot* slot) {
  const bool retry = slot->held;  // the packet at the front was held: it is offered again
  if (retry) {
    slot->held = false;
    if (!poller_->add(slot->socket->handle, EventPoller::READABLE, slot)) {
      end(slot);
      return;
    }
    slot->loopEvents = EventPoller::READABLE;
  }
  serveFront(slot, retry);
}

void SessionLoop::serveFront(ConnectionSlot* slot, bool retry) {
  for (;;) {
    const unsigned char* front = slot->inbox + slot->inboxFront;
    const std::int32_t whole =
        framedPacketSize(front, static_cast<std::size_t>(slot->inboxLength));
    if (whole < 0) {
      end(slot);  // a header that claims more than any packet may hold
      return;
    }
    if (whole == 0 || slot->inboxLength < whole) break;
    packet_.deserialize(front);
    std::int64_t resumeAt = 0;
    const Outcome outcome = handler_(slot, &packet_, retry, &resumeAt);
    retry = false;
    if (outcome == Outcome::Held) {
      // Nothing more is read from this client until its packet has been served: its socket
      // leaves the poller meanwhile, since a peer that has closed would be reported at every
      // wait whatever the poller is asked for (its outbox is written at the ticks).
      poller_->remove(slot->socket->handle);
      slot->loopEvents = 0;
      slot->held = true;
      slot->heldUntil = resumeAt;
      held_.push_back(slot);
      return;
    }
    transport_.takeFront(slot, whole);
    if (outcome == Outcome::Ended) {
      end(slot);
      return;
    }
  }
  // Part of a packet is here: the rest must follow within the login time-out.
  if (slot->inboxLength > 0 && slot->partialSince == 0) slot->partialSince = nowMilliseconds_;
  watch(slot, slot->loopEvents | EventPoller::READABLE);
}

void SessionLoop::writeBatch() {
  for (ConnectionSlot* slot : batch_) {
    // A session of the loop's whose socket took only part waits for room; another's bytes
    // are its worker's to write.
    if (transport_.writeQueued(slot) > 0 && slot->loopIndex >= 0) {
      watch(slot, slot->loopEvents | EventPoller::WRITABLE);
    }
  }
  batch_.clear();
}

void SessionLoop::tick() {
  const std::int64_t limit = static_cast<std::int64_t>(loginTimeoutSeconds_) * 1000;
  // From the back: a session that ends here is replaced by one already looked at.
  for (std::size_t i = sessions_.size(); i-- > 0;) {
    ConnectionSlot* slot = sessions_[i];
    // Bytes another thread could not write, and the send budget of a client that takes none.
    if (slot->outboxBytes.load(std::memory_order_relaxed) > 0) {
      const int left = transport_.writeQueued(slot);
      if (left >= 0) {
        watch(slot, left > 0 ? slot->loopEvents | EventPoller::WRITABLE
                             : slot->loopEvents & ~EventPoller::WRITABLE);
      }
    }
    if (limit > 0 && !slot->held && slot->inboxLength > 0 && slot->partialSince != 0 &&
        nowMilliseconds_ - slot->partialSince >= limit) {
      end(slot);  // a packet left incomplete would keep the slot from real users
    } else if (slot->socket->givenUp()) {
      end(slot);  // given up here (a full outbox, T, the stop), where no wait reports it
    }
  }
}

void SessionLoop::watch(ConnectionSlot* slot, std::uint32_t events) {
  if (slot->loopIndex < 0 || slot->held || slot->loopEvents == events) return;
  if (poller_->modify(slot->socket->handle, events, slot)) slot->loopEvents = events;
}

void SessionLoop::end(ConnectionSlot* slot) {
  if (slot->loopIndex < 0) return;
  if (!slot->held) poller_->remove(slot->socket->handle);
  const auto index = static_cast<std::size_t>(slot->loopIndex);
  sessions_[index] = sessions_.back();
  sessions_[index]->loopIndex = static_cast<std::int32_t>(index);
  sessions_.pop_back();
  slot->loopIndex = -1;
  slot->loopEvents = 0;
  if (slot->held) {
    for (std::size_t i = 0; i < held_.size(); ++i) {
      if (held_[i] != slot) continue;
      held_[i] = held_.back();
      held_.pop_back();
      break;
    }
    slot->held = false;
  }
  slot->batch = nullptr;
  ended_.push_back(slot);
}

int SessionLoop::nextWait(std::int64_t nowMicros) const {
  std::int64_t wait = nextTick_ - nowMicros / 1000;
  for (const ConnectionSlot* slot : held_) {
    const std::int64_t due = (slot->heldUntil - nowMicros + 999) / 1000;
    if (due < wait) wait = due;
  }
  if (wait < 0) return 0;
  return wait > kTickMilliseconds ? kTickMilliseconds : static_cast<int>(wait);
}

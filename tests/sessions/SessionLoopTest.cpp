// The session loop driven directly, with a handler of the test's own: what it writes, and when.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "ServiceFixture.h"
#include "SlotFixture.h"
#include "protocol/Transport.h"
#include "sessions/SessionLoop.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kSenders = 10;

class SessionLoopTest : public SlotFixture {
 protected:
  SessionLoopTest() : SlotFixture(kSenders + 1), loop(server.gate, server.transport, timeout) {}

  ~SessionLoopTest() override {
    loop.stop();  // hands every session back
    for (std::thread& worker : workers) worker.join();
  }

  // Hands the slot to the loop from a worker of its own, as the server's workers do.
  void serve(int index) {
    workers.emplace_back([this, index] { loop.serve(slot(index)); });
  }

  std::atomic<std::int32_t> timeout{10};
  SessionLoop loop;
  std::vector<std::thread> workers;
};

// Routing may be slow (a loaded machine, a slow system): a pass over many ready clients must not
// hold every delivery back until it has routed them all.
TEST_F(SessionLoopTest, APassThatRoutesSlowlyWritesWhatItHasQueuedAsItGoes) {
  WireClient& reader = connect(0, "reader");
  std::vector<WireClient*> senders;
  for (int i = 1; i <= kSenders; ++i) {
    senders.push_back(&connect(i, ("s" + std::to_string(i)).c_str()));
  }
  const Recipient toReader{slot(0), slot(0)->loginSerial};

  std::atomic<bool> allSent{false};
  std::atomic<int> served{0};
  std::atomic<bool> arrivedWhileRouting{false};
  std::atomic<bool> checked{false};
  ASSERT_TRUE(loop.start([&](ConnectionSlot* from, Packet* packet, bool, std::int64_t*) {
    const int count = ++served;
    if (count == 1) {
      // The first packet waits for all the others: they are then ready together, for one pass.
      for (int i = 0; i < 500 && !allSent; ++i) std::this_thread::sleep_for(2ms);
      return SessionLoop::Outcome::Served;
    }
    std::this_thread::sleep_for(3ms);  // slow routing
    unsigned char image[MAX_WIRE_SIZE];
    packet->serialize(image);
    server.transport.post(from, toReader, image,
                          static_cast<std::int32_t>(packet->headerSize + packet->length));
    if (count == 6) {
      arrivedWhileRouting = reader.socket().waitForData(1000) > 0;
      checked = true;
    }
    return SessionLoop::Outcome::Served;
  }));
  for (int i = 0; i <= kSenders; ++i) serve(i);

  ASSERT_TRUE(senders[0]->sendText("MESS", "first", "s1"));
  ASSERT_TRUE(waitUntil([&] { return served.load() == 1; }, 5s));
  for (int i = 1; i < kSenders; ++i) {
    ASSERT_TRUE(senders[static_cast<std::size_t>(i)]->sendText("MESS", "next", "s"));
  }
  allSent = true;
  ASSERT_TRUE(waitUntil([&] { return checked.load(); }, 10s));
  EXPECT_TRUE(arrivedWhileRouting);
  for (int i = 1; i < kSenders; ++i) EXPECT_EQ(reader.next(), "MESS:next") << i;
}

}  // namespace

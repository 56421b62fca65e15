// The turns at checking password hashes: no more at once than given, a waiting login goes on
// as soon as a turn comes back, and one that waits gives up when the service stops.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "store/HashTurns.h"

namespace {

TEST(HashTurnsTest, NoMoreThanItsTurnsAndAWaiterGoesOnWhenOneComesBack) {
  HashTurns turns(2);
  const auto never = [] { return false; };
  ASSERT_TRUE(turns.take(never));
  ASSERT_TRUE(turns.take(never));
  std::atomic<bool> taken{false};
  std::thread waiter([&] { taken = turns.take(never); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(taken);  // both turns are out
  turns.give();
  waiter.join();  // a turn came back: the waiter has it
  EXPECT_TRUE(taken);
}

TEST(HashTurnsTest, AWaiterGivesUpWhenTheServiceStops) {
  HashTurns turns(0);  // held to one turn
  ASSERT_TRUE(turns.take([] { return false; }));
  std::atomic<bool> stopping{false};
  std::atomic<int> outcome{-1};
  std::thread waiter([&] { outcome = turns.take([&] { return stopping.load(); }) ? 1 : 0; });
  stopping = true;
  waiter.join();
  EXPECT_EQ(outcome, 0);
  // Giving up took no turn: the one out comes back and is there to take.
  turns.give();
  EXPECT_TRUE(turns.take([] { return true; }));
}

}  // namespace

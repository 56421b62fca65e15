// The lock order is checked where the checks are built in (debug and sanitizer builds): a thread
// that takes the server's mutexes against the order stops at once, naming them, instead of
// deadlocking one run in a hundred.
#include <gtest/gtest.h>

#include "core/LockOrder.h"
#include "core/NamedLock.h"
#include "platform/Mutex.h"

namespace {

class LockOrderTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef MSGSERVER_LOCK_CHECKS
    GTEST_SKIP() << "the lock-order checks are built into debug and sanitizer builds only";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
  }

  Mutex users{0, "LockOrderTest::users", nullptr};
  Mutex send{0, nullptr, nullptr};
  Mutex otherSend{0, nullptr, nullptr};
};

TEST_F(LockOrderTest, TheDocumentedNestingsPass) {
  {
    NamedLock sendLock(send, LockRank::Send);
    NamedLock usersLock(users, LockRank::Users);
    NamedLock again(users, LockRank::Users);  // recursive: already held
    LockOrder::assertHeld(LockRank::Users, "test");
  }
  NamedLock fileLock("LockOrderTest.file", 1000);
  LockOrder::assertNotHeld(LockRank::Users, "test");
}

TEST_F(LockOrderTest, ASendLockUnderUsersStops) {
  EXPECT_DEATH(
      {
        NamedLock usersLock(users, LockRank::Users);
        NamedLock sendLock(send, LockRank::Send);
      },
      "lock order broken: a mutex taken out of order \\(send while holding users\\)");
}

TEST_F(LockOrderTest, TwoSendLocksAtOnceStop) {
  EXPECT_DEATH(
      {
        NamedLock first(send, LockRank::Send);
        NamedLock second(otherSend, LockRank::Send);
      },
      "send while holding send");
}

TEST_F(LockOrderTest, AFileLockUnderUsersAndASendUnderUsersStop) {
  EXPECT_DEATH(
      {
        NamedLock usersLock(users, LockRank::Users);
        NamedLock fileLock("LockOrderTest.file", 1000);
      },
      "a file lock waited for under users");
  EXPECT_DEATH(
      {
        NamedLock usersLock(users, LockRank::Users);
        LockOrder::assertNotHeld(LockRank::Users, "a send under users");
      },
      "a send under users");
  EXPECT_DEATH(LockOrder::assertHeld(LockRank::Users, "a user list"),
               "lock not held: a user list needs users");
}

}  // namespace

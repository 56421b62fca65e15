// A running service while another process keeps the locks of its logs: each departing user's
// worker waits a bounded time for them, and nobody else waits with it: the others hear GONE at
// once, routing goes on, and every departure is over within one time-out of each log.
// (POSIX: the stranger holds a lock file.)
#ifndef _WIN32
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "LockFolders.h"
#include "ServiceFixture.h"
#include "platform/NamedMutexRegistry.h"

namespace {

using Clock = std::chrono::steady_clock;

long long millisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The logs have paths of their own: other test programs running meanwhile use the relative ones.
class LockedFilesTest : public ServiceFixture {
 protected:
  void SetUp() override {
    server.setConnectionLogFile(connectionLog.c_str());
    server.setErrorLogFile(errorLog.c_str());
  }

  std::string connectionLog = (dir.path() / "connections").string();
  std::string errorLog = (dir.path() / "errors").string();
};

TEST_F(LockedFilesTest, DeparturesWhileAStrangerKeepsTheLogsHoldNobodyElseUp) {
  constexpr int kLeavers = 4;
  ASSERT_TRUE(startService());
  auto keeper = admitted("keeper");
  ASSERT_TRUE(keeper);
  std::vector<std::unique_ptr<WireClient>> leavers;
  for (int i = 0; i < kLeavers; ++i) {
    leavers.push_back(admitted("leaver" + std::to_string(i)));
    ASSERT_TRUE(leavers.back());
    ASSERT_EQ(keeper->next().rfind("USER:", 0), 0u);
  }

  LockHolder connections(NamedMutexRegistry::lockFileOf(connectionLog.c_str()));
  LockHolder errors(NamedMutexRegistry::lockFileOf(errorLog.c_str()));
  ASSERT_TRUE(connections.holding());
  ASSERT_TRUE(errors.holding());
  testing::internal::CaptureStdout();
  const auto start = Clock::now();
  for (auto& leaver : leavers) leaver->close();
  // GONE goes out before the departure's disconnect line is written.
  int gone = 0;
  while (gone < kLeavers) {
    const std::string packet = keeper->next(std::chrono::seconds(15));
    if (packet.empty()) break;
    if (packet.rfind("GONE:", 0) == 0) ++gone;
  }
  EXPECT_EQ(gone, kLeavers);
  EXPECT_LT(millisecondsSince(start), 2000);

  const std::string echo = std::string("keeper\xFC") + "still routed";
  const auto sent = Clock::now();
  ASSERT_TRUE(keeper->sendText("PRIV", echo, "keeper"));
  EXPECT_EQ(keeper->next(), "PRIV:" + echo);
  EXPECT_LT(millisecondsSince(sent), 1000);
  // The departures wait side by side: one wait for each log (3 s and 1 s), not one per user.
  EXPECT_TRUE(waitUntil([&] { return server.connectionCount == 1; }, std::chrono::seconds(15)));
  EXPECT_LT(millisecondsSince(start), 7000);
  EXPECT_EQ(loggedInCount(), 1);
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_NE(printed.find("Internal Error: Timed out waiting for the lock of connection log file " +
                         connectionLog + ".\n"),
            std::string::npos)
      << printed;
  EXPECT_TRUE(connections.release());
  EXPECT_TRUE(errors.release());
}

}  // namespace
#endif

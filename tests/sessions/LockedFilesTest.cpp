// A running service while another process keeps the locks of its logs: the disconnect lines
// are written under the users mutex, so every wait for them holds up routing and the user
// lists; a stranger who keeps the locks must cost one bounded wait, not one per departure.
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

TEST_F(LockedFilesTest, DeparturesWhileAStrangerKeepsTheLogsHoldOthersUpForOneTimeOutOnly) {
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
  // One wait for each log (3 s and 1 s), then single tries: one wait per departure would take
  // four times as long.
  int gone = 0;
  while (gone < kLeavers) {
    const std::string packet = keeper->next(std::chrono::seconds(15));
    if (packet.empty()) break;
    if (packet.rfind("GONE:", 0) == 0) ++gone;
  }
  const long long announced = millisecondsSince(start);
  EXPECT_EQ(gone, kLeavers);
  EXPECT_LT(announced, 7000);

  const std::string echo = std::string("keeper\xFC") + "still routed";
  const auto sent = Clock::now();
  ASSERT_TRUE(keeper->sendText("PRIV", echo, "keeper"));
  EXPECT_EQ(keeper->next(), "PRIV:" + echo);
  EXPECT_LT(millisecondsSince(sent), 1000);
  EXPECT_TRUE(waitUntil([&] { return loggedInCount() == 1; }));
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

// A running service while another process holds lock files named like its logs: the logs take
// no file lock (they stay open between lines), so departures are logged at once and nobody
// waits for the stranger. (POSIX: the stranger holds a lock file.)
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

TEST_F(LockedFilesTest, DeparturesAreLoggedAtOnceWhileAStrangerHoldsLockFilesOfTheLogs) {
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
  // The others hear of the departures at once.
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
  EXPECT_TRUE(waitUntil([&] { return server.connectionCount == 1; }, std::chrono::seconds(15)));
  EXPECT_LT(millisecondsSince(start), 2000);
  EXPECT_EQ(loggedInCount(), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  const std::string logged = dir.read("connections");
  int departures = 0;
  for (std::size_t at = logged.find("Disconnect: USER: leaver"); at != std::string::npos;
       at = logged.find("Disconnect: USER: leaver", at + 1)) {
    ++departures;
  }
  EXPECT_EQ(departures, kLeavers) << logged;
  EXPECT_TRUE(connections.release());
  EXPECT_TRUE(errors.release());
}

}  // namespace
#endif

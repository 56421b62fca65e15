#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/Server.h"
#include "StartingLine.h"
#include "TempDir.h"

namespace {

class HostsFileTest : public testing::Test {
 protected:
  void SetUp() override { server.setHostsFile("hosts"); }

  // What the operations print while f runs.
  template <typename F>
  static std::string console(F f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
  }
  bool logged(const std::string& message) const {
    return dir.read(".servererrors").find("ERROR: " + message + "\tAT: ") != std::string::npos;
  }

  TempDir dir;
  Server server{10};
};

TEST_F(HostsFileTest, OnlyAWholeLineAdmits) {
  dir.write("hosts", "10.0.0.1\n127.0.0.1 \n 127.0.0.2\n10.0.0.30\n");
  EXPECT_TRUE(server.isTrustedHost("10.0.0.1"));
  EXPECT_FALSE(server.isTrustedHost("127.0.0.1"));
  EXPECT_FALSE(server.isTrustedHost("127.0.0.2"));
  EXPECT_FALSE(server.isTrustedHost("10.0.0.3"));
  EXPECT_FALSE(server.isTrustedHost("localhost"));
  EXPECT_FALSE(server.isTrustedHost(""));
}

TEST_F(HostsFileTest, LastLineMatchesWithOrWithoutNewline) {
  dir.write("hosts", "10.0.0.1\n10.0.0.2");
  EXPECT_TRUE(server.isTrustedHost("10.0.0.2"));
  dir.write("hosts", "10.0.0.1\r\n10.0.0.2\r\n");
  EXPECT_TRUE(server.isTrustedHost("10.0.0.1"));
  EXPECT_TRUE(server.isTrustedHost("10.0.0.2"));
}

TEST_F(HostsFileTest, BlankLinesAreSkippedAndNeverAdded) {
  const std::string content = "\n \t\n\r\n";
  dir.write("hosts", content);
  EXPECT_FALSE(server.isTrustedHost(" \t"));
  EXPECT_FALSE(server.addTrustedHost("  "));  // it could never admit anyone
  EXPECT_EQ(dir.read("hosts"), content);
  EXPECT_TRUE(server.addTrustedHost("10.0.0.2"));
  EXPECT_TRUE(server.isTrustedHost("10.0.0.2"));
}

TEST_F(HostsFileTest, EmptyFileAdmitsNobodyUntilAnEntryIsAdded) {
  dir.write("hosts", "");
  EXPECT_FALSE(server.isTrustedHost("127.0.0.1"));
  EXPECT_EQ(console([&] { EXPECT_TRUE(server.addTrustedHost("127.0.0.1")); }), "");
  EXPECT_EQ(dir.read("hosts"), "127.0.0.1\n");
  EXPECT_TRUE(server.isTrustedHost("127.0.0.1"));
}

TEST_F(HostsFileTest, ListedAddressIsNotAddedAgain) {
  const std::string content = "10.0.0.1\n10.0.0.2";
  dir.write("hosts", content);
  for (const char* address : {"10.0.0.1", "10.0.0.2"}) {
    const std::string message = std::string("Internal Error: Host ") + address + " already exists.";
    EXPECT_EQ(console([&] { EXPECT_FALSE(server.addTrustedHost(address)); }), message + "\n");
    EXPECT_TRUE(logged(message));
  }
  EXPECT_EQ(dir.read("hosts"), content);
}

TEST_F(HostsFileTest, AppendStartsANewLineAfterAnUnterminatedLastLine) {
  dir.write("hosts", "10.0.0.1");
  EXPECT_TRUE(server.addTrustedHost("10.0.0.2"));
  EXPECT_EQ(dir.read("hosts"), "10.0.0.1\n10.0.0.2\n");
  EXPECT_TRUE(server.isTrustedHost("10.0.0.1"));
  EXPECT_TRUE(server.isTrustedHost("10.0.0.2"));
}

TEST_F(HostsFileTest, MissingFileRefusesEveryoneAndIsCreatedOnlyByAdding) {
  const std::string message = "Internal Error: Hosts file hosts inaccessible.";
  EXPECT_EQ(console([&] { EXPECT_FALSE(server.isTrustedHost("127.0.0.1")); }), message + "\n");
  EXPECT_TRUE(logged(message));
  EXPECT_FALSE(dir.exists("hosts"));

  EXPECT_EQ(console([&] { EXPECT_TRUE(server.addTrustedHost("127.0.0.1")); }),
            "Created hosts file hosts.\n");
#ifndef _WIN32
  EXPECT_EQ(dir.permissions("hosts") & std::filesystem::perms::all, std::filesystem::perms(0644));
#endif
  EXPECT_TRUE(server.isTrustedHost("127.0.0.1"));
}

TEST_F(HostsFileTest, UnsetPathIsReported) {
  std::free(server.hostsFile);
  server.hostsFile = nullptr;
  const std::string message = "Internal Error: No hosts file specified.";
  EXPECT_EQ(console([&] { EXPECT_FALSE(server.isTrustedHost("127.0.0.1")); }), message + "\n");
  EXPECT_EQ(console([&] { EXPECT_FALSE(server.addTrustedHost("127.0.0.1")); }), message + "\n");
  EXPECT_TRUE(logged(message));
}

TEST_F(HostsFileTest, ConcurrentAdditionsOfOneAddressAppendOneLine) {
  constexpr int kThreads = 4;
  for (int round = 0; round < 20; ++round) {
    dir.write("hosts", "10.0.0.1\n");
    std::atomic<int> added{0};
    console([&] {
      StartingLine start(kThreads);
      std::vector<std::thread> threads;
      for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
          start.arriveAndWait();
          if (server.addTrustedHost("127.0.0.1")) ++added;
        });
      }
      for (auto& thread : threads) thread.join();
    });
    ASSERT_EQ(added, 1) << "round " << round;
    ASSERT_EQ(dir.read("hosts"), "10.0.0.1\n127.0.0.1\n") << "round " << round;
  }
}

}  // namespace

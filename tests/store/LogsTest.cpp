// The connection log and the error log: exact line formats, the local time stamp, missing files
// created, unusable files reported on the console.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <algorithm>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/Server.h"
#include "TempDir.h"

namespace {

class LogsTest : public ::testing::Test {
 protected:
  TempDir dir;
  Server server{10};
};

// Five fields: weekday, month, day without a leading zero, 24-hour time, a zone name.
const char* kStamp = "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                     "([1-9]|[12][0-9]|3[01]) [0-2][0-9]:[0-5][0-9]:[0-6][0-9] "
#ifdef _WIN32
                     "[A-Za-z][A-Za-z0-9+. -]*";  // Windows names zones in words: "W. Europe Standard Time"
#else
                     "[A-Za-z][A-Za-z0-9+-]*";
#endif

// Sets or removes TZ for this process (Windows has no setenv).
void setZone(const char* value) {
#ifdef _WIN32
  _putenv_s("TZ", value != nullptr ? value : "");
#else
  if (value != nullptr) {
    ::setenv("TZ", value, 1);
  } else {
    ::unsetenv("TZ");
  }
#endif
}

TEST_F(LogsTest, ConnectAndDisconnectLinesHaveTheirExactFormats) {
  EXPECT_TRUE(server.logConnect("alice", 5412, "192.0.2.7"));
  EXPECT_TRUE(server.logDisconnect("alice", 5412, "192.0.2.7"));
  std::string log = dir.read("connectionlog");
  std::regex expected(std::string("Connect: USER: alice\tFROM: 192\\.0\\.2\\.7, ON: 5412\tAT: ") +
                      kStamp + "\nDisconnect: USER: alice\tFROM: 192\\.0\\.2\\.7, 5412\tAT: " +
                      kStamp + "\n");
  EXPECT_TRUE(std::regex_match(log, expected)) << log;
}

TEST_F(LogsTest, ANameCannotForgeConnectionLogLines) {
  const std::string forged = "mallory\tFROM: 10.9.8.7, ON: 1\tAT: now\nConnect: USER: root\xFF";
  EXPECT_TRUE(server.logConnect(forged.c_str(), 5412, "192.0.2.7"));
  EXPECT_TRUE(server.logDisconnect(forged.c_str(), 5412, "192.0.2.7"));
  const std::string shown = "mallory?FROM: 10.9.8.7, ON: 1?AT: now?Connect: USER: root?";
  std::string log = dir.read("connectionlog");
  ASSERT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
  EXPECT_EQ(log.rfind("Connect: USER: " + shown + "\tFROM: 192.0.2.7, ON: 5412\tAT: ", 0), 0u)
      << log;
  EXPECT_NE(log.find("\nDisconnect: USER: " + shown + "\tFROM: 192.0.2.7, 5412\tAT: "),
            std::string::npos)
      << log;
}

TEST_F(LogsTest, PortIsPrintedUnsigned) {
  EXPECT_TRUE(server.logConnect("bob", 65535, "10.0.0.1"));
  EXPECT_NE(dir.read("connectionlog").find("ON: 65535\t"), std::string::npos);
}

TEST_F(LogsTest, ErrorLineKeepsTheMessageUnchangedAndIsNotPrinted) {
  testing::internal::CaptureStdout();
  EXPECT_TRUE(server.logError("tab\there, newline\nthere, percent %s %n"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  std::string log = dir.read(".servererrors");
  std::regex expected(std::string("ERROR: tab\there, newline\nthere, percent %s %n\tAT: ") +
                      kStamp + "\n");
  EXPECT_TRUE(std::regex_match(log, expected)) << log;
}

TEST_F(LogsTest, ExistingLogOnlyGrows) {
  dir.write(".servererrors", "earlier line\n");
  EXPECT_TRUE(server.logError("one"));
  EXPECT_TRUE(server.logError("two"));
  std::string log = dir.read(".servererrors");
  EXPECT_EQ(log.rfind("earlier line\nERROR: one\tAT: ", 0), 0u);
  EXPECT_NE(log.find("\nERROR: two\tAT: "), std::string::npos);
}

TEST_F(LogsTest, TimeStampFollowsTheLocalZone) {
  const char* previous = std::getenv("TZ");
  std::string saved = previous != nullptr ? previous : "";
  setZone("XST-5");  // five hours east of UTC, named XST
  ::tzset();
  char stamp[TEXT_LINE_SIZE];
  std::time_t when = 1700000000;  // Tue Nov 14 22:13:20 2023 UTC
  Server::formatTimeStamp(stamp, sizeof stamp, when);
  EXPECT_STREQ(stamp, "Wed Nov 15 03:13:20 XST");
  Server::formatTimeStamp(stamp, sizeof stamp, when - 20 * 86400);
  EXPECT_STREQ(stamp, "Thu Oct 26 03:13:20 XST");
  Server::formatTimeStamp(stamp, sizeof stamp, 1699000000);  // Nov 3: no leading zero
  EXPECT_STREQ(stamp, "Fri Nov 3 13:26:40 XST");
  setZone(previous != nullptr ? saved.c_str() : nullptr);
  ::tzset();
}

TEST_F(LogsTest, UnopenableConnectionLogIsReportedOnTheConsoleAndInTheErrorLog) {
  server.setConnectionLogFile("missing-folder/connectionlog");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(server.logConnect("alice", 5412, "127.0.0.1"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Internal Error: Log file missing-folder/connectionlog inaccessible.\n");
  EXPECT_NE(dir.read(".servererrors").find(
                "ERROR: Internal Error: Log file missing-folder/connectionlog inaccessible.\tAT: "),
            std::string::npos);
}

TEST_F(LogsTest, UnopenableErrorLogIsOnlyPrinted) {
  server.setErrorLogFile("missing-folder/errors");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(server.logError("lost"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Internal Error: Error file missing-folder/errors inaccessible.\n");
}

TEST_F(LogsTest, BothLogsInOneFileShareOneMutexWithoutBlocking) {
  server.setErrorLogFile("all.log");
  server.setConnectionLogFile("all.log");
  EXPECT_TRUE(server.logConnect("alice", 5412, "127.0.0.1"));
  EXPECT_TRUE(server.logError("problem"));
  std::string log = dir.read("all.log");
  EXPECT_EQ(log.rfind("Connect: USER: alice", 0), 0u);
  EXPECT_NE(log.find("\nERROR: problem\tAT: "), std::string::npos);
}

// The logs stay open between lines; one renamed away (rotated) or removed is noticed at the next
// line, which starts a new file at the configured path.
TEST_F(LogsTest, ALogRenamedOrRemovedMeanwhileStartsANewFileAtItsPath) {
  EXPECT_TRUE(server.logConnect("alice", 5412, "192.0.2.7"));
  EXPECT_TRUE(server.logError("first"));
  std::filesystem::rename(dir.path() / "connectionlog", dir.path() / "connectionlog.1");
  EXPECT_TRUE(server.logDisconnect("alice", 5412, "192.0.2.7"));

  const std::string rotated = dir.read("connectionlog.1");
  EXPECT_EQ(rotated.rfind("Connect: USER: alice\t", 0), 0u) << rotated;
  EXPECT_EQ(rotated.find("Disconnect:"), std::string::npos) << rotated;
  const std::string current = dir.read("connectionlog");
  EXPECT_EQ(current.rfind("Disconnect: USER: alice\t", 0), 0u) << current;
  EXPECT_EQ(current.find("Connect: USER"), std::string::npos) << current;
#ifndef _WIN32
  // (Wine, which runs the Windows build's tests, keeps a removed file's name while it is open.)
  std::filesystem::remove(dir.path() / ".servererrors");
  EXPECT_TRUE(server.logError("second"));
  EXPECT_EQ(dir.read(".servererrors").rfind("ERROR: second\tAT: ", 0), 0u);
#endif
}

TEST_F(LogsTest, LinesFromManyThreadsNeverInterleave) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      std::string message = "thread " + std::to_string(t) + " " + std::string(300, 'x');
      for (int i = 0; i < 50; ++i) server.logError(message.c_str());
    });
  }
  for (auto& thread : threads) thread.join();
  std::string log = dir.read(".servererrors");
  std::regex line(std::string("ERROR: thread [0-3] x{300}\tAT: ") + kStamp);
  int count = 0;
  std::size_t start = 0;
  for (std::size_t end = log.find('\n'); end != std::string::npos; end = log.find('\n', start)) {
    EXPECT_TRUE(std::regex_match(log.substr(start, end - start), line));
    ++count;
    start = end + 1;
  }
  EXPECT_EQ(count, 200);
}

}  // namespace

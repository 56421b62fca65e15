// File operations whose file mutex cannot be had: a lock folder someone else could have
// prepared, a link planted where a lock file goes, a lock that another process keeps. Each
// operation fails with one report, touches no file, and never waits past its bound. (POSIX:
// the lock folder is a POSIX matter.) A process chooses its lock folder once, so the tests
// with a folder of their own run the operations in a forked child that prints to a file.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "LockFolders.h"
#include "TempDir.h"
#include "core/Server.h"
#include "platform/NamedMutexRegistry.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class FileLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base = (dir.path() / "tmp").string();
    folder = lockFolderIn(base);
    fs::create_directory(base);
    server.securityLevel = LOGIN;
    dir.write("passwd", "ann:pw:Ann\n");
    dir.write("hosts", "10.0.0.1\n");
  }

  // Runs operation in a child whose lock folder is under base; what it printed, or a note
  // that the child failed.
  template <typename Operation>
  std::string inChild(Operation operation) {
    const std::string console = (dir.path() / "console").string();
    const int code = runForked(
        [&] {
          useLockBase(base);
          return operation() ? 1 : 0;
        },
        console);
    return code == 0 ? dir.read("console") : "child failed with " + std::to_string(code);
  }

  // The lock file of a name in a lock folder.
  static std::string lockFileIn(const std::string& lockFolder, const char* name) {
    return lockFolder + "/" + fs::path(NamedMutexRegistry::lockFileOf(name)).filename().string();
  }

  TempDir dir;
  Server server{10};
  std::string base;
  std::string folder;
};

TEST_F(FileLockTest, FolderOpenToOthersFailsEveryFileOperationAndTouchesNoFile) {
  ASSERT_TRUE(fs::create_directory(folder));
  ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
  const std::string reason = ": lock folder " + folder + " is open to other users (mode 0777).\n";
  const std::string passwd = "Internal Error: Cannot lock passwd file passwd" + reason;
  const std::string hosts = "Internal Error: Cannot lock hosts file hosts" + reason;
  char buffer[64];

  EXPECT_EQ(inChild([&] { return server.addUser("bob", "pw", "Bob"); }), passwd);
  EXPECT_EQ(inChild([&] { return server.verifyPassword("ann", "pw"); }), passwd);
  EXPECT_EQ(inChild([&] { return server.lookupFullName("ann", buffer, sizeof buffer); }), passwd);
  EXPECT_EQ(inChild([&] { return server.isTrustedHost("10.0.0.1"); }), hosts);
  EXPECT_EQ(inChild([&] { return server.addTrustedHost("10.0.0.2"); }), hosts);
  // The logs take no lock file: they are written whatever the folder is (a child whose
  // operation succeeds exits 1, hence the negation).
  EXPECT_EQ(inChild([&] { return !server.logConnect("ann", 5412, "10.0.0.1"); }), "");

  EXPECT_EQ(dir.read("passwd"), "ann:pw:Ann\n");
  EXPECT_EQ(dir.read("hosts"), "10.0.0.1\n");
  EXPECT_EQ(dir.read("connectionlog").rfind("Connect: USER: ann\t", 0), 0u);
  const std::string logged = dir.read(".servererrors");
  EXPECT_EQ(logged.rfind("ERROR: " + passwd.substr(0, passwd.size() - 1) + "\tAT: ", 0), 0u)
      << logged;
  EXPECT_TRUE(fs::is_empty(folder));
}

TEST_F(FileLockTest, PlantedLinkFailsTheOperationAndIsNotFollowed) {
  ASSERT_TRUE(fs::create_directory(folder));
  ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
  const std::string lockFile = lockFileIn(folder, "passwd");
  dir.write("victim", "keep");
  fs::create_symlink(dir.path() / "victim", lockFile);
  const std::string report =
      "Internal Error: Cannot lock passwd file passwd: lock file " + lockFile +
      " is a symbolic link.";
  EXPECT_EQ(inChild([&] { return server.addUser("bob", "pw", "Bob"); }), report + "\n");
  EXPECT_EQ(dir.read("victim"), "keep");
  EXPECT_EQ(dir.read("passwd"), "ann:pw:Ann\n");
  // The error log's lock file is sound, so the report is logged too.
  EXPECT_EQ(dir.read(".servererrors").rfind("ERROR: " + report + "\tAT: ", 0), 0u);
}

// A stranger keeps the lock of the password file (and a lock file named like the error log's,
// which the log does not use): an operation fails after one bounded wait (a login's answer must
// come within five seconds), the next ones at once, and all is well again once the stranger
// lets go. The files have paths of their own:
// other test programs running meanwhile use the relative ones.
TEST_F(FileLockTest, LocksKeptByAnotherProcessFailOperationsWithinTheirBound) {
  const std::string passwd = (dir.path() / "passwd").string();
  const std::string errors = (dir.path() / "errors").string();
  server.setPasswdFile(passwd.c_str());
  server.setErrorLogFile(errors.c_str());
  const std::string timedOut =
      "Internal Error: Timed out waiting for the lock of passwd file " + passwd + ".\n";
  {
    LockHolder passwdHolder(NamedMutexRegistry::lockFileOf(passwd.c_str()));
    LockHolder errorsHolder(NamedMutexRegistry::lockFileOf(errors.c_str()));
    ASSERT_TRUE(passwdHolder.holding());
    ASSERT_TRUE(errorsHolder.holding());

    testing::internal::CaptureStdout();
    auto start = Clock::now();
    EXPECT_FALSE(server.verifyPassword("ann", "pw"));
    const long long first = millisecondsSince(start);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), timedOut);
    EXPECT_GE(first, 2900);
    EXPECT_LT(first, 5000);

    testing::internal::CaptureStdout();
    start = Clock::now();
    EXPECT_FALSE(server.addUser("bob", "pw", "Bob"));
    EXPECT_LT(millisecondsSince(start), 1000);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), timedOut);
    EXPECT_EQ(dir.read("passwd"), "ann:pw:Ann\n");
    EXPECT_NE(dir.read("errors").find(timedOut.substr(0, timedOut.size() - 1) + "\tAT: "),
              std::string::npos);

    ASSERT_TRUE(passwdHolder.release());
    ASSERT_TRUE(errorsHolder.release());
  }
  EXPECT_TRUE(server.addUser("bob", "pw", "Bob"));
  EXPECT_TRUE(server.verifyPassword("bob", "pw"));
}

}  // namespace
#endif

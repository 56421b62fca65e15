// The real binary with a lock folder of its own (TMPDIR points into the test's folder): D and
// S refuse a folder that others may use, and a login is answered within five seconds, with the
// console naming the cause, when the folder turns hostile or another process keeps the locks.
// (POSIX: the lock folder is a POSIX matter.)
#ifndef _WIN32
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "ConsoleServer.h"
#include "LockFolders.h"
#include "platform/NamedMutexRegistry.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class LockFolderConsoleTest : public ConsoleServer {
 protected:
  void SetUp() override {
    ConsoleServer::SetUp();
    base = (dir.path() / "tmp").string();
    folder = lockFolderIn(base);
    fs::create_directory(base);
    environment = {"TMPDIR=" + base, "XDG_RUNTIME_DIR="};
    configure("mcastaddress 239.1.2.3\nsecurity LOGIN\n");
    dir.write("passwd", "ann:pw:Ann\n");
  }

  // The folder as the binary would make it, made here so that nothing depends on when it does.
  void makePrivateFolder() const {
    ASSERT_TRUE(fs::create_directory(folder));
    ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
  }

  // The binary's lock file of a name.
  std::string lockFileOf(const char* name) const {
    return folder + "/" + fs::path(NamedMutexRegistry::lockFileOf(name)).filename().string();
  }

  // Connects and logs in as ann; the first answer to the USER packet (LERR or CONN), and how
  // long it took to come.
  std::string firstAnswer(long long* milliseconds) {
    auto client = connect();
    if (!client) return "no connection";
    std::string packet = client->next();
    while (packet.rfind("LEVL", 0) != 0 && !packet.empty()) packet = client->next();
    if (!client->sendText("USER", std::string("ann\xFF") + "pw")) return "not sent";
    const auto start = Clock::now();
    packet = client->next(std::chrono::seconds(10));
    while (packet.rfind("LERR", 0) != 0 && packet.rfind("CONN", 0) != 0 && !packet.empty()) {
      packet = client->next(std::chrono::seconds(10));
    }
    *milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    return packet;
  }

  std::string base;
  std::string folder;
};

TEST_F(LockFolderConsoleTest, DiagnosticsAndStartRefuseAFolderOpenToOthers) {
  ASSERT_TRUE(fs::create_directory(folder));
  ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
  const std::string reason = "lock folder " + folder + " is open to other users (mode 0777)";
  const std::string report = "Errors encountered:\n\tCannot lock the data files: " + reason + "\n";
  auto server = launch();
  EXPECT_NE(command(*server, "D\n").find(report), std::string::npos);
  const std::string started = command(*server, "S\n");
  EXPECT_NE(started.find(report), std::string::npos) << started;
  EXPECT_EQ(started.find("Server started."), std::string::npos) << started;
  quit(*server);
  EXPECT_TRUE(fs::is_empty(folder));
}

TEST_F(LockFolderConsoleTest, LoginIsAnsweredWithinFiveSecondsWhenTheFolderTurnsHostile) {
  makePrivateFolder();
  auto server = launchRunning();
  ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
  long long waited = 0;
  EXPECT_EQ(firstAnswer(&waited), "LERR:Login incorrect.");
  EXPECT_LT(waited, 5000);
  EXPECT_TRUE(server->waitFor("Internal Error: Cannot lock passwd file passwd: lock folder " +
                              folder + " is open to other users (mode 0777).\n"))
      << server->output();
  ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
  EXPECT_EQ(firstAnswer(&waited), "CONN");
  quit(*server);
}

TEST_F(LockFolderConsoleTest, LoginIsAnsweredWithinFiveSecondsWhileAnotherProcessKeepsTheLocks) {
  makePrivateFolder();
  auto server = launchRunning();
  {
    LockHolder passwd(lockFileOf("passwd"));
    ASSERT_TRUE(passwd.holding());
    long long waited = 0;
    EXPECT_EQ(firstAnswer(&waited), "LERR:Login incorrect.");
    EXPECT_LT(waited, 5000);
    EXPECT_TRUE(server->waitFor(
        "Internal Error: Timed out waiting for the lock of passwd file passwd.\n"))
        << server->output();
    // The stranger is presumed still there: the next answer comes at once.
    EXPECT_EQ(firstAnswer(&waited), "LERR:Login incorrect.");
    EXPECT_LT(waited, 1000);
    ASSERT_TRUE(passwd.release());
  }
  long long waited = 0;
  EXPECT_EQ(firstAnswer(&waited), "CONN");
  quit(*server);
}

}  // namespace
#endif

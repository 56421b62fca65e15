// The lock folder behind the mutexes shared with other processes (POSIX; Windows uses kernel
// objects and has none): where it is, that a folder or lock file someone else could have
// prepared is refused rather than used or followed, and that a stranger who keeps a lock costs
// one time-out and then single tries. A process chooses its folder once, so the tests that need
// a folder of their own run their part in a forked child, whose result is its exit code.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "LockFolders.h"
#include "TempDir.h"
#include "platform/Mutex.h"
#include "platform/NamedMutexRegistry.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

mode_t modeOf(const std::string& path) {
  struct stat seen {};
  return ::lstat(path.c_str(), &seen) == 0 ? seen.st_mode & 07777 : 0;
}

class LockFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base = (dir.path() / "tmp").string();
    folder = lockFolderIn(base);
    name = (dir.path() / "passwd").string();
    fs::create_directory(base);
  }

  // In a child whose lock folder is under base: waits for the mutex of name and prints
  // "<result>|<problem>" (result 0 owned, 258 timed out, -1 failed). Returns what it printed,
  // or "child failed".
  std::string waitInChild(std::uint32_t milliseconds = 1000) {
    const std::string console = (dir.path() / "console").string();
    const int code = runForked(
        [&] {
          useLockBase(base);
          Mutex mutex(0, name.c_str(), nullptr);
          const std::uint32_t result = mutex.wait(milliseconds);
          char problem[8192] = "";
          mutex.copyLockProblem(problem, sizeof problem);
          std::printf("%d|%s", static_cast<int>(result), problem);
          if (result == WAIT_OBJECT_0) mutex.release();
          return 0;
        },
        console);
    return code == 0 ? dir.read("console") : "child failed";
  }

  // The same check through Mutex::sharedNamesUsable: "usable" or the reason.
  std::string checkInChild() {
    const std::string console = (dir.path() / "console").string();
    const int code = runForked(
        [&] {
          useLockBase(base);
          char reason[8192] = "";
          std::printf("%s", Mutex::sharedNamesUsable(reason, sizeof reason) ? "usable" : reason);
          return 0;
        },
        console);
    return code == 0 ? dir.read("console") : "child failed";
  }

  // The lock file that stands for name in folder.
  std::string lockFileIn(const std::string& lockFolder) const {
    return lockFolder + "/" +
           fs::path(NamedMutexRegistry::lockFileOf(name.c_str())).filename().string();
  }

  TempDir dir;
  std::string base;
  std::string folder;
  std::string name;
};

TEST_F(LockFolderTest, RuntimeFolderComesFirstThenAnAbsoluteTmpdirThenTmp) {
  const std::string runtime = (dir.path() / "run").string();
  fs::create_directory(runtime);
  auto choice = [&](const char* xdg, const char* tmpdir) {
    const std::string console = (dir.path() / "console").string();
    const int code = runForked(
        [&] {
          auto set = [](const char* variable, const char* value) {
            if (value != nullptr) return ::setenv(variable, value, 1);
            return ::unsetenv(variable);
          };
          set("XDG_RUNTIME_DIR", xdg);
          set("TMPDIR", tmpdir);
          std::printf("%s", fs::path(NamedMutexRegistry::lockFileOf("x")).parent_path().c_str());
          return 0;
        },
        console);
    return code == 0 ? dir.read("console") : "child failed";
  };
  EXPECT_EQ(choice(runtime.c_str(), base.c_str()), lockFolderIn(runtime));
  EXPECT_EQ(choice("relative/run", base.c_str()), folder);
  EXPECT_EQ(choice(nullptr, base.c_str()), folder);
  EXPECT_EQ(choice("", "relative/tmp"), lockFolderIn("/tmp"));
  EXPECT_EQ(choice(nullptr, nullptr), lockFolderIn("/tmp"));
}

TEST_F(LockFolderTest, FolderIsMadeForThisUserAloneAndHoldsPrivateLockFiles) {
  EXPECT_EQ(waitInChild(), "0|");
  EXPECT_EQ(modeOf(folder), 0700u);
  EXPECT_EQ(modeOf(lockFileIn(folder)), 0600u);
  EXPECT_EQ(checkInChild(), "usable");
}

// The folder is checked in full once, and again whenever it no longer looks as it did.
TEST_F(LockFolderTest, FolderOpenedUpOrRemovedAfterUseIsCheckedAgain) {
  const int code = runForked([&] {
    useLockBase(base);
    auto waitOnce = [&] {
      Mutex mutex(0, name.c_str(), nullptr);
      const std::uint32_t result = mutex.wait(1000);
      if (result == WAIT_OBJECT_0) mutex.release();
      return result;
    };
    if (waitOnce() != WAIT_OBJECT_0) return 10;
    if (::chmod(folder.c_str(), 0777) != 0 || waitOnce() != WAIT_FAILED) return 11;
    if (::chmod(folder.c_str(), 0700) != 0 || waitOnce() != WAIT_OBJECT_0) return 12;
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    if (waitOnce() != WAIT_OBJECT_0) return 13;
    return modeOf(folder) == 0700u ? 0 : 14;
  });
  EXPECT_EQ(code, 0);
}

TEST_F(LockFolderTest, MissingRuntimeFolderFailsInsteadOfFallingBack) {
  const std::string missing = (dir.path() / "missing").string();
  const std::string console = (dir.path() / "console").string();
  const int code = runForked(
      [&] {
        useLockBase(base);
        ::setenv("XDG_RUNTIME_DIR", missing.c_str(), 1);
        Mutex mutex(0, name.c_str(), nullptr);
        char problem[8192] = "";
        mutex.copyLockProblem(problem, sizeof problem);
        std::printf("%d|%s", static_cast<int>(mutex.wait(INFINITE)), problem);
        return 0;
      },
      console);
  ASSERT_EQ(code, 0);
  EXPECT_EQ(dir.read("console"), "-1|lock folder " + lockFolderIn(missing) +
                                     " cannot be made: No such file or directory");
  EXPECT_FALSE(fs::exists(folder));
}

TEST_F(LockFolderTest, FolderOpenToOthersIsRefusedAndNothingIsMadeInIt) {
  ASSERT_TRUE(fs::create_directory(folder));
  ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
  const std::string reason = "lock folder " + folder + " is open to other users (mode 0777)";
  // An infinite wait fails too, at once: an unusable lock never guards nothing in silence.
  auto start = Clock::now();
  EXPECT_EQ(waitInChild(INFINITE), "-1|" + reason);
  EXPECT_LT(millisecondsSince(start), 5000);
  EXPECT_EQ(checkInChild(), reason);
  EXPECT_TRUE(fs::is_empty(folder));
  EXPECT_EQ(modeOf(folder), 0777u);  // refused, not repaired behind the owner's back

  ASSERT_EQ(::chmod(folder.c_str(), 0750), 0);
  EXPECT_EQ(checkInChild(), "lock folder " + folder + " is open to other users (mode 0750)");
  ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
  EXPECT_EQ(waitInChild(), "0|");
}

TEST_F(LockFolderTest, FolderThatIsASymbolicLinkIsRefused) {
  const std::string elsewhere = (dir.path() / "elsewhere").string();
  ASSERT_TRUE(fs::create_directory(elsewhere));
  ASSERT_EQ(::chmod(elsewhere.c_str(), 0700), 0);
  fs::create_directory_symlink(elsewhere, folder);
  EXPECT_EQ(waitInChild(), "-1|lock folder " + folder + " is a symbolic link");
  EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST_F(LockFolderTest, FileInPlaceOfTheFolderIsRefused) {
  dir.write("tmp/" + fs::path(folder).filename().string(), "");
  EXPECT_EQ(waitInChild(), "-1|lock folder " + folder + " is not a folder");
}

TEST_F(LockFolderTest, FolderOwnedByAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to give the folder to another user";
  ASSERT_TRUE(fs::create_directory(folder));
  ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
  ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
  EXPECT_EQ(waitInChild(), "-1|lock folder " + folder + " is owned by another user");
  EXPECT_TRUE(fs::is_empty(folder));
}

TEST_F(LockFolderTest, PlantedLinkNamedLikeTheLockFileIsNotFollowed) {
  ASSERT_TRUE(fs::create_directory(folder));
  ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
  const std::string lockFile = lockFileIn(folder);
  // A link to a file that must keep its content, then one to a file that must not appear.
  dir.write("target", "keep");
  fs::create_symlink(dir.path() / "target", lockFile);
  EXPECT_EQ(waitInChild(), "-1|lock file " + lockFile + " is a symbolic link");
  EXPECT_EQ(dir.read("target"), "keep");
  fs::remove(lockFile);
  fs::create_symlink(dir.path() / "created", lockFile);
  EXPECT_EQ(waitInChild(), "-1|lock file " + lockFile + " is a symbolic link");
  EXPECT_FALSE(fs::exists(dir.path() / "created"));
}

TEST_F(LockFolderTest, LockFileOwnedByAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to give the lock file to another user";
  ASSERT_EQ(waitInChild(), "0|");
  const std::string lockFile = lockFileIn(folder);
  ASSERT_EQ(::chown(lockFile.c_str(), 65534, 65534), 0);
  EXPECT_EQ(waitInChild(), "-1|lock file " + lockFile + " is owned by another user");
}

// A stranger that keeps the lock file: the first timed wait waits it out, the next ones try
// once, and the first that finds it free ends that. A short time-out presumes nothing.
TEST_F(LockFolderTest, StrangerWhoKeepsTheLockCostsOneTimeOutThenSingleTries) {
  Mutex mutex(0, name.c_str(), nullptr);
  const std::string lockFile = NamedMutexRegistry::lockFileOf(name.c_str());
  for (int round = 0; round < 2; ++round) {
    LockHolder holder(lockFile);
    ASSERT_TRUE(holder.holding());
    EXPECT_EQ(mutex.wait(100), WAIT_TIMEOUT);
    auto start = Clock::now();
    EXPECT_EQ(mutex.wait(600), WAIT_TIMEOUT);
    EXPECT_GE(millisecondsSince(start), 590) << "round " << round;
    start = Clock::now();
    EXPECT_EQ(mutex.wait(600), WAIT_TIMEOUT);
    EXPECT_EQ(mutex.wait(600), WAIT_TIMEOUT);
    EXPECT_LT(millisecondsSince(start), 400) << "round " << round;
    ASSERT_TRUE(holder.release());
    EXPECT_EQ(mutex.wait(600), WAIT_OBJECT_0);
    EXPECT_TRUE(mutex.release());
  }
}

}  // namespace
#endif

// Named mutexes: create-or-open by name, per-thread recursive ownership, exclusion between
// threads with and without a time-out, the kernel object's lifetime, and file-path names that
// also exclude another process.
#include <gtest/gtest.h>

#ifdef _WIN32
#include "ForkedChildWindows.h"
#else
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "TempDir.h"
#include "platform/KernelObject.h"
#include "platform/Mutex.h"
#include "platform/NamedMutexRegistry.h"
#include "platform/System.h"

namespace {

using Clock = std::chrono::steady_clock;

long long millisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls a flag for at most five seconds.
bool eventually(const std::atomic<bool>& flag) {
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!flag.load()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The only way to see the base's own state: a kind that sets nothing itself.
class BareObject : public KernelObject {
 public:
  explicit BareObject(const char* objectName) : KernelObject(objectName) {}
};

// Runs a wait on another thread, where this thread's ownership does not count.
std::uint32_t waitOnOtherThread(const char* name, std::uint32_t milliseconds) {
  std::uint32_t result = 0;
  std::thread other([&] {
    Mutex mutex(0, name, nullptr);
    result = mutex.wait(milliseconds);
    if (result == WAIT_OBJECT_0) mutex.release();
  });
  other.join();
  return result;
}

class MutexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    baseline = NamedMutexRegistry::liveEntries();
    std::snprintf(name, sizeof name, "%08x::%s", currentProcessId(),
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  void TearDown() override { EXPECT_EQ(NamedMutexRegistry::liveEntries(), baseline); }

  char name[128];
  int baseline = 0;
};

TEST_F(MutexTest, BaseHoldsNoHandleAndInvalidHandleCodeUntilAConstructorSetsThem) {
  char text[] = "bare";
  BareObject object(text);
  text[0] = 'X';
  EXPECT_EQ(object.getHandle(), nullptr);
  EXPECT_EQ(object.getLastError(), ERROR_INVALID_HANDLE);
  ASSERT_NE(object.name, nullptr);
  EXPECT_STREQ(object.name, "bare");
  BareObject unnamed(nullptr);
  EXPECT_EQ(unnamed.name, nullptr);
}

TEST_F(MutexTest, FirstWrapperOfANameCreatesAndLaterOnesOpenTheSameMutex) {
  {
    Mutex first(0, name, nullptr);
    EXPECT_EQ(first.getLastError(), ERROR_SUCCESS);
    Mutex second(0, name, nullptr);
    EXPECT_EQ(second.getLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(second.getHandle(), first.getHandle());

    ASSERT_EQ(first.wait(INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(waitOnOtherThread(name, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(first.release());
  }
  Mutex again(0, name, nullptr);
  EXPECT_EQ(again.getLastError(), ERROR_SUCCESS);
}

TEST_F(MutexTest, KernelObjectGoesWithItsLastWrapper) {
  auto* first = new Mutex(0, name, nullptr);
  auto* second = new Mutex(0, name, nullptr);
  EXPECT_EQ(NamedMutexRegistry::liveEntries(), baseline + 1);
  delete static_cast<KernelObject*>(first);
  EXPECT_EQ(NamedMutexRegistry::liveEntries(), baseline + 1);
  delete static_cast<KernelObject*>(second);
  EXPECT_EQ(NamedMutexRegistry::liveEntries(), baseline);
}

TEST_F(MutexTest, NameBufferMayBeReusedOnceTheWrapperIsBuilt) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "%s", name);
  Mutex mutex(0, buffer, nullptr);
  std::snprintf(buffer, sizeof buffer, "%08x::somethingElse", currentProcessId());
  Mutex sameName(0, name, nullptr);
  EXPECT_EQ(sameName.getLastError(), ERROR_ALREADY_EXISTS);
  char copy[128];
  EXPECT_STREQ(mutex.copyName(copy, sizeof copy), name);
}

TEST_F(MutexTest, UnnamedMutexesAreNewAndNotShared) {
  Mutex first(0, nullptr, nullptr);
  Mutex second(0, nullptr, nullptr);
  EXPECT_EQ(first.getLastError(), ERROR_SUCCESS);
  EXPECT_EQ(second.getLastError(), ERROR_SUCCESS);
  EXPECT_NE(first.getHandle(), second.getHandle());
  EXPECT_EQ(NamedMutexRegistry::liveEntries(), baseline + 2);

  ASSERT_EQ(first.wait(INFINITE), WAIT_OBJECT_0);
  std::uint32_t result = 0;
  std::thread other([&] {
    result = second.wait(0);
    if (result == WAIT_OBJECT_0) second.release();
  });
  other.join();
  EXPECT_EQ(result, WAIT_OBJECT_0);
  EXPECT_TRUE(first.release());
}

TEST_F(MutexTest, OwnerWaitsAgainWithoutBlockingAndReleasesOncePerWait) {
  Mutex mutex(0, name, nullptr);
  Mutex throughAnotherWrapper(0, name, nullptr);
  ASSERT_EQ(mutex.wait(INFINITE), WAIT_OBJECT_0);
  // Waits that would block (a time-out of 0 fails at once) would hang on an infinite one.
  ASSERT_EQ(mutex.wait(0), WAIT_OBJECT_0);
  ASSERT_EQ(throughAnotherWrapper.wait(0), WAIT_OBJECT_0);

  EXPECT_TRUE(mutex.release());
  EXPECT_TRUE(throughAnotherWrapper.release());
  EXPECT_EQ(waitOnOtherThread(name, 0), WAIT_TIMEOUT);  // one level still held
  EXPECT_TRUE(mutex.release());
  EXPECT_EQ(waitOnOtherThread(name, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(mutex.release());  // more releases than waits
}

TEST_F(MutexTest, InitialOwnerOwnsItWhenTheConstructorReturns) {
  Mutex mutex(1, name, nullptr);
  EXPECT_EQ(waitOnOtherThread(name, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(mutex.release());
  EXPECT_EQ(waitOnOtherThread(name, 0), WAIT_OBJECT_0);
}

TEST_F(MutexTest, ReleaseByAThreadThatDoesNotOwnItFails) {
  Mutex mutex(0, name, nullptr);
  EXPECT_FALSE(mutex.release());  // nobody owns it
  ASSERT_EQ(mutex.wait(INFINITE), WAIT_OBJECT_0);
  Bool16 releasedByOther = 1;
  std::thread other([&] {
    Mutex sameName(0, name, nullptr);
    releasedByOther = sameName.release();
  });
  other.join();
  EXPECT_FALSE(releasedByOther);
  EXPECT_EQ(waitOnOtherThread(name, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(mutex.release());
}

TEST_F(MutexTest, SecondThreadBlocksUntilTheOwnerReleases) {
  Mutex mutex(0, name, nullptr);
  ASSERT_EQ(mutex.wait(INFINITE), WAIT_OBJECT_0);
  std::atomic<bool> waiting{false};
  std::atomic<bool> released{false};
  std::atomic<bool> ownedBeforeRelease{false};
  std::uint32_t result = WAIT_FAILED;
  std::thread other([&] {
    Mutex sameName(0, name, nullptr);
    waiting = true;
    result = sameName.wait(INFINITE);
    ownedBeforeRelease = !released.load();
    sameName.release();
  });
  ASSERT_TRUE(eventually(waiting));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // let it reach the wait
  released = true;
  EXPECT_TRUE(mutex.release());
  other.join();
  EXPECT_EQ(result, WAIT_OBJECT_0);
  EXPECT_FALSE(ownedBeforeRelease);
}

TEST_F(MutexTest, TimedWaitOnAHeldMutexTimesOutAfterAboutThatLong) {
  std::atomic<bool> held{false};
  std::atomic<bool> done{false};
  std::thread owner([&] {
    Mutex mutex(0, name, nullptr);
    mutex.wait(INFINITE);
    held = true;
    while (!done.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    mutex.release();
  });
  ASSERT_TRUE(eventually(held));
  Mutex mutex(0, name, nullptr);

  auto start = Clock::now();
  EXPECT_EQ(mutex.wait(0), WAIT_TIMEOUT);
  EXPECT_LT(millisecondsSince(start), 50);

  start = Clock::now();
  EXPECT_EQ(mutex.wait(100), WAIT_TIMEOUT);
  long long waited = millisecondsSince(start);
  EXPECT_GE(waited, 95);
  EXPECT_LT(waited, 1000);
  EXPECT_EQ(WAIT_TIMEOUT, 258u);

  done = true;
  owner.join();
  EXPECT_EQ(mutex.wait(1000), WAIT_OBJECT_0);
  EXPECT_TRUE(mutex.release());
}

TEST_F(MutexTest, OpenConstructorSharesAnExistingMutex) {
  Mutex created(0, name, nullptr);
  Mutex opened(name, 0, 0x001F0001u);
  EXPECT_EQ(opened.getLastError(), ERROR_SUCCESS);
  EXPECT_EQ(opened.getHandle(), created.getHandle());
  ASSERT_EQ(opened.wait(INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(waitOnOtherThread(name, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(opened.release());
}

TEST_F(MutexTest, OpenConstructorFailsForANameNobodyMade) {
  Mutex opened(name, 0, 0x001F0001u);
  EXPECT_EQ(opened.getHandle(), nullptr);
  EXPECT_EQ(opened.getLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(opened.wait(INFINITE), WAIT_FAILED);  // at once, not a block
  EXPECT_EQ(WAIT_FAILED, 0xFFFFFFFFu);
  EXPECT_FALSE(opened.release());
  // A failed open leaves no entry behind; the next create is the first of its name.
  EXPECT_EQ(NamedMutexRegistry::liveEntries(), baseline);
  Mutex created(0, name, nullptr);
  EXPECT_EQ(created.getLastError(), ERROR_SUCCESS);
}

TEST_F(MutexTest, CopyNameCutsPadsAndAlwaysTerminates) {
  Mutex mutex(0, "abcdef", nullptr);
  char buffer[8];

  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(mutex.copyName(buffer, 1), buffer);
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string("\0xxxxxxx", 8));

  std::memset(buffer, 'x', sizeof buffer);
  mutex.copyName(buffer, 4);
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string("abc\0xxxx", 8));

  std::memset(buffer, 'x', sizeof buffer);
  mutex.copyName(buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string("abcdef\0\0", 8));
}

TEST_F(MutexTest, CopyNameOfAnUnnamedMutexIsNullAndLeavesTheBuffer) {
  Mutex mutex(0, nullptr, nullptr);
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(mutex.copyName(buffer, sizeof buffer), nullptr);
  EXPECT_EQ(std::string(buffer, sizeof buffer), "xxxxxxxx");
}

#ifdef _WIN32
// File mutexes are named by a path alone and exclude other processes as well. Windows cannot
// fork: the child is this program run again for the same test (see ForkedChildWindows.h). It
// runs the test up to fork() on a path of its own, so that what the parent did before the fork
// costs it nothing, and the child's part on the parent's path.
class FileMutexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ForkedChild::isChild()) {
      path = (dir.path() / "before-the-fork").string();
      toChild[0] = ForkedChild::childReadEnd();
      toParent[1] = ForkedChild::childWriteEnd();
      return;
    }
    path = (dir.path() / "connectionlog").string();
    ASSERT_TRUE(ForkedChild::openPipes(toChild, toParent));
  }
  void TearDown() override {
    for (int* end : {&toChild[0], &toChild[1], &toParent[0], &toParent[1]}) {
      ForkedChild::closeEnd(*end);
    }
    ForkedChild::kill(child);  // a test that failed before reaping
  }

  // Runs body in the child, which ends with its result as the exit code.
  void fork(int (*body)(FileMutexTest&)) {
    if (ForkedChild::isChild()) {
      path = ForkedChild::handedText();
      int result = body(*this);
      std::error_code ignored;
      std::filesystem::current_path(std::filesystem::temp_directory_path(), ignored);
      std::filesystem::remove_all(dir.path(), ignored);
      ForkedChild::exitChild(result);
    }
    child = ForkedChild::start(path, toChild, toParent);
    ASSERT_NE(child, nullptr);
  }

  // One byte through a pipe; reads wait at most five seconds.
  static bool sendByte(int end) { return ForkedChild::sendByte(end); }
  static bool readByte(int end) { return ForkedChild::readByte(end, std::chrono::seconds(5)); }

  // The child's exit code, waiting at most ten seconds; -1 when it did not end normally.
  int reap() { return ForkedChild::reap(child, std::chrono::seconds(10)); }

  TempDir dir;

 public:  // what a child's body reads
  std::string path;
  int toChild[2] = {-1, -1};
  int toParent[2] = {-1, -1};
  void* child = nullptr;
};

#else
// File mutexes are named by a path alone and exclude other processes as well. The children are
// forked while only this thread runs; they report through their exit code.
class FileMutexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = (dir.path() / "connectionlog").string();
    ASSERT_EQ(::pipe(toChild), 0);
    ASSERT_EQ(::pipe(toParent), 0);
  }
  void TearDown() override {
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) {
      if (fd >= 0) ::close(fd);
    }
    if (child > 0) {  // a test that failed before reaping
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
    }
  }

  // Forks a child that runs body and ends with its result as the exit code.
  void fork(int (*body)(FileMutexTest&)) {
    child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(toChild[1]);
      ::close(toParent[0]);
      ::_exit(body(*this));
    }
    ::close(toChild[0]);
    ::close(toParent[1]);
    toChild[0] = toParent[1] = -1;
  }

  // One byte through a pipe; reads wait at most five seconds.
  static bool sendByte(int fd) { return ::write(fd, "x", 1) == 1; }
  static bool readByte(int fd) {
    pollfd entry{fd, POLLIN, 0};
    char byte;
    return ::poll(&entry, 1, 5000) == 1 && ::read(fd, &byte, 1) == 1;
  }

  // The child's exit code, waiting at most ten seconds; -1 when it did not end normally.
  int reap() {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
      if (Clock::now() >= deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    child = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  TempDir dir;

 public:  // what a child's body reads
  std::string path;
  int toChild[2] = {-1, -1};
  int toParent[2] = {-1, -1};
  pid_t child = -1;
};

#endif

TEST_F(FileMutexTest, SamePathForTwoFilesIsOneMutexThatItsOwnerMayTakeAgain) {
  Mutex connectionLog(0, path.c_str(), nullptr);
  Mutex errorLog(0, path.c_str(), nullptr);
  EXPECT_EQ(errorLog.getLastError(), ERROR_ALREADY_EXISTS);
  ASSERT_EQ(connectionLog.wait(INFINITE), WAIT_OBJECT_0);
  ASSERT_EQ(errorLog.wait(0), WAIT_OBJECT_0);
  EXPECT_TRUE(errorLog.release());
  EXPECT_EQ(waitOnOtherThread(path.c_str(), 0), WAIT_TIMEOUT);
  EXPECT_TRUE(connectionLog.release());
  EXPECT_EQ(waitOnOtherThread(path.c_str(), 0), WAIT_OBJECT_0);
}

TEST_F(FileMutexTest, ExcludesAChildProcessWhileTheParentHoldsIt) {
  Mutex mutex(0, path.c_str(), nullptr);
  ASSERT_EQ(mutex.wait(INFINITE), WAIT_OBJECT_0);
  fork([](FileMutexTest& test) {
    Mutex sameName(0, test.path.c_str(), nullptr);
#ifdef _WIN32
    // The kernel object is the machine's: the child opens the one its parent made.
    if (sameName.getLastError() != ERROR_ALREADY_EXISTS) return 10;
#else
    if (sameName.getLastError() != ERROR_SUCCESS) return 10;  // the parent's table is not ours
#endif
    if (sameName.wait(0) != WAIT_TIMEOUT) return 11;
    if (sameName.wait(100) != WAIT_TIMEOUT) return 12;
    if (!sendByte(test.toParent[1]) || !readByte(test.toChild[0])) return 13;
    if (sameName.wait(5000) != WAIT_OBJECT_0) return 14;
    if (!sameName.release()) return 15;
    return 0;
  });
  ASSERT_TRUE(readByte(toParent[0])) << "the child ended early with " << reap();
  EXPECT_TRUE(mutex.release());
  ASSERT_TRUE(sendByte(toChild[1]));
  EXPECT_EQ(reap(), 0);
  // The child's release freed it for this process too.
  EXPECT_EQ(mutex.wait(0), WAIT_OBJECT_0);
  EXPECT_TRUE(mutex.release());
}

TEST_F(FileMutexTest, ProcessThatEndsHoldingItLetsTheNextOwnerIn) {
  fork([](FileMutexTest& test) {
    Mutex mutex(0, test.path.c_str(), nullptr);
    if (mutex.wait(INFINITE) != WAIT_OBJECT_0) return 10;
    if (!sendByte(test.toParent[1]) || !readByte(test.toChild[0])) return 11;
    return 0;  // ends still owning it
  });
  ASSERT_TRUE(readByte(toParent[0])) << "the child ended early with " << reap();
  Mutex mutex(0, path.c_str(), nullptr);
  EXPECT_EQ(mutex.wait(0), WAIT_TIMEOUT);
  EXPECT_EQ(mutex.wait(100), WAIT_TIMEOUT);
  // The failed waits left nothing owned in this process.
  EXPECT_EQ(waitOnOtherThread(path.c_str(), 0), WAIT_TIMEOUT);
  ASSERT_TRUE(sendByte(toChild[1]));
  EXPECT_EQ(reap(), 0);
  EXPECT_EQ(mutex.wait(5000), WAIT_OBJECT_0);
  EXPECT_TRUE(mutex.release());
}

// A thread that gets the mutex inside this process only to find another process holding it
// must not start its time-out over again.
TEST_F(FileMutexTest, TimeOutCoversBothThreadsAndProcesses) {
  fork([](FileMutexTest& test) {
    Mutex mutex(0, test.path.c_str(), nullptr);
    if (mutex.wait(INFINITE) != WAIT_OBJECT_0) return 10;
    if (!sendByte(test.toParent[1]) || !readByte(test.toChild[0])) return 11;
    return 0;
  });
  ASSERT_TRUE(readByte(toParent[0])) << "the child ended early with " << reap();
  std::atomic<bool> started{false};
  std::thread first([&] {
    Mutex mutex(0, path.c_str(), nullptr);
    started = true;
    mutex.wait(400);  // holds this process's side while it waits for the child's
  });
  ASSERT_TRUE(eventually(started));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Mutex mutex(0, path.c_str(), nullptr);
  auto start = Clock::now();
  EXPECT_EQ(mutex.wait(500), WAIT_TIMEOUT);
  long long waited = millisecondsSince(start);
  first.join();
  EXPECT_GE(waited, 490);
  EXPECT_LT(waited, 800);
  ASSERT_TRUE(sendByte(toChild[1]));
  EXPECT_EQ(reap(), 0);
}

}  // namespace

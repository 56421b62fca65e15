#include "platform/NamedMutexRegistry.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

namespace {

struct Entry {
  std::string name;
  bool named = false;
  int handles = 0;  // guarded by the table lock
  // Ownership: the thread that holds `ownership` is the owner, and only it touches depth.
  std::timed_mutex ownership;
  std::atomic<std::thread::id> owner;
  unsigned depth = 0;
  // Names shared with other processes: the advisory lock file, or -1 with the reason in
  // problem. Both are set when the entry is made; a failed lock of the file later rewrites
  // problem, hence its own lock.
  bool shared = false;
  int lockFd = -1;
  std::string lockPath;
  std::mutex problemLock;
  std::string problem;
};

std::mutex& tableLock() {
  static std::mutex lock;
  return lock;
}

std::unordered_map<std::string, Entry*>& table();
std::string& cachedPrefix();
std::string& cachedFolder();
std::unordered_map<std::string, std::chrono::steady_clock::time_point>& presumedHeld();

// A forked child is a process of its own: it owns none of its parent's mutexes, and it must not
// touch the parent's lock files (an unlock through an inherited descriptor frees the parent's
// lock). The entries that inherited handles point to stay alive, detached from every name.
void lockTableForFork() { tableLock().lock(); }
void unlockTableInParent() { tableLock().unlock(); }
void detachEntriesInChild() {
  for (auto& named : table()) {
    Entry* entry = named.second;
    if (entry->lockFd >= 0) ::close(entry->lockFd);
    entry->lockFd = -1;
    entry->named = false;
  }
  table().clear();
  cachedPrefix().clear();
  cachedFolder().clear();
  presumedHeld().clear();
  tableLock().unlock();
}

std::unordered_map<std::string, Entry*>& table() {
  static auto* entries = [] {
    ::pthread_atfork(lockTableForFork, unlockTableInParent, detachEntriesInChild);
    return new std::unordered_map<std::string, Entry*>();
  }();
  return *entries;
}

int& liveCount() {
  static int count = 0;
  return count;
}

// This process's prefix, formatted once; a forked child formats its own (see the fork
// handlers above).
std::string& cachedPrefix() {
  static std::string prefix;
  return prefix;
}

const std::string& processPrefix() {
  std::string& prefix = cachedPrefix();
  if (prefix.empty()) {
    char text[32];
    std::snprintf(text, sizeof text, "%08x::", static_cast<unsigned>(::getpid()));
    prefix = text;
  }
  return prefix;
}

// The text of an errno value; strerror_r comes in two kinds, and either is picked up here.
[[maybe_unused]] const char* errorText(int, const char* buffer) { return buffer; }
[[maybe_unused]] const char* errorText(const char* text, const char*) { return text; }

std::string describe(int code) {
  char buffer[128] = "";
  return errorText(::strerror_r(code, buffer, sizeof buffer), buffer);
}

// A reason: the format (one of the texts below) takes the path, then the detail if it has a
// second %s.
std::string formatted(const char* format, const std::string& path,
                      const std::string& detail = std::string()) {
  std::string text(path.size() + detail.size() + 96, '\0');
  int length = std::snprintf(text.data(), text.size(), format, path.c_str(), detail.c_str());
  text.resize(length > 0 ? std::min(static_cast<std::size_t>(length), text.size() - 1) : 0);
  return text;
}

bool isAbsolute(const char* path) { return path != nullptr && path[0] == '/'; }

// The folder of this process's lock files, chosen when first needed (under the table lock);
// a forked child chooses its own (see the fork handlers above). A user's own runtime folder
// comes first: nobody else can make a folder in it.
std::string& cachedFolder() {
  static std::string folder;
  return folder;
}

const std::string& lockFolder() {
  std::string& folder = cachedFolder();
  if (folder.empty()) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const char* temporary = std::getenv("TMPDIR");
    const char* base = isAbsolute(runtime) ? runtime : isAbsolute(temporary) ? temporary : "/tmp";
    folder = std::string(base) + "/msgserver-locks-" +
             std::to_string(static_cast<unsigned long>(::geteuid()));
  }
  return folder;
}

// Makes the folder when missing (or removed since) and checks that it is a real folder of the
// effective user that no one else may enter: a folder that another user made first could be
// used to hold our locks or to plant links. Checked again before every lock file is opened, so
// a folder opened up or replaced since is noticed. (Its parent must not let others rename it
// meanwhile: /tmp is sticky, and a runtime folder is the user's own.) False with the reason in
// *problem.
bool lockFolderUsable(std::string* problem) {
  const std::string& folder = lockFolder();
  struct stat seen;
  int found = ::lstat(folder.c_str(), &seen);
  if (found != 0 && errno == ENOENT) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      *problem = formatted("lock folder %s cannot be made: %s", folder, describe(errno));
      return false;
    }
    found = ::lstat(folder.c_str(), &seen);
  }
  if (found != 0) {
    *problem = formatted("lock folder %s cannot be checked: %s", folder, describe(errno));
    return false;
  }
  if (S_ISLNK(seen.st_mode)) {
    *problem = formatted("lock folder %s is a symbolic link", folder);
    return false;
  }
  if (!S_ISDIR(seen.st_mode)) {
    *problem = formatted("lock folder %s is not a folder", folder);
    return false;
  }
  if (seen.st_uid != ::geteuid()) {
    *problem = formatted("lock folder %s is owned by another user", folder);
    return false;
  }
  if ((seen.st_mode & 077) != 0) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(seen.st_mode & 07777));
    *problem = formatted("lock folder %s is open to other users (mode %s)", folder, mode);
    return false;
  }
  return true;
}

// The lock file's name in the folder: the same name gives the same file in every process of
// this user, wherever its working directory is.
std::string lockFileName(const std::string& name) {
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
  char file[32];
  std::snprintf(file, sizeof file, "%016llx.lock", static_cast<unsigned long long>(hash));
  return file;
}

// Opens the entry's lock file, made when missing; on failure lockFd stays -1 and problem says
// why. Never follows a link and never uses a file that is not a regular file of this user.
void openLockFile(Entry* entry) {
  if (!lockFolderUsable(&entry->problem)) return;
  entry->lockPath = lockFolder() + "/" + lockFileName(entry->name);
  int fd = ::open(entry->lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  const int code = errno;
  if (fd < 0) {
    entry->problem = code == ELOOP
                         ? formatted("lock file %s is a symbolic link", entry->lockPath)
                         : formatted("lock file %s cannot be opened: %s", entry->lockPath,
                                     describe(code));
    return;
  }
  struct stat seen;
  if (::fstat(fd, &seen) != 0) {
    entry->problem = formatted("lock file %s cannot be checked: %s", entry->lockPath,
                               describe(errno));
  } else if (!S_ISREG(seen.st_mode)) {
    entry->problem = formatted("lock file %s is not a regular file", entry->lockPath);
  } else if (seen.st_uid != ::geteuid()) {
    entry->problem = formatted("lock file %s is owned by another user", entry->lockPath);
  } else {
    entry->lockFd = fd;
    return;
  }
  ::close(fd);
}

enum class LockFileWait { Taken, TimedOut, Failed };

LockFileWait lockFileUntil(int fd, std::uint32_t milliseconds, int* code) {
  if (milliseconds == INFINITE) {
    while (::flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        *code = errno;
        return LockFileWait::Failed;
      }
    }
    return LockFileWait::Taken;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return LockFileWait::Taken;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      *code = errno;
      return LockFileWait::Failed;
    }
    if (std::chrono::steady_clock::now() >= deadline) return LockFileWait::TimedOut;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Lock files that another process kept through a long wait, by name, with when that was last
// seen; under the table lock. A normal holder keeps a file's lock for milliseconds.
constexpr auto kPresumeHeldAfter = std::chrono::milliseconds(500);
constexpr auto kPresumedHeldFor = std::chrono::seconds(10);

std::unordered_map<std::string, std::chrono::steady_clock::time_point>& presumedHeld() {
  static auto* names =
      new std::unordered_map<std::string, std::chrono::steady_clock::time_point>();
  return *names;
}

bool isPresumedHeld(const std::string& name) {
  std::lock_guard<std::mutex> guard(tableLock());
  auto found = presumedHeld().find(name);
  if (found == presumedHeld().end()) return false;
  if (std::chrono::steady_clock::now() - found->second < kPresumedHeldFor) return true;
  presumedHeld().erase(found);
  return false;
}

void presumeHeld(const std::string& name, bool held) {
  std::lock_guard<std::mutex> guard(tableLock());
  if (held) {
    presumedHeld()[name] = std::chrono::steady_clock::now();
  } else {
    presumedHeld().erase(name);
  }
}

Entry* toEntry(HANDLE handle) { return static_cast<Entry*>(handle); }

#if defined(__SANITIZE_THREAD__)
#define MSGSERVER_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MSGSERVER_THREAD_SANITIZER 1
#endif
#endif

// try_lock_for waits in pthread_mutex_clocklock, which the ThreadSanitizer of GCC 12 does not
// intercept: it misses the lock, reports the unlock as one of an unlocked mutex, and loses the
// ordering the mutex gives. Under it, a timed wait polls try_lock, which it sees; every other
// build keeps the blocking wait.
bool lockWithin(std::timed_mutex& mutex, std::chrono::milliseconds time) {
#ifdef MSGSERVER_THREAD_SANITIZER
  const auto deadline = std::chrono::steady_clock::now() + time;
  for (;;) {
    if (mutex.try_lock()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
#else
  return mutex.try_lock_for(time);
#endif
}

}  // namespace

HANDLE NamedMutexRegistry::create(const char* name, bool initialOwner, std::uint32_t* error) {
  Entry* entry = nullptr;
  *error = ERROR_SUCCESS;
  {
    std::lock_guard<std::mutex> guard(tableLock());
    if (name != nullptr) {
      auto found = table().find(name);
      if (found != table().end()) {
        entry = found->second;
        *error = ERROR_ALREADY_EXISTS;
      }
    }
    if (entry == nullptr) {
      entry = new Entry();
      ++liveCount();
      if (name != nullptr) {
        entry->name = name;
        entry->named = true;
        if (entry->name.compare(0, processPrefix().size(), processPrefix()) != 0) {
          entry->shared = true;
          openLockFile(entry);
        }
        table().emplace(entry->name, entry);
      }
    }
    ++entry->handles;
  }
  if (initialOwner) wait(entry, INFINITE);
  return entry;
}

HANDLE NamedMutexRegistry::open(const char* name, std::uint32_t* error) {
  std::lock_guard<std::mutex> guard(tableLock());
  auto found = table().find(name);
  if (found == table().end()) {
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  ++found->second->handles;
  *error = ERROR_SUCCESS;
  return found->second;
}

std::uint32_t NamedMutexRegistry::wait(HANDLE handle, std::uint32_t milliseconds) {
  Entry* entry = toEntry(handle);
  const std::thread::id self = std::this_thread::get_id();
  if (entry->owner.load(std::memory_order_relaxed) == self) {
    ++entry->depth;
    return WAIT_OBJECT_0;
  }
  // The clock is read only for a wait that is bounded: the hot paths wait without a bound.
  const bool bounded = milliseconds != INFINITE;
  const auto started =
      bounded ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
  if (!bounded) {
    entry->ownership.lock();
  } else if (!lockWithin(entry->ownership, std::chrono::milliseconds(milliseconds))) {
    return WAIT_TIMEOUT;
  }
  entry->owner.store(self, std::memory_order_relaxed);
  entry->depth = 1;
  if (!entry->shared) return WAIT_OBJECT_0;

  // Other processes: hold the lock file while owned. The time-out covers both waits: what the
  // first used is not granted again.
  LockFileWait outcome = LockFileWait::Failed;
  if (entry->lockFd >= 0) {
    std::uint32_t remaining = milliseconds;
    const bool timed = milliseconds != INFINITE;
    const bool presumed = timed && isPresumedHeld(entry->name);
    if (presumed) {
      remaining = 0;
    } else if (timed) {
      auto used = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - started);
      remaining = used.count() < milliseconds
                      ? milliseconds - static_cast<std::uint32_t>(used.count())
                      : 0;
    }
    int code = 0;
    outcome = lockFileUntil(entry->lockFd, remaining, &code);
    if (outcome == LockFileWait::Taken) {
      if (presumed) presumeHeld(entry->name, false);
      return WAIT_OBJECT_0;
    }
    if (outcome == LockFileWait::TimedOut &&
        (presumed || std::chrono::milliseconds(remaining) >= kPresumeHeldAfter)) {
      presumeHeld(entry->name, true);
    }
    if (outcome == LockFileWait::Failed) {
      std::lock_guard<std::mutex> guard(entry->problemLock);
      entry->problem = formatted("lock file %s cannot be locked: %s", entry->lockPath,
                                 describe(code));
    }
  }
  entry->depth = 0;
  entry->owner.store(std::thread::id(), std::memory_order_relaxed);
  entry->ownership.unlock();
  return outcome == LockFileWait::TimedOut ? WAIT_TIMEOUT : WAIT_FAILED;
}

bool NamedMutexRegistry::release(HANDLE handle) {
  Entry* entry = toEntry(handle);
  if (entry->owner.load(std::memory_order_relaxed) != std::this_thread::get_id()) return false;
  if (--entry->depth == 0) {
    if (entry->lockFd >= 0) ::flock(entry->lockFd, LOCK_UN);
    entry->owner.store(std::thread::id(), std::memory_order_relaxed);
    entry->ownership.unlock();
  }
  return true;
}

void NamedMutexRegistry::closeHandle(HANDLE handle) {
  Entry* entry = toEntry(handle);
  {
    std::lock_guard<std::mutex> guard(tableLock());
    if (--entry->handles > 0) return;
    if (entry->named) table().erase(entry->name);
    --liveCount();
  }
  if (entry->lockFd >= 0) ::close(entry->lockFd);
  delete entry;
}

bool NamedMutexRegistry::lockProblem(HANDLE handle, char* buffer, std::size_t size) {
  Entry* entry = toEntry(handle);
  if (entry == nullptr || buffer == nullptr || size == 0) return false;
  std::lock_guard<std::mutex> guard(entry->problemLock);
  if (entry->problem.empty()) return false;
  std::snprintf(buffer, size, "%s", entry->problem.c_str());
  return true;
}

bool NamedMutexRegistry::checkLockFolder(char* buffer, std::size_t size) {
  std::lock_guard<std::mutex> guard(tableLock());
  table();  // the fork handlers are in place before a folder is chosen
  std::string problem;
  if (lockFolderUsable(&problem)) return true;
  if (buffer != nullptr && size > 0) std::snprintf(buffer, size, "%s", problem.c_str());
  return false;
}

std::string NamedMutexRegistry::lockFileOf(const char* name) {
  std::lock_guard<std::mutex> guard(tableLock());
  table();
  return lockFolder() + "/" + lockFileName(name != nullptr ? name : "");
}

int NamedMutexRegistry::liveEntries() {
  std::lock_guard<std::mutex> guard(tableLock());
  return liveCount();
}

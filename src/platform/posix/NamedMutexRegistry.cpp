#include "platform/NamedMutexRegistry.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <atomic>
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
  int lockFd = -1;  // advisory lock file for names shared with other processes
};

std::mutex& tableLock() {
  static std::mutex lock;
  return lock;
}

std::unordered_map<std::string, Entry*>& table();
std::string& cachedPrefix();

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

// A lock file per name, in a private folder: the same name gives the same file in every
// process of this user, wherever its working directory is.
int openLockFile(const std::string& name) {
  static const std::string folder = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string path = (tmp != nullptr && tmp[0] != '\0') ? tmp : "/tmp";
    return path + "/msgserver-locks-" + std::to_string(static_cast<unsigned long>(::getuid()));
  }();
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
  char file[32];
  std::snprintf(file, sizeof file, "/%016llx.lock", static_cast<unsigned long long>(hash));
  const std::string path = folder + file;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0 || errno != ENOENT) return fd;
  // The folder is made when first needed (and again should someone remove it).
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return -1;
  return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

bool lockFileUntil(int fd, std::uint32_t milliseconds) {
  if (milliseconds == INFINITE) {
    while (::flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) return true;  // a lock file that fails guards nothing more
    }
    return true;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
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
          entry->lockFd = openLockFile(entry->name);
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
  const auto started = std::chrono::steady_clock::now();
  if (milliseconds == INFINITE) {
    entry->ownership.lock();
  } else if (!lockWithin(entry->ownership, std::chrono::milliseconds(milliseconds))) {
    return WAIT_TIMEOUT;
  }
  entry->owner.store(self, std::memory_order_relaxed);
  entry->depth = 1;
  if (entry->lockFd < 0) return WAIT_OBJECT_0;

  // Other processes: hold the lock file while owned. The time-out covers both waits: what the
  // first used is not granted again.
  std::uint32_t remaining = milliseconds;
  if (milliseconds != INFINITE) {
    auto used = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    remaining = used.count() < milliseconds ? milliseconds - static_cast<std::uint32_t>(used.count())
                                            : 0;
  }
  if (lockFileUntil(entry->lockFd, remaining)) return WAIT_OBJECT_0;
  entry->depth = 0;
  entry->owner.store(std::thread::id(), std::memory_order_relaxed);
  entry->ownership.unlock();
  return WAIT_TIMEOUT;
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

int NamedMutexRegistry::liveEntries() {
  std::lock_guard<std::mutex> guard(tableLock());
  return liveCount();
}

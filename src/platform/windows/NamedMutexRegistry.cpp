#include "platform/windows/WindowsApi.h"

#include "platform/NamedMutexRegistry.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>

// A handle is an entry of this table; every wrapper of one name shares its entry (a count of
// handles), so a name costs one look-up however many wrappers come and go.
//
// A name shared with other processes (any name that is not one of this process's own,
// "%08x::...") is a kernel mutex, opened once per entry: its exclusion of the other processes
// comes with no more work. Kernel object names may not contain a backslash, and are limited to
// MAX_PATH characters; a data file's path may well have either. Such a name would leave the
// file unguarded, so every shared name is replaced by one derived from it: a fixed prefix and a
// 64-bit hash of the whole name, the same in every process that uses the same text.
//
// Unnamed mutexes and this process's own names are kept in the process: each wait and release
// of a kernel mutex is a system call, and the send and users locks are taken several times for
// every packet routed.

namespace {

struct Entry {
  std::string name;  // empty for an unnamed mutex
  bool named = false;
  int handles = 0;          // guarded by the table lock
  HANDLE kernel = nullptr;  // shared names only
  // In-process ownership: the thread that holds `ownership` is the owner, and only it touches
  // depth.
  std::timed_mutex ownership;
  std::atomic<DWORD> owner{0};
  unsigned depth = 0;
};

std::mutex& tableLock() {
  static std::mutex lock;
  return lock;
}

std::unordered_map<std::string, Entry*>& byName() {
  static auto* entries = new std::unordered_map<std::string, Entry*>();
  return *entries;
}

int& liveCount() {
  static int count = 0;
  return count;
}

const std::string& processPrefix() {
  static const std::string prefix = [] {
    char text[32];
    std::snprintf(text, sizeof text, "%08x::", static_cast<unsigned>(::GetCurrentProcessId()));
    return std::string(text);
  }();
  return prefix;
}

bool isOwnName(const char* name) {
  return std::string(name).compare(0, processPrefix().size(), processPrefix()) == 0;
}

std::string kernelNameOf(const std::string& name) {
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
  char text[64];
  std::snprintf(text, sizeof text, "msgserver-file-%016llx", static_cast<unsigned long long>(hash));
  return text;
}

Entry* toEntry(HANDLE handle) { return static_cast<Entry*>(handle); }

}  // namespace

HANDLE NamedMutexRegistry::create(const char* name, bool initialOwner, std::uint32_t* error) {
  Entry* entry = nullptr;
  bool existed = false;
  {
    std::lock_guard<std::mutex> guard(tableLock());
    if (name != nullptr) {
      auto found = byName().find(name);
      if (found != byName().end()) {
        entry = found->second;
        existed = true;
      }
    }
    if (entry == nullptr) {
      HANDLE kernel = nullptr;
      if (name != nullptr && !isOwnName(name)) {
        kernel = ::CreateMutexA(nullptr, FALSE, kernelNameOf(name).c_str());
        const DWORD code = ::GetLastError();
        if (kernel == nullptr) {
          *error = code;
          return nullptr;
        }
        // Another process made it first: the name existed.
        existed = code == ERROR_ALREADY_EXISTS;
      }
      entry = new Entry();
      entry->kernel = kernel;
      ++liveCount();
      if (name != nullptr) {
        entry->name = name;
        entry->named = true;
        byName().emplace(entry->name, entry);
      }
    }
    ++entry->handles;
  }
  *error = existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
  if (initialOwner) wait(entry, INFINITE);
  return entry;
}

HANDLE NamedMutexRegistry::open(const char* name, std::uint32_t* error) {
  std::lock_guard<std::mutex> guard(tableLock());
  auto found = byName().find(name);
  if (found != byName().end()) {
    ++found->second->handles;
    *error = ERROR_SUCCESS;
    return found->second;
  }
  if (isOwnName(name)) {
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  HANDLE kernel = ::OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kernelNameOf(name).c_str());
  if (kernel == nullptr) {
    *error = ::GetLastError();
    return nullptr;
  }
  Entry* entry = new Entry();
  entry->kernel = kernel;
  entry->name = name;
  entry->named = true;
  entry->handles = 1;
  ++liveCount();
  byName().emplace(entry->name, entry);
  *error = ERROR_SUCCESS;
  return entry;
}

std::uint32_t NamedMutexRegistry::wait(HANDLE handle, std::uint32_t milliseconds) {
  Entry* entry = toEntry(handle);
  if (entry->kernel != nullptr) {
    DWORD result = ::WaitForSingleObject(entry->kernel, milliseconds);
    // A mutex whose owner ended without releasing it is handed over all the same; the callers
    // take it as the success it is for them.
    return result == WAIT_ABANDONED ? WAIT_OBJECT_0 : result;
  }
  const DWORD self = ::GetCurrentThreadId();
  if (entry->owner.load(std::memory_order_relaxed) == self) {
    ++entry->depth;
    return WAIT_OBJECT_0;
  }
  if (milliseconds == INFINITE) {
    entry->ownership.lock();
  } else if (!entry->ownership.try_lock_for(std::chrono::milliseconds(milliseconds))) {
    return WAIT_TIMEOUT;
  }
  entry->owner.store(self, std::memory_order_relaxed);
  entry->depth = 1;
  return WAIT_OBJECT_0;
}

bool NamedMutexRegistry::release(HANDLE handle) {
  Entry* entry = toEntry(handle);
  if (entry->kernel != nullptr) return ::ReleaseMutex(entry->kernel) != FALSE;
  if (entry->owner.load(std::memory_order_relaxed) != ::GetCurrentThreadId()) return false;
  if (--entry->depth == 0) {
    entry->owner.store(0, std::memory_order_relaxed);
    entry->ownership.unlock();
  }
  return true;
}

void NamedMutexRegistry::closeHandle(HANDLE handle) {
  Entry* entry = toEntry(handle);
  // Closed under the lock: a create of the same name meanwhile must find neither the entry nor
  // the kernel object, or it would report a mutex that no wrapper has any more as existing.
  std::lock_guard<std::mutex> guard(tableLock());
  if (--entry->handles > 0) return;
  if (entry->named) byName().erase(entry->name);
  if (entry->kernel != nullptr) ::CloseHandle(entry->kernel);
  --liveCount();
  delete entry;
}

// Kernel objects need no folder and no file: nothing can make a name unusable.
bool NamedMutexRegistry::lockProblem(HANDLE, char*, std::size_t) { return false; }

bool NamedMutexRegistry::checkLockFolder(char*, std::size_t) { return true; }

std::string NamedMutexRegistry::lockFileOf(const char*) { return std::string(); }

int NamedMutexRegistry::liveEntries() {
  std::lock_guard<std::mutex> guard(tableLock());
  return liveCount();
}

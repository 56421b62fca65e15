#include "platform/windows/WindowsApi.h"

#include "platform/NamedMutexRegistry.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>

// Every wrapper of one name in this process shares one kernel handle (CreateMutexA once, then a
// count), so that a name costs one kernel lookup however many wrappers come and go, and the
// handle reads the same through each of them. The kernel object itself is shared by name with
// the other processes of the session, which gives the file mutexes their exclusion of other
// processes with no more work.
//
// Kernel object names may not contain a backslash, and are limited to MAX_PATH characters; a
// data file's path may well have either. Such a name would leave the file unguarded, so every
// name that is not one of this process's own ("%08x::..."), and any name the kernel would
// refuse, is replaced by one derived from it: a fixed prefix and a 64-bit hash of the whole
// name, the same in every process that uses the same text.

namespace {

struct Entry {
  std::string name;  // empty for an unnamed mutex
  bool named = false;
  HANDLE kernel = nullptr;
  int handles = 0;
};

std::mutex& tableLock() {
  static std::mutex lock;
  return lock;
}

// By name (named entries only), and by kernel handle (every entry).
std::unordered_map<std::string, Entry*>& byName() {
  static auto* entries = new std::unordered_map<std::string, Entry*>();
  return *entries;
}

std::unordered_map<HANDLE, Entry*>& byHandle() {
  static auto* entries = new std::unordered_map<HANDLE, Entry*>();
  return *entries;
}

std::string processPrefix() {
  char text[32];
  std::snprintf(text, sizeof text, "%08x::", static_cast<unsigned>(::GetCurrentProcessId()));
  return text;
}

std::string kernelNameOf(const std::string& name) {
  const bool own = name.compare(0, processPrefix().size(), processPrefix()) == 0;
  const bool refused = name.find('\\') != std::string::npos || name.size() >= MAX_PATH;
  if (own && !refused) return name;
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
  char text[64];
  std::snprintf(text, sizeof text, "msgserver-%s-%016llx", own ? "name" : "file",
                static_cast<unsigned long long>(hash));
  return text;
}

Entry* addEntry(const char* name, HANDLE kernel) {
  Entry* entry = new Entry();
  entry->kernel = kernel;
  entry->handles = 1;
  if (name != nullptr) {
    entry->name = name;
    entry->named = true;
    byName().emplace(entry->name, entry);
  }
  byHandle().emplace(kernel, entry);
  return entry;
}

}  // namespace

HANDLE NamedMutexRegistry::create(const char* name, bool initialOwner, std::uint32_t* error) {
  HANDLE kernel = nullptr;
  bool existed = false;
  {
    std::lock_guard<std::mutex> guard(tableLock());
    if (name != nullptr) {
      auto found = byName().find(name);
      if (found != byName().end()) {
        ++found->second->handles;
        kernel = found->second->kernel;
        existed = true;
      }
    }
    if (kernel == nullptr) {
      const std::string kernelName = name != nullptr ? kernelNameOf(name) : std::string();
      kernel = ::CreateMutexA(nullptr, initialOwner ? TRUE : FALSE,
                              name != nullptr ? kernelName.c_str() : nullptr);
      const DWORD code = ::GetLastError();
      if (kernel == nullptr) {
        *error = code;
        return nullptr;
      }
      existed = name != nullptr && code == ERROR_ALREADY_EXISTS;
      addEntry(name, kernel);
      // A mutex made here with initialOwner is owned already; one that existed is not.
      if (!existed) initialOwner = false;
    }
  }
  *error = existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
  if (initialOwner) wait(kernel, INFINITE);
  return kernel;
}

HANDLE NamedMutexRegistry::open(const char* name, std::uint32_t* error) {
  std::lock_guard<std::mutex> guard(tableLock());
  auto found = byName().find(name);
  if (found != byName().end()) {
    ++found->second->handles;
    *error = ERROR_SUCCESS;
    return found->second->kernel;
  }
  HANDLE kernel = ::OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kernelNameOf(name).c_str());
  if (kernel == nullptr) {
    *error = ::GetLastError();
    return nullptr;
  }
  addEntry(name, kernel);
  *error = ERROR_SUCCESS;
  return kernel;
}

std::uint32_t NamedMutexRegistry::wait(HANDLE handle, std::uint32_t milliseconds) {
  DWORD result = ::WaitForSingleObject(handle, milliseconds);
  // A mutex whose owner ended without releasing it is handed over all the same; the callers
  // take it as the success it is for them.
  return result == WAIT_ABANDONED ? WAIT_OBJECT_0 : result;
}

bool NamedMutexRegistry::release(HANDLE handle) { return ::ReleaseMutex(handle) != FALSE; }

void NamedMutexRegistry::closeHandle(HANDLE handle) {
  // Closed under the lock: a create of the same name meanwhile must find neither the entry nor
  // the handle, or it would report a mutex that no wrapper has any more as existing.
  std::lock_guard<std::mutex> guard(tableLock());
  auto found = byHandle().find(handle);
  if (found == byHandle().end()) {
    ::CloseHandle(handle);
    return;
  }
  Entry* entry = found->second;
  if (--entry->handles > 0) return;
  byHandle().erase(found);
  if (entry->named) byName().erase(entry->name);
  ::CloseHandle(entry->kernel);
  delete entry;
}

// Kernel objects need no folder and no file: nothing can make a name unusable.
bool NamedMutexRegistry::lockProblem(HANDLE, char*, std::size_t) { return false; }

bool NamedMutexRegistry::checkLockFolder(char*, std::size_t) { return true; }

std::string NamedMutexRegistry::lockFileOf(const char*) { return std::string(); }

int NamedMutexRegistry::liveEntries() {
  std::lock_guard<std::mutex> guard(tableLock());
  return static_cast<int>(byHandle().size());
}

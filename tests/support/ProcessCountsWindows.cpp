#include "ProcessCounts.h"

#include "platform/windows/WindowsApi.h"
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdint>

int openDescriptors() {
  // Windows has no list of a process's handles to read, and GetProcessHandleCount counts every
  // kind: look at each handle value in turn (they are multiples of 4 from 4 up, kept dense),
  // until a long run of unused values.
  int count = 0;
  int unused = 0;
  for (std::uintptr_t value = 4; unused < 1024; value += 4) {
    HANDLE handle = reinterpret_cast<HANDLE>(value);
    DWORD flags = 0;
    if (!::GetHandleInformation(handle, &flags)) {
      ++unused;
      continue;
    }
    unused = 0;
    ::SetLastError(NO_ERROR);
    if (::GetFileType(handle) != FILE_TYPE_UNKNOWN || ::GetLastError() == NO_ERROR) ++count;
  }
  return count;
}

std::string describeDescriptors() { return {}; }

int threadCount() {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  const DWORD self = ::GetCurrentProcessId();
  int count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ++count;
  }
  ::CloseHandle(snapshot);
  return count;
}

long peakVirtualKilobytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) return -1;
  return static_cast<long>(counters.PeakPagefileUsage / 1024);
}

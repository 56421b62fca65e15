#include "platform/System.h"

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <string>

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

std::uint32_t currentThreadId() { return static_cast<std::uint32_t>(::syscall(SYS_gettid)); }

void expectThreads(int count) {
#if defined(__linux__)
  // The process's own futex table (prctl PR_FUTEX_HASH, PR_FUTEX_HASH_SET_SLOTS; given here by
  // number for older headers): four lists a thread, a power of two. Older kernels refuse the
  // call, and keep one table for the whole system.
  constexpr int kFutexHash = 78;
  constexpr int kSetSlots = 1;
  constexpr long kLargest = 1L << 16;
  long slots = 16;
  while (slots < 4L * count && slots < kLargest) slots *= 2;
  ::prctl(kFutexHash, kSetSlots, slots, 0L, 0L);
#else
  (void)count;
#endif
}

std::size_t formatLocalTime(char* buffer, std::size_t size, const char* format,
                            std::time_t when) {
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  std::string native;
  for (const char* p = format; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == '#' && p[2] == 'd') {
      native += "%-d";
      p += 2;
    } else if (p[0] == '%' && p[1] == 'z') {
      native += "%Z";
      ++p;
    } else if (p[0] == '%' && p[1] == 'X') {
      native += "%H:%M:%S";  // the C locale's time, spelt out
      ++p;
    } else if (p[0] == '%' && p[1] != '\0') {
      native += p[0];
      native += p[1];
      ++p;
    } else {
      native += *p;
    }
  }
  std::tm local{};
  if (::localtime_r(&when, &local) == nullptr) return 0;
  std::size_t written = std::strftime(buffer, size, native.c_str(), &local);
  if (written == 0) buffer[0] = '\0';
  return written;
}

#include "platform/System.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <string>

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

std::uint32_t currentThreadId() { return static_cast<std::uint32_t>(::syscall(SYS_gettid)); }

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

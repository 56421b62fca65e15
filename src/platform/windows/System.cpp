#include "platform/windows/WindowsApi.h"

#include "platform/System.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(::GetCurrentProcessId()); }

std::uint32_t currentThreadId() { return static_cast<std::uint32_t>(::GetCurrentThreadId()); }

namespace {

// The zone's name as the Windows runtime gives it for "%z": from TZ when it is set (its
// "tzn[+|-]hh[:mm[:ss]][dzn]" form: three letters for standard time, the letters after the
// offset for daylight time), else the system's zone ("W. Europe Standard Time"). Made here
// rather than by the runtime: the runtime of Wine keeps only two letters of a TZ name.
std::string zoneName(bool daylight) {
  const char* tz = std::getenv("TZ");
  if (tz != nullptr && tz[0] != '\0') {
    std::size_t standard = 0;
    while (standard < 3 && std::isalpha(static_cast<unsigned char>(tz[standard]))) ++standard;
    if (!daylight) return std::string(tz, standard);
    const char* p = tz + standard;
    while (*p != '\0' && (std::isdigit(static_cast<unsigned char>(*p)) || *p == '+' ||
                          *p == '-' || *p == ':')) {
      ++p;
    }
    std::size_t summer = 0;
    while (summer < 3 && std::isalpha(static_cast<unsigned char>(p[summer]))) ++summer;
    return std::string(p, summer);
  }
  TIME_ZONE_INFORMATION zone;
  if (::GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) return std::string();
  const WCHAR* wide = daylight ? zone.DaylightName : zone.StandardName;
  char text[128];
  int length = ::WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
  return length > 0 ? std::string(text) : std::string();
}

}  // namespace

// Windows keeps no table of waiting threads per process that a count could size.
void expectThreads(int) {}

std::size_t formatLocalTime(char* buffer, std::size_t size, const char* format,
                            std::time_t when) {
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  if (format == nullptr) return 0;
  std::tm local{};
  if (::localtime_s(&local, &when) != 0) return 0;
  // The server's notation is the Windows runtime's own ("%#d" is the day without a leading
  // zero) and goes to it unchanged, but for the zone's name, which is put in here.
  std::string native;
  for (const char* p = format; *p != '\0'; ++p) {
    if (p[0] == '%' && (p[1] == 'z' || p[1] == 'Z')) {
      for (char c : zoneName(local.tm_isdst > 0)) {
        if (c == '%') native += '%';
        native += c;
      }
      ++p;
    } else if (p[0] == '%' && p[1] != '\0') {
      native += p[0];
      native += p[1];
      ++p;
    } else {
      native += *p;
    }
  }
  std::size_t written = std::strftime(buffer, size, native.c_str(), &local);
  if (written == 0) buffer[0] = '\0';
  return written;
}

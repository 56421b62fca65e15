// MutexName: the names of the server's shared mutexes, formatted in one place. Every name but a
// data file's begins with the process id as eight lower-case hexadecimal digits and "::", so
// two server processes never share them; a data file's mutex is named by its path alone.
#pragma once

#include <cstdint>
#include <cstdio>

#include "protocol/Packet.h"

class MutexName {
 public:
  static MutexName users(std::uint32_t processId) { return MutexName(processId, "fUsers"); }
  static MutexName connections(std::uint32_t processId) {
    return MutexName(processId, "fConnections");
  }
  static MutexName accept(std::uint32_t processId) { return MutexName(processId, "Accept"); }
  // One per user name; every connection without a user name yet shares the one with an empty
  // name part. A name too long for the buffer is cut (names come from a packet, so at most
  // MAX_PAYLOAD_SIZE bytes).
  static MutexName socket(std::uint32_t processId, const char* userName) {
    MutexName name;
    std::snprintf(name.text_, sizeof name.text_, "%08x::Socket::%s", processId,
                  userName != nullptr ? userName : "");
    return name;
  }

  const char* text() const { return text_; }

 private:
  MutexName() : text_{} {}
  MutexName(std::uint32_t processId, const char* what) {
    std::snprintf(text_, sizeof text_, "%08x::%s", processId, what);
  }

  char text_[MAX_WIRE_SIZE + 32];
};

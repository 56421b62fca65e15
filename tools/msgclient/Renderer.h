// Renderer: the lines the client shows, composed from what the server sent. Every name, host,
// full name, notice and body that came from the network goes through TerminalText, so no
// control character from another user reaches the terminal raw.
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "Roster.h"
#include "RoutedPayload.h"

namespace msgclient {

class Renderer {
 public:
  // "[HH:MM] alice (private): text" for a forwarded packet of the type ("PRIV", "MAIL",
  // "GRAP") from the sender named in its 8-byte header field. The kind reads "private",
  // "mail", "everyone" or "mail to everyone"; a GRAP packet shows the size of its body.
  static std::string message(std::string_view type, const char (&senderName)[8],
                             const RoutedMessage& message, std::time_t arrival);
  // "*** text" for a notice of the server (MESS), the payload's final PAYLOAD_END dropped.
  static std::string notice(const unsigned char* payload, std::size_t length);
  // "*** text" for the client's own remarks.
  static std::string remark(std::string_view text);
  // "*** bob joined from 127.0.0.1 (Bob Smith)"; no brackets when the full name is
  // unavailable.
  static std::string joined(const RosterEntry& entry);
  // "*** bob left"
  static std::string left(std::string_view name);
  // The roster as lines: a heading, then one line per user.
  static std::vector<std::string> who(const std::vector<RosterEntry>& entries);
  static std::vector<std::string> help();
  // The local time as "HH:MM".
  static std::string clock(std::time_t when);
};

}  // namespace msgclient

// RoutedPayload: the payload of the packets that the server forwards from user to user (PRIV,
// MAIL, GRAP): recipient names separated by FIELD_SEP, RECIPIENTS_END, the body, PAYLOAD_END.
// The server reads only the names; the body is the senders' business, here UTF-8 text.
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace msgclient {

struct RoutedMessage {
  std::vector<std::string> recipients;  // in the order given, empty names skipped
  std::string body;                     // the bytes between RECIPIENTS_END and the final byte
};

class RoutedPayload {
 public:
  // Builds the payload into *payload. False (payload untouched) when it would exceed the
  // largest payload a packet carries, or when there is no recipient.
  static bool build(const std::vector<std::string>& recipients, std::string_view body,
                    std::string* payload);
  // The payload's size for these recipients and body, to tell a person how far over it is.
  static std::size_t sizeOf(const std::vector<std::string>& recipients, std::string_view body);
  // Reads a received payload. Names are split at FIELD_SEP and ENTRY_SEP, as the server splits
  // them. The final byte is the terminator and not part of the body when it is PAYLOAD_END.
  // False when there is no RECIPIENTS_END before the end or a NUL: no routed payload at all.
  static bool parse(const unsigned char* bytes, std::size_t length, RoutedMessage* message);
};

}  // namespace msgclient

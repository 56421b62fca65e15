#include "RoutedPayload.h"

#include "protocol/Packet.h"

namespace msgclient {

std::size_t RoutedPayload::sizeOf(const std::vector<std::string>& recipients,
                                  std::string_view body) {
  std::size_t size = 0;
  for (const auto& name : recipients) size += name.size() + 1;  // each with its separator
  if (recipients.empty()) size = 1;                             // only RECIPIENTS_END
  return size + body.size() + 1;
}

bool RoutedPayload::build(const std::vector<std::string>& recipients, std::string_view body,
                          std::string* payload) {
  if (recipients.empty() || sizeOf(recipients, body) > MAX_PAYLOAD_SIZE) return false;
  std::string out;
  out.reserve(sizeOf(recipients, body));
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    if (i > 0) out += static_cast<char>(FIELD_SEP);
    out += recipients[i];
  }
  out += static_cast<char>(RECIPIENTS_END);
  out.append(body.data(), body.size());
  out += static_cast<char>(PAYLOAD_END);
  *payload = std::move(out);
  return true;
}

bool RoutedPayload::parse(const unsigned char* bytes, std::size_t length, RoutedMessage* message) {
  std::size_t end = 0;
  while (end < length && bytes[end] != RECIPIENTS_END) {
    if (bytes[end] == '\0') return false;
    ++end;
  }
  if (end == length) return false;
  message->recipients.clear();
  std::string name;
  for (std::size_t i = 0; i <= end; ++i) {
    if (i == end || bytes[i] == FIELD_SEP || bytes[i] == ENTRY_SEP) {
      if (!name.empty()) message->recipients.push_back(name);
      name.clear();
    } else {
      name += static_cast<char>(bytes[i]);
    }
  }
  std::size_t bodyEnd = length;
  if (bodyEnd > end + 1 && bytes[bodyEnd - 1] == PAYLOAD_END) --bodyEnd;
  message->body.assign(reinterpret_cast<const char*>(bytes + end + 1), bodyEnd - end - 1);
  return true;
}

}  // namespace msgclient

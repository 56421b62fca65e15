#include "RoutedMessage.h"

#include <cstring>
#include <ctime>

#include "protocol/Packet.h"

RoutedMessage::RoutedMessage(const std::string& senderName, const std::string& recipients,
                             std::size_t bodySize)
    : bodyAt_(0) {
  if (bodySize < MessageBody::FIELDS_SIZE) bodySize = MessageBody::FIELDS_SIZE;
  // Recipients, their end mark, the body and the terminator must fit one packet.
  const std::size_t room = MAX_PAYLOAD_SIZE - 2;
  std::string list = recipients.substr(0, room - MessageBody::FIELDS_SIZE);
  if (list.size() + bodySize > room) bodySize = room - list.size();

  std::string payload = list;
  payload += static_cast<char>(RECIPIENTS_END);
  payload.append(bodySize, 'x');
  payload += static_cast<char>(PAYLOAD_END);

  Packet packet;
  std::memcpy(packet.type, "PRIV", 4);
  packet.timestamp = static_cast<std::uint32_t>(std::time(nullptr));
  std::memcpy(
      packet.senderName, senderName.data(),
      senderName.size() < sizeof packet.senderName ? senderName.size() : sizeof packet.senderName);
  packet.setPayload(payload.data(), static_cast<std::uint32_t>(payload.size()));
  image_.resize(HEADER_SIZE + packet.length);
  packet.serialize(image_.data());
  bodyAt_ = HEADER_SIZE + list.size() + 1;
}

const unsigned char* RoutedMessage::stamp(const MessageBody& body) {
  body.write(image_.data() + bodyAt_);
  return image_.data();
}

bool RoutedMessage::sentBy(const unsigned char* image, const std::string& senderName) {
  char expected[8] = {};
  std::memcpy(expected, senderName.data(), senderName.size() < 8 ? senderName.size() : 8);
  return std::memcmp(image + 4, expected, sizeof expected) == 0;
}

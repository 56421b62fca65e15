// RoutedMessage: the wire image of one PRIV packet from one user to a fixed recipient list,
// built once with the server's Packet code and then re-stamped with a new MessageBody for each
// message, so that sending costs a copy and no allocation.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "MessageBody.h"

class RoutedMessage {
 public:
  // senderName goes into the header (at most 8 bytes are used); recipients is the list as it
  // goes on the wire (names separated by FIELD_SEP, or "everyone"); the body takes bodySize
  // bytes (at least MessageBody::FIELDS_SIZE), filler after the fields.
  RoutedMessage(const std::string& senderName, const std::string& recipients, std::size_t bodySize);

  // Writes the body's fields into the image and returns the image.
  const unsigned char* stamp(const MessageBody& body);
  const unsigned char* image() const { return image_.data(); }
  // True when a received wire image's header names this sender (NUL-padded to 8 bytes, cut
  // at 8).
  static bool sentBy(const unsigned char* image, const std::string& senderName);
  std::size_t size() const { return image_.size(); }

 private:
  std::vector<unsigned char> image_;
  std::size_t bodyAt_;
};

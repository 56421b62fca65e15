// UserGroupScenario: a measured scenario whose connections are users logged in to the server,
// all together before the meter starts and out again after the report.
// Thread safety: the loop's thread only.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "MeasuredScenario.h"
#include "UserGroup.h"

class MessageBody;

class UserGroupScenario : public MeasuredScenario {
 protected:
  UserGroupScenario(const BenchOptions& options, const char* name,
                    const std::vector<std::string>& userNames);

  // Logs every user in; false (the users logged out again) when one cannot be.
  bool open() override;
  // Logs every user out.
  void close() override;

  // True for a private message; a notice of a user coming or going is passed over, and
  // anything else is reported as unexpected.
  bool isMessage(BenchConnection& receiver, const unsigned char* image, std::size_t size);
  // The name of the message's sender (body.sender must be a user's number); a problem when
  // the header names someone else.
  const std::string& senderOf(const unsigned char* image, const MessageBody& body);

  UserGroup users_;
};

#include "UserGroupScenario.h"

#include <cstring>

#include "MessageBody.h"
#include "RoutedMessage.h"

UserGroupScenario::UserGroupScenario(const BenchOptions& options, const char* name,
                                     const std::vector<std::string>& userNames)
    : MeasuredScenario(options, name, options.serverPid),
      users_(loop_, *this, options, userNames) {}

bool UserGroupScenario::open() {
  if (!loop_.valid()) {
    report_.problem("no event poller");
    return false;
  }
  std::string problem;
  if (!users_.logIn(&problem)) {
    report_.problem("%s", problem.c_str());
    users_.logOut(&problem);
    return false;
  }
  return true;
}

void UserGroupScenario::close() {
  std::string problem;
  if (!users_.logOut(&problem)) report_.problem("logging out: %s", problem.c_str());
}

bool UserGroupScenario::isMessage(BenchConnection& receiver, const unsigned char* image,
                                  std::size_t size) {
  if (std::memcmp(image, "USER", 4) == 0 || std::memcmp(image, "GONE", 4) == 0) return false;
  if (std::memcmp(image, "PRIV", 4) != 0) {
    report_.unexpected(receiver.name(), image, size);
    return false;
  }
  return true;
}

const std::string& UserGroupScenario::senderOf(const unsigned char* image,
                                               const MessageBody& body) {
  const std::string& name = users_[static_cast<int>(body.sender)].name();
  if (!RoutedMessage::sentBy(image, name)) {
    report_.problem("message %u of %s arrived with another sender name in its header",
                    body.sequence, name.c_str());
  }
  return name;
}

// Adding users (U) and trusted hosts (H) from the console, while the service runs or not.
// The files' own operations guard them against the workers reading them at the same time.
#include <cstdio>
#include <cstring>

#include "console/ConsoleInput.h"
#include "console/HiddenLine.h"
#include "core/Server.h"
#include "platform/PasswordHash.h"
#include "store/LineReader.h"

namespace {

// Prints message once for every space or colon in text; true when there was any.
bool reportSpacesOrColons(const char* text, const char* message) {
  bool found = false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == ' ' || *p == ':') {
      std::printf("%s", message);
      found = true;
    }
  }
  return found;
}

}  // namespace

void Server::promptAddUser() {
  char name[TEXT_LINE_SIZE];
  for (;;) {
    ConsoleInput::prompt("Enter user name> ");
    bool cut = false;
    int length = ConsoleInput::readLine(name, sizeof name, &cut);
    if (length < 0) return;
    if (length == 0) continue;
    if (cut || length > MAX_USER_NAME_LENGTH) {
      std::printf("User name must be %d characters or less.\n", MAX_USER_NAME_LENGTH);
      continue;
    }
    if (reportSpacesOrColons(name, "User name can not contain spaces or colons.\n")) continue;
    break;
  }

  char password[TEXT_LINE_SIZE];
  for (;;) {
    bool tooLong = false;
    const char* entry = readHiddenLine("Enter password> ", &tooLong);
    if (entry == nullptr) {
      if (ConsoleInput::ended()) return;
      continue;
    }
    // A password cut short in silence would lock its owner out: ask again instead.
    if (tooLong) {
      std::printf("Password must be %d characters or less.\n", MAX_PASSWORD_LENGTH);
      continue;
    }
    // An empty field is no field to the readers: the full name would be read as the password.
    if (entry[0] == '\0') {
      std::printf("Password must not be empty.\n");
      continue;
    }
    if (reportSpacesOrColons(entry, "Password can not contain spaces or colons.\n")) continue;
    // A field that begins with '$' is read as a hash: kept in clear, this password could never
    // be matched.
    if (entry[0] == '$' && passwordStorage == CLEAR_PASSWORDS) {
      std::printf("Password can not begin with '$' unless passwords are stored hashed.\n");
      continue;
    }
    std::snprintf(password, sizeof password, "%s", entry);
    const char* confirmation = readHiddenLine("Confirm password> ", &tooLong);
    if (confirmation == nullptr) {
      if (ConsoleInput::ended()) return;
      continue;
    }
    if (tooLong || std::strcmp(confirmation, password) != 0) {
      std::printf("Passwords do not match.\n");
      continue;
    }
    break;
  }
  // What the file will hold: the password, or its hash (made here, on the console's thread).
  char field[PasswordHash::kHashSize];
  const bool prepared = passwordField(password, field, sizeof field) != 0;
  std::memset(password, 0, sizeof password);
  if (!prepared) {
    std::printf("Failed to add user!\n");
    return;
  }

  // The record must stay one line as the readers see it (255 characters), or it would read back
  // as a cut full name followed by a bogus record.
  const int longestFullName = static_cast<int>(TEXT_LINE_SIZE - 1 - std::strlen(name) -
                                               std::strlen(field) - 2);
  char fullName[TEXT_LINE_SIZE];
  for (;;) {
    ConsoleInput::prompt("Enter full name for user> ");
    bool cut = false;
    int length = ConsoleInput::readLine(fullName, sizeof fullName, &cut);
    if (length < 0) return;
    if (cut || length > longestFullName) {
      std::printf("Full name must be %d characters or less.\n", longestFullName);
      continue;
    }
    break;
  }
  if (addUser(name, field, fullName)) {
    std::printf("Added user: %s.\n", name);
  } else {
    std::printf("Failed to add user!\n");
  }
}

void Server::promptAddHost() {
  char address[TEXT_LINE_SIZE];
  for (;;) {
    ConsoleInput::prompt("Enter address of trusted host> ");
    bool cut = false;
    int length = ConsoleInput::readLine(address, sizeof address, &cut);
    if (length < 0) return;
    // The readers skip a blank line: such an entry could never admit anyone.
    if (LineReader::isBlank(address)) continue;
    // A cut address would be another address: refuse it instead.
    if (cut) {
      std::printf("Host address must be %d characters or less.\n",
                  static_cast<int>(TEXT_LINE_SIZE - 1));
      continue;
    }
    break;
  }
  if (addTrustedHost(address)) {
    std::printf("Added host: %s.\n", address);
  } else {
    std::printf("Failed to add trusted host!\n");
  }
}

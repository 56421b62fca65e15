// The T prompt: asks the operator for a user's name and terminates that user.
#include <cstdio>

#include "console/ConsoleInput.h"
#include "core/Server.h"

void Server::promptTerminateUser() {
  char name[TEXT_LINE_SIZE];
  int length;
  do {
    ConsoleInput::prompt("Enter name of user to terminate> ");
    length = ConsoleInput::readLine(name, sizeof name, nullptr);
    if (length < 0) return;  // the console input has ended
  } while (length == 0);
  std::printf(terminateUser(name) ? "Terminated %s.\n" : "Failed to terminate %s!\n", name);
}

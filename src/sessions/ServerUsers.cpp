// The operator's view of the logged-in users: the list (L) and terminating one user (T).
// Both run on the console thread and work on the registry under the users mutex.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "console/ConsoleInput.h"
#include "core/NamedLock.h"
#include "core/Server.h"
#include "core/Text.h"
#include "platform/StreamSocket.h"
#include "platform/System.h"
#include "protocol/Packet.h"
#include "sessions/ConnectionSlot.h"

// Takes users.
void Server::listUsers() {
  char stamp[TEXT_LINE_SIZE];
  formatTimeStamp(stamp, sizeof stamp, std::time(nullptr));
  std::printf("\n\n%s\n", stamp);
  {
    NamedLock usersLock(*usersMutex);
    users.visitInOrder(&Server::printUserLine);
  }
  std::printf("\n\n");
  std::fflush(stdout);
}

// Caller holds users.
void Server::printUserLine(ConnectionSlot* slot) {
  char time[TEXT_LINE_SIZE];
  formatLocalTime(time, sizeof time, "%I:%M%p", slot->connectTime);
  char address[16] = "";
  if (slot->socket != nullptr) slot->socket->getPeerAddress(address, sizeof address);
  // A name chosen by a client reaches the operator's terminal: bounded, controls neutralised.
  char name[TEXT_LINE_SIZE];
  std::snprintf(name, sizeof name, "%s", slot->userName);
  neutraliseClientText(name);
  std::printf("%s\t%s\t%s\n", name, address, time);
}

// Takes users, then the user's socket mutex (recursive: held across both sends, so that the
// user's own worker cannot send between them).
Bool16 Server::terminateUser(const char* name) {
  Packet packet;
  {
    NamedLock usersLock(*usersMutex);
    RegistryNode* node = users.find(name);
    if (node != nullptr && node->value != nullptr) {
      ConnectionSlot* slot = node->value;
      std::memcpy(packet.senderName, "server\0\0", sizeof packet.senderName);
      std::memcpy(packet.senderHost, localHostText, sizeof packet.senderHost);
      NamedLock socketLock(socketMutexOf(slot));
      sendMessage(slot, &packet, "Connection terminated by server.");
      sendQuit(slot, &packet);
      // Nothing may follow the QUIT, and a client that ignores it must not stay on line: the
      // connection ends here and its worker tears it down (GONE, the disconnect line).
      if (slot->socket != nullptr) slot->socket->shutdownBoth();
      return 1;
    }
  }
  char text[TEXT_LINE_SIZE + 96];
  std::snprintf(text, sizeof text,
                "Internal Error: Could not terminate user %s because user does not exist.", name);
  report(text);
  return 0;
}

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

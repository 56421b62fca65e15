// The operator's view of the logged-in users: the list (L) and terminating one user (T), on
// the console thread. Both look the users up under users and let it go before anything is
// printed or sent.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "core/NamedLock.h"
#include "core/Server.h"
#include "core/Text.h"
#include "platform/StreamSocket.h"
#include "platform/System.h"
#include "protocol/Packet.h"
#include "sessions/ConnectionSlot.h"

namespace {

// One user's line: name, address and connect time ("%I:%M%p").
void printLine(const char* userName, const char* address, std::time_t connectTime) {
  char time[TEXT_LINE_SIZE];
  formatLocalTime(time, sizeof time, "%I:%M%p", connectTime);
  // A name chosen by a client reaches the operator's terminal: bounded, controls neutralised.
  char name[TEXT_LINE_SIZE];
  std::snprintf(name, sizeof name, "%s", userName);
  neutraliseClientText(name);
  std::printf("%s\t%s\t%s\n", name, address, time);
}

}  // namespace

void Server::listUsers() {
  char stamp[TEXT_LINE_SIZE];
  formatTimeStamp(stamp, sizeof stamp, std::time(nullptr));
  std::printf("\n\n%s\n", stamp);
  std::vector<ListedUser> everyone;
  sessions.listInOrder(&everyone);
  for (const ListedUser& user : everyone) printLine(user.name.c_str(), user.host, user.connectTime);
  std::printf("\n\n");
  std::fflush(stdout);
}

void Server::printUserLine(ConnectionSlot* slot) {
  char address[16] = "";
  if (slot->socket != nullptr) slot->socket->getPeerAddress(address, sizeof address);
  printLine(slot->userName, address, slot->connectTime);
}

Bool16 Server::terminateUser(const char* name) {
  Recipient found;
  if (sessions.find(name, &found)) {
    ConnectionSlot* slot = found.slot;
    Packet packet;
    std::memcpy(packet.senderName, "server\0\0", sizeof packet.senderName);
    std::memcpy(packet.senderHost, localHostText, sizeof packet.senderHost);
    // Both under the user's send lock, so that its own worker cannot send between them, and
    // only to the login that was found.
    NamedLock sendLock(*slot->sendLock, LockRank::Send);
    transport.awaitWriter(slot);  // the shutdown must not cut a packet being written
    if (slot->loginSerial == found.login) {
      // A user still being admitted is told too: its list ends where it is, and what others
      // sent it, waiting behind the list, would never reach it anyway.
      transport.cutList(slot);
      transport.cork(slot);  // MESS and QUIT in one write
      sendMessage(slot, &packet, "Connection terminated by server.");
      sendQuit(slot, &packet);
      transport.uncork(slot);
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

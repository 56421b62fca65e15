// The login handshake: the client learns the security level and sends USER packets until a
// name (and, at LOGIN and SECURE, its password) is accepted. A name is checked free and taken
// in one hold of the users mutex, so two connections never log in under one name.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/MutexName.h"
#include "core/NamedLock.h"
#include "core/Server.h"
#include "platform/Mutex.h"
#include "protocol/Packet.h"
#include "sessions/ConnectionSlot.h"

namespace {

constexpr int kCheckedAttempts = 3;

enum class Reply { Login, Wrong, Failed };

// A login packet is a USER packet with a payload; its last byte becomes the text's NUL.
Reply readLogin(Server& server, ConnectionSlot* slot, Packet* incoming) {
  if (server.receivePacket(slot, incoming) < 0) return Reply::Failed;
  if (std::memcmp(incoming->type, "USER", 4) != 0 || incoming->length == 0) return Reply::Wrong;
  incoming->payload[incoming->length - 1] = '\0';
  return Reply::Login;
}

bool isReservedName(const char* name) {
  return std::strcmp(name, "server") == 0 || std::strcmp(name, "everyone") == 0;
}

bool isLoggedIn(UserRegistry& users, const char* name) {
  RegistryNode* node = users.find(name);
  return node != nullptr && node->value != nullptr;
}

}  // namespace

Bool16 Server::loginHandshake(ConnectionSlot* slot, Packet* outgoing, Packet* incoming) {
  // Takes the name for the slot if it is still free; one hold of users for both.
  auto claim = [&](const char* name) -> bool {
    NamedLock usersLock(*usersMutex);
    if (halting || isLoggedIn(users, name)) return false;
    char* copy = strdup(name);
    if (copy == nullptr) return false;
    // The user's own socket mutex, open until the teardown: every later packet to this client
    // goes under it.
    slot->socketMutex = new Mutex(0, MutexName::socket(processId, copy).text(), nullptr);
    slot->userName = copy;
    slot->loginSerial = ++loginCount;
    users.insert(slot);
    return true;
  };

  if (sendLevel(slot, outgoing) < 0) return 0;
  Reply reply = readLogin(*this, slot, incoming);
  if (reply == Reply::Failed) return 0;
  if (reply == Reply::Wrong) {
    sendMessage(slot, outgoing, "Error connecting to server.");
    return 0;
  }

  char text[TEXT_LINE_SIZE];
  if (securityLevel == FREEFORALL) {
    for (;;) {
      const char* name = reinterpret_cast<const char*>(incoming->payload);
      if (name[0] != '\0' && !isReservedName(name) && claim(name)) return 1;
      std::snprintf(text, sizeof text, "Login %s already in use.", name);
      if (sendLoginError(slot, outgoing, text) < 0) return 0;
      reply = readLogin(*this, slot, incoming);
      if (reply == Reply::Failed) return 0;
      if (reply == Reply::Wrong) {
        sendMessage(slot, outgoing, "Error connecting to server.");
        return 0;
      }
    }
  }

  for (int attempts = kCheckedAttempts;;) {
    char* name = reinterpret_cast<char*>(incoming->payload);
    char* separator = std::strchr(name, static_cast<char>(FIELD_SEP));
    const char* password = "";  // no separator: the whole text is the name
    if (separator != nullptr) {
      *separator = '\0';
      password = separator + 1;
    }
    bool online;
    {
      NamedLock usersLock(*usersMutex);
      online = isLoggedIn(users, name);
    }
    bool verified = verifyPassword(name, password) != 0;
    if (online || isReservedName(name)) {
      std::snprintf(text, sizeof text, "User %s is already logged in!.", name);
    } else if (!verified || name[0] == '\0') {
      std::snprintf(text, sizeof text, "Login incorrect.");
    } else if (claim(name)) {
      return 1;
    } else {
      // Someone else took the name since it was looked up.
      std::snprintf(text, sizeof text, "User %s is already logged in!.", name);
    }
    if (sendLoginError(slot, outgoing, text) < 0) break;
    reply = readLogin(*this, slot, incoming);
    if (reply == Reply::Failed) break;
    if (reply == Reply::Wrong) {
      sendMessage(slot, outgoing, "Error connecting to server.");
      break;
    }
    if (--attempts == 0) break;
  }
  sendMessage(slot, outgoing, "Too many failed login attempts.");
  return 0;
}

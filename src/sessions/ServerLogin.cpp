// The login handshake: the client learns the security level and sends USER packets until a
// name (and, at LOGIN and SECURE, its password) is accepted. A name is checked free and taken
// in one hold of the users mutex, so two connections never log in under one name.
//
// Every refused attempt goes to the error log, with the name (masked, and cut at its first
// separator so that a password never reaches the log) and the client's address; nothing of it
// reaches the console, where a password guesser would flood the operator's screen.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/Server.h"
#include "core/SteadyClock.h"
#include "core/Text.h"
#include "platform/StreamSocket.h"
#include "protocol/Packet.h"
#include "sessions/ConnectionSlot.h"

namespace {

constexpr int kCheckedAttempts = 3;

enum class Reply { Login, Wrong, Failed, TimedOut };

// A login packet is a USER packet with a payload; its last byte becomes the text's NUL.
Reply readLogin(Server& server, ConnectionSlot* slot, Packet* incoming) {
  if (server.receivePacket(slot, incoming) < 0) {
    // The receive gives up at the login's deadline; past it, that is why it failed.
    const std::int64_t deadline = slot->loginDeadline;
    return deadline != 0 && steadyMilliseconds() >= deadline ? Reply::TimedOut : Reply::Failed;
  }
  if (std::memcmp(incoming->type, "USER", 4) != 0 || incoming->length == 0) return Reply::Wrong;
  incoming->payload[incoming->length - 1] = '\0';
  return Reply::Login;
}

bool isReservedName(const char* name) {
  return std::strcmp(name, "server") == 0 || std::strcmp(name, "everyone") == 0;
}

}  // namespace

const char* Server::loginNameProblem(const char* name) {
  // A control character or one of the protocol's separator bytes would put forged entries into
  // every other user's list, and a longer name would not fit its entry in a user list.
  std::size_t length = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != 0; ++p) {
    if (*p < 0x20 || *p == 0x7F || *p >= RECIPIENTS_END) {
      return "Login name may not contain control or separator characters.";
    }
    ++length;
  }
  if (length > static_cast<std::size_t>(MAX_LOGIN_NAME_LENGTH)) {
    return "Login name must be 127 characters or less.";
  }
  return nullptr;
}

void Server::logRefusedLogin(ConnectionSlot* slot, const char* name, const char* why) {
  // The name up to its first separator byte: what follows one may be a password.
  char shown[MAX_LOGIN_NAME_LENGTH + 1];
  std::size_t length = 0;
  if (name != nullptr) {
    while (length < sizeof shown - 1 && name[length] != '\0' &&
           static_cast<unsigned char>(name[length]) < RECIPIENTS_END) {
      shown[length] = name[length];
      ++length;
    }
  }
  shown[length] = '\0';
  char peer[16] = "";
  if (slot->socket != nullptr) slot->socket->getPeerAddress(peer, sizeof peer);
  char text[TEXT_LINE_SIZE];
  if (name == nullptr) {
    std::snprintf(text, sizeof text, "Connection Error: %s from %s.", why, peer);
  } else {
    std::snprintf(text, sizeof text, "Connection Error: %s for \"%s\" from %s.", why, shown, peer);
  }
  neutraliseClientText(text);
  logError(text);
}

Bool16 Server::loginHandshake(ConnectionSlot* slot, Packet* outgoing, Packet* incoming) {
  // Takes the name for the slot if it is still free; one hold of users for both.
  auto claim = [&](const char* name) -> bool {
    if (!sessions.claim(slot, name)) return false;
    char host[16] = "";
    if (slot->socket != nullptr) slot->socket->getPeerAddress(host, sizeof host);
    formatSenderFields(slot->senderFields, name, host);
    return true;
  };
  // The last name tried, for the time-out's log line.
  char lastName[MAX_LOGIN_NAME_LENGTH + 1] = "";
  bool triedAName = false;
  auto remember = [&](const char* name) {
    std::snprintf(lastName, sizeof lastName, "%s", name);
    triedAName = true;
  };
  // The end of a handshake that did not log in: the client is told why when it can be.
  auto giveUp = [&](Reply reply) -> Bool16 {
    if (reply == Reply::TimedOut) {
      sendMessage(slot, outgoing, "Login timed out.");
      logRefusedLogin(slot, triedAName ? lastName : nullptr, "Login timed out");
    } else if (reply == Reply::Wrong) {
      sendMessage(slot, outgoing, "Error connecting to server.");
    }
    return 0;
  };

  // LEVL goes out with the HELO before it (greetAndCheckHost corked them).
  if (sendLevel(slot, outgoing) < 0 || transport.uncork(slot) < 0) return 0;
  Reply reply = readLogin(*this, slot, incoming);
  if (reply != Reply::Login) return giveUp(reply);

  char text[TEXT_LINE_SIZE];
  if (securityLevel == FREEFORALL) {
    for (;;) {
      const char* name = reinterpret_cast<const char*>(incoming->payload);
      remember(name);
      const char* problem = loginNameProblem(name);
      if (problem == nullptr && name[0] != '\0' && !isReservedName(name) && claim(name)) return 1;
      if (problem != nullptr) {
        std::snprintf(text, sizeof text, "%s", problem);
        logRefusedLogin(slot, name, "Login refused (name not allowed)");
      } else {
        std::snprintf(text, sizeof text, "Login %s already in use.", name);
        logRefusedLogin(slot, name, "Login refused (name in use or reserved)");
      }
      if (sendLoginError(slot, outgoing, text) < 0) return 0;
      reply = readLogin(*this, slot, incoming);
      if (reply != Reply::Login) return giveUp(reply);
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
    remember(name);
    const char* problem = loginNameProblem(name);
    bool online = false;
    bool verified = false;
    if (problem == nullptr) {
      Recipient found;
      online = sessions.find(name, &found);
      verified = verifyPassword(name, password) != 0;
    }
    if (problem != nullptr) {
      std::snprintf(text, sizeof text, "%s", problem);
      logRefusedLogin(slot, name, "Login refused (name not allowed)");
    } else if (online || isReservedName(name)) {
      std::snprintf(text, sizeof text, "User %s is already logged in!.", name);
      logRefusedLogin(slot, name, "Login refused (name in use or reserved)");
    } else if (!verified || name[0] == '\0') {
      std::snprintf(text, sizeof text, "Login incorrect.");
      logRefusedLogin(slot, name, "Login refused (unknown user or wrong password)");
    } else if (claim(name)) {
      return 1;
    } else {
      // Someone else took the name since it was looked up.
      std::snprintf(text, sizeof text, "User %s is already logged in!.", name);
      logRefusedLogin(slot, name, "Login refused (name in use or reserved)");
    }
    if (sendLoginError(slot, outgoing, text) < 0) return 0;
    reply = readLogin(*this, slot, incoming);
    if (reply == Reply::Failed) break;
    if (reply == Reply::TimedOut) return giveUp(reply);
    if (reply == Reply::Wrong) {
      sendMessage(slot, outgoing, "Error connecting to server.");
      break;
    }
    if (--attempts == 0) {
      logRefusedLogin(slot, nullptr, "Too many failed login attempts");
      break;
    }
  }
  sendMessage(slot, outgoing, "Too many failed login attempts.");
  return 0;
}

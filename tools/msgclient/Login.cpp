#include "Login.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "Renderer.h"
#include "TerminalText.h"
#include "platform/Terminal.h"
#include "protocol/Packet.h"

namespace msgclient {

namespace {

// Set while the terminal's echo is off, so that an interrupt does not leave the person's
// terminal without it.
std::atomic<bool> echoIsOff{false};

extern "C" void restoreEchoAndLeave(int) {
  if (echoIsOff) setInputEcho(true);
  std::_Exit(130);
}

std::string textOf(const Packet& packet) {
  std::size_t length = packet.length;
  if (length > 0 && packet.payload[length - 1] == PAYLOAD_END) --length;
  return std::string(reinterpret_cast<const char*>(packet.payload), length);
}

bool isType(const Packet& packet, const char* code) {
  return std::memcmp(packet.type, code, 4) == 0;
}

}  // namespace

Login::Login(Screen& screen, InputLines& input) : screen_(screen), input_(&input) {}

Login::Login(Screen& screen, const std::string& name, const std::string& password, bool hasPassword)
    : screen_(screen), name_(name), password_(password), hasPassword_(hasPassword) {}

bool Login::ask(const char* prompt, std::string* answer, bool hidden) {
  const bool hide = hidden && inputIsTerminal();
  if (hide) {
    std::signal(SIGINT, restoreEchoAndLeave);
    echoIsOff = true;
    setInputEcho(false);
  }
  screen_.prompt(prompt);
  const int got = input_->next(answer, -1);
  if (hide) {
    setInputEcho(true);
    echoIsOff = false;
    std::signal(SIGINT, SIG_DFL);
    screen_.line("");  // the Enter that was not echoed
  }
  return got == 1;
}

bool Login::answer(Connection& connection, bool withPassword) {
  for (;;) {
    if (input_ != nullptr) {
      if (!ask("Login: ", &name_, false)) return false;
      if (name_.empty()) {
        screen_.line(Renderer::remark("A name is needed."));
        continue;
      }
      if (withPassword && !ask("Password: ", &password_, true)) return false;
    } else if (withPassword && !hasPassword_) {
      screen_.error("msgclient: the server asks for a password: set MSGCLIENT_PASSWORD");
      return false;
    }
    std::string payload = name_;
    if (withPassword) {
      payload += static_cast<char>(FIELD_SEP);
      payload += password_;
    }
    payload += static_cast<char>(PAYLOAD_END);
    if (payload.size() > MAX_PAYLOAD_SIZE) {
      screen_.line(Renderer::remark("That name is too long."));
      if (input_ == nullptr) return false;
      continue;
    }
    return connection.send("USER", payload);
  }
}

Login::Result Login::run(Connection& connection, Session& session) {
  Packet packet;
  bool withPassword = false;
  for (;;) {
    const int got = connection.receive(&packet);
    if (got <= 0) return Result::Lost;
    if (isType(packet, "LEVL")) {
      // "1" is the open level; any other asks for a password.
      withPassword = textOf(packet) != "1";
      if (!answer(connection, withPassword)) return Result::GaveUp;
    } else if (isType(packet, "LERR")) {
      screen_.line(Renderer::remark("Login refused: " + TerminalText::escape(textOf(packet))));
      if (input_ == nullptr) return Result::Refused;
      if (!answer(connection, withPassword)) return Result::GaveUp;
    } else if (isType(packet, "CONN")) {
      session.loggedIn(name_);
      return Result::LoggedIn;
    } else if (isType(packet, "QUIT")) {
      return Result::Refused;
    } else if (!isType(packet, "HELO") && !isType(packet, "SYID") && !isType(packet, "MCST")) {
      session.handle(packet);
    }
  }
}

}  // namespace msgclient

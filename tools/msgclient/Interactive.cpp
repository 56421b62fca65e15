#include <string>
#include <vector>

#include "ClientModes.h"
#include "CommandParser.h"
#include "InputLines.h"
#include "Login.h"
#include "Renderer.h"
#include "RoutedPayload.h"
#include "Session.h"
#include "TerminalText.h"

namespace msgclient {

namespace {

// How often the input loop looks at the connection while nobody types.
constexpr int INPUT_POLL_MS = 200;
// How long /quit waits for the server's answer before it leaves anyway.
constexpr int QUIT_WAIT_MS = 5000;

void showLines(Screen& screen, const std::vector<std::string>& lines) {
  for (const auto& line : lines) screen.line(line);
}

void send(Session& session, Screen& screen, const char (&type)[5],
          const std::vector<std::string>& recipients, const std::string& text) {
  switch (session.sendRouted(type, recipients, text)) {
    case Session::SendResult::Sent:
      return;
    case Session::SendResult::TooLong:
      screen.line(Renderer::remark(
          "Not sent: the message takes " + std::to_string(RoutedPayload::sizeOf(recipients, text)) +
          " bytes, at most " + std::to_string(MAX_PAYLOAD_SIZE) + " fit in one packet."));
      return;
    case Session::SendResult::Failed:
      screen.line(Renderer::remark("Not sent: the connection has failed."));
      return;
  }
}

// Carries out one line; false when the person asked to leave.
bool carryOut(const std::string& line, Session& session, Screen& screen) {
  const Command command = CommandParser::parse(line);
  switch (command.kind) {
    case Command::Kind::Empty:
      break;
    case Command::Kind::Invalid:
      screen.line(Renderer::remark(TerminalText::escape(command.problem)));
      break;
    case Command::Kind::Text: {
      const auto correspondents = session.correspondents();
      if (correspondents.empty()) {
        screen.line(Renderer::remark(
            "Nobody to send that to yet: write /msg NAME TEXT (or /help for the commands)."));
      } else {
        send(session, screen, "PRIV", correspondents, command.text);
      }
      break;
    }
    case Command::Kind::Message:
      send(session, screen, "PRIV", command.recipients, command.text);
      break;
    case Command::Kind::Mail:
      send(session, screen, "MAIL", command.recipients, command.text);
      break;
    case Command::Kind::Everyone:
      send(session, screen, "PRIV", {"everyone"}, command.text);
      break;
    case Command::Kind::Who:
      showLines(screen, Renderer::who(session.whoIsOn()));
      break;
    case Command::Kind::Help:
      showLines(screen, Renderer::help());
      break;
    case Command::Kind::Quit:
      return false;
  }
  return true;
}

}  // namespace

int runInteractive(const ClientArguments& arguments) {
  Screen screen;
  Connection connection;
  if (!openConnection(arguments, connection, screen)) return 1;
  Session session(connection, screen);
  InputLines input;
  Login login(screen, input);
  switch (login.run(connection, session)) {
    case Login::Result::LoggedIn:
      break;
    case Login::Result::GaveUp:
      screen.line(Renderer::remark("Not logged in."));
      return 1;
    case Login::Result::Refused:
    case Login::Result::Lost:
      screen.line(Renderer::remark("Not logged in: the server closed the connection."));
      return 1;
  }
  screen.line(Renderer::remark("Logged in as " + TerminalText::escape(session.name()) + "."));
  showLines(screen, Renderer::who(session.whoIsOn()));
  screen.line("Type /help for the commands.");
  session.startReading();

  bool leaving = false;
  while (!leaving && !session.ended()) {
    std::string line;
    bool cut = false;
    const int got = input.next(&line, INPUT_POLL_MS, &cut);
    if (got == 0) continue;
    if (got < 0) {
      leaving = true;
    } else if (cut) {
      screen.line(Renderer::remark("Not sent: the line is longer than " +
                                   std::to_string(InputLines::MAX_LINE) + " bytes."));
    } else {
      leaving = !carryOut(line, session, screen);
    }
  }
  if (leaving && !session.ended()) {
    if (session.quit()) session.waitEnded(QUIT_WAIT_MS);
    screen.line(Renderer::remark("Disconnected."));
    return 0;
  }
  screen.line(Renderer::remark(session.endedByServer() ? "Connection closed by server."
                                                       : "Connection lost."));
  return 1;
}

}  // namespace msgclient

#include <cstdlib>
#include <string>

#include "ClientModes.h"
#include "InputLines.h"
#include "Login.h"
#include "Session.h"

namespace msgclient {

namespace {

// How often the loop looks at the connection while the input is silent.
constexpr int INPUT_POLL_MS = 200;
// How long to wait for the server's answer to QUIT. Every notice about the messages sent
// arrives before that answer, since the server handles one client's packets in order.
constexpr int QUIT_WAIT_MS = 10000;

}  // namespace

int runScripted(const ClientArguments& arguments) {
  Screen screen;
  Connection connection;
  if (!openConnection(arguments, connection, screen)) return 1;
  Session session(connection, screen);
  const char* password = std::getenv("MSGCLIENT_PASSWORD");
  Login login(screen, arguments.user, password != nullptr ? password : "", password != nullptr);
  if (login.run(connection, session) != Login::Result::LoggedIn) {
    screen.error("msgclient: not logged in");
    return 1;
  }
  session.startReading();

  InputLines input;
  int lines = 0;
  int sent = 0;
  bool inputDone = false;
  while (!session.ended()) {
    std::string line;
    bool cut = false;
    const int got = input.next(&line, INPUT_POLL_MS, &cut);
    if (got == 0) continue;
    if (got < 0) {
      inputDone = true;
      break;
    }
    ++lines;
    if (cut) {
      screen.error("msgclient: line " + std::to_string(lines) + " is longer than " +
                   std::to_string(InputLines::MAX_LINE) + " bytes: not sent");
      continue;
    }
    const Session::SendResult result = session.sendRouted("PRIV", arguments.recipients, line);
    if (result == Session::SendResult::Sent) {
      ++sent;
    } else if (result == Session::SendResult::TooLong) {
      screen.error("msgclient: line " + std::to_string(lines) +
                   " does not fit in one packet: not sent");
    } else {
      screen.error("msgclient: the connection failed at line " + std::to_string(lines));
      break;
    }
  }
  if (!session.ended() && session.quit()) session.waitEnded(QUIT_WAIT_MS);

  bool ok = true;
  if (!inputDone) {
    screen.error("msgclient: the session ended before all of the input was sent");
    ok = false;
  }
  if (sent != lines) {
    screen.error("msgclient: " + std::to_string(lines - sent) + " of " + std::to_string(lines) +
                 " lines not sent");
    ok = false;
  }
  if (session.undeliverable() > 0) {
    screen.error("msgclient: " + std::to_string(session.undeliverable()) +
                 " undeliverable notice(s) came back");
    ok = false;
  }
  if (!session.quitAnswered() || session.endedByServer()) {
    screen.error("msgclient: the server did not confirm the end of the session");
    ok = false;
  }
  return ok ? 0 : 1;
}

}  // namespace msgclient

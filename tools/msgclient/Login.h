// Login: the dialogue from the server's greeting to CONN. The server tells the security level
// (LEVL); at level 1 a name is enough, at levels 2 and 3 a password goes with it. Each refusal
// (LERR) says why; the server then waits for another try. It ends the dialogue itself with a
// notice and QUIT (a refused host, the connection limit, too many failed attempts).
// A person is asked at the terminal (the password without echo); a script gives its name and
// password once, and a refusal ends the dialogue.
// Thread safety: the main thread, before the session's reader thread starts.
#pragma once

#include <string>

#include "Connection.h"
#include "InputLines.h"
#include "Screen.h"
#include "Session.h"

namespace msgclient {

class Login {
 public:
  enum class Result {
    LoggedIn,  // CONN arrived; the session knows its name
    Refused,   // the server refused (a LERR to a script) or ended the dialogue
    Lost,      // the connection closed or failed
    GaveUp     // the person's input ended, or a script lacks a password that is needed
  };

  // Asks the person at standard input.
  Login(Screen& screen, InputLines& input);
  // Uses this name and password (hasPassword false: none was given).
  Login(Screen& screen, const std::string& name, const std::string& password, bool hasPassword);

  // Runs the dialogue on the connection; packets that are not part of it go to the session.
  Result run(Connection& connection, Session& session);

 private:
  // Finds the name (and password when the level asks for one) and sends USER. False when the
  // dialogue must end without another try.
  bool answer(Connection& connection, bool withPassword);
  // One line from the person; false at the end of input.
  bool ask(const char* prompt, std::string* answer, bool hidden);

  Screen& screen_;
  InputLines* input_ = nullptr;  // null for a script
  std::string name_;
  std::string password_;
  bool hasPassword_ = false;
};

}  // namespace msgclient

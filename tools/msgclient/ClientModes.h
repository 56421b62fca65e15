// msgclient's classes live in namespace msgclient, so that its parts can be linked into a test
// program beside those of other tools.
//
// The two ways msgclient runs: with a person at the terminal, and as a script that sends each
// line of its input. Each returns the program's exit status.
// Thread safety: the main thread.
#pragma once

#include "ClientArguments.h"
#include "Connection.h"
#include "Screen.h"

namespace msgclient {

// Resolves the host (this machine's name when empty) and connects. False after telling why.
bool openConnection(const ClientArguments& arguments, Connection& connection, Screen& screen);

// 0 when the person left with /quit or the end of input; 1 when the login failed or the
// server ended the session.
int runInteractive(const ClientArguments& arguments);
// 0 only when every line went out, the server answered the QUIT, and no undeliverable notice
// came back; 1 otherwise.
int runScripted(const ClientArguments& arguments);

}  // namespace msgclient

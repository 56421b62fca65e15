#include <cstdio>

#include "ClientModes.h"
#include "TerminalText.h"
#include "platform/Network.h"

namespace msgclient {

bool openConnection(const ClientArguments& arguments, Connection& connection, Screen& screen) {
  char address[16] = "";
  const bool resolved = arguments.host.empty() ? resolveOwnAddress(address)
                                               : resolveHostName(arguments.host.c_str(), address);
  const std::string shown =
      arguments.host.empty() ? std::string("this machine") : TerminalText::escape(arguments.host);
  if (!resolved) {
    screen.error("msgclient: cannot find the address of " + shown);
    return false;
  }
  char where[64];
  std::snprintf(where, sizeof where, "%s port %u", address, static_cast<unsigned>(arguments.port));
  if (!connection.open(address, arguments.port)) {
    screen.error(std::string("msgclient: cannot connect to ") + where);
    return false;
  }
  screen.line(std::string("*** Connected to ") + where + ".");
  return true;
}

}  // namespace msgclient

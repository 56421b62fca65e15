// The program: one server, configured from ".serverrc" in the working directory, driven by
// the operator's commands until Q.
#include <cstdio>

#include "core/Server.h"
#include "platform/Network.h"

int main() {
  // Output reaches a pipe as promptly as a terminal: whole lines at once, prompts flushed.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  startWinsock();
  {
    Server server(10);
    server.readConfigFile(".serverrc");
    server.commandLoop();
    stopWinsock();
  }
  return 0;
}

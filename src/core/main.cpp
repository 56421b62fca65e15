// The program: one server, configured from ".serverrc" in the working directory, driven by
// the operator's commands until Q.
#include <cstdio>

#include "core/Server.h"
#include "platform/Network.h"

int main() {
  // Output reaches a pipe as promptly as a terminal: whole lines at once, prompts flushed.
#ifdef _WIN32
  // The Windows runtime buffers "line-buffered" output fully: a worker's report would wait for
  // the next prompt. Unbuffered, each print reaches the console or the pipe at once.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
#else
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
#endif
  startWinsock();
  {
    Server server(10);
    server.readConfigFile(".serverrc");
    server.commandLoop();
    stopWinsock();
  }
  return 0;
}

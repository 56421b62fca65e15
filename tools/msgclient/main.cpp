// msgclient: a terminal client of the message server, for people and for scripts.
#include <cstdio>
#include <string>
#include <vector>

#include "ClientArguments.h"
#include "ClientModes.h"
#include "platform/Network.h"

using namespace msgclient;

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  ClientArguments arguments;
  std::string problem;
  if (!ClientArguments::parse(words, &arguments, &problem)) {
    std::fprintf(stderr, "msgclient: %s\n%s", problem.c_str(), ClientArguments::usage());
    return 2;
  }
  if (arguments.help) {
    std::fputs(ClientArguments::usage(), stdout);
    return 0;
  }
  startWinsock();
  const int status = arguments.scripted ? runScripted(arguments) : runInteractive(arguments);
  stopWinsock();
  return status;
}

// ClientArguments: the command line of msgclient.
//   msgclient [HOST [PORT]]                                   a person at a terminal
//   msgclient --user NAME --to NAME[,NAME...] [HOST [PORT]]   each line of input as a message
// HOST defaults to this machine's host name and PORT to 5412.
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace msgclient {

struct ClientArguments {
  static constexpr std::uint16_t DEFAULT_PORT = 5412;

  std::string host;  // empty: this machine's host name
  std::uint16_t port = DEFAULT_PORT;
  bool scripted = false;
  std::string user;                     // scripted: the login name
  std::vector<std::string> recipients;  // scripted: where every line goes
  bool help = false;

  // Reads the arguments after the program name. False, with the reason in *problem, when they
  // do not make a valid command line.
  static bool parse(const std::vector<std::string>& words, ClientArguments* arguments,
                    std::string* problem);
  static const char* usage();
};

}  // namespace msgclient

#include "ClientArguments.h"

#include "CommandParser.h"

namespace msgclient {

namespace {

bool readPort(const std::string& text, std::uint16_t* port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  *port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

const char* ClientArguments::usage() {
  return "usage: msgclient [HOST [PORT]]\n"
         "       msgclient --user NAME --to NAME[,NAME...] [HOST [PORT]]\n"
         "The second form logs in as NAME (the password, when the server asks for one, from\n"
         "the environment variable MSGCLIENT_PASSWORD), sends each line of standard input as\n"
         "one message, quits, and exits 0 only when every line went out and no undeliverable\n"
         "notice came back.\n";
}

bool ClientArguments::parse(const std::vector<std::string>& words, ClientArguments* arguments,
                            std::string* problem) {
  *arguments = ClientArguments();
  std::vector<std::string> positional;
  bool toGiven = false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "-h" || word == "--help") {
      arguments->help = true;
    } else if (word == "--user" || word == "--to") {
      if (i + 1 >= words.size()) {
        *problem = word + " needs a value";
        return false;
      }
      const std::string& value = words[++i];
      if (word == "--user") {
        arguments->user = value;
      } else {
        toGiven = true;
        std::string why;
        if (!CommandParser::splitRecipients(value, arguments->recipients, &why)) {
          *problem = "--to: " + why;
          return false;
        }
      }
    } else if (word.size() > 1 && word[0] == '-') {
      *problem = "unknown option " + word;
      return false;
    } else {
      positional.push_back(word);
    }
  }
  if (positional.size() > 2) {
    *problem = "too many arguments";
    return false;
  }
  if (!positional.empty()) arguments->host = positional[0];
  if (positional.size() == 2 && !readPort(positional[1], &arguments->port)) {
    *problem = "not a port: " + positional[1];
    return false;
  }
  if (arguments->user.empty() != !toGiven) {
    *problem = "--user and --to go together";
    return false;
  }
  arguments->scripted = toGiven;
  return true;
}

}  // namespace msgclient

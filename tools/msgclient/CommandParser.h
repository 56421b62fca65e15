// CommandParser: turns a line that the person typed into a command of the client. A line
// that begins with "/" is a command; "//" at the start stands for a text that begins with a
// slash; any other line is text for the last correspondent.
//   /msg NAME[,NAME...] TEXT    a private message
//   /mail NAME[,NAME...] TEXT   mail
//   /all TEXT                   a private message to everyone on line
//   /who  /help  /quit
// Command words match in any letter case; names are case-sensitive, as the server has them.
// Thread safety: pure functions.
#pragma once

#include <string>
#include <vector>

namespace msgclient {

struct Command {
  enum class Kind { Empty, Text, Message, Mail, Everyone, Who, Help, Quit, Invalid };

  Kind kind = Kind::Empty;
  std::vector<std::string> recipients;  // Message and Mail
  std::string text;                     // Text, Message, Mail, Everyone: the body as typed
  std::string problem;                  // Invalid: what to tell the person
};

class CommandParser {
 public:
  static Command parse(const std::string& line);
  // Splits a comma-separated list of names. Empty names between commas are skipped. False,
  // with the reason in *problem, when no name is left or a name holds a byte that the packet
  // format reserves (0x00 or 0xFC-0xFF), which could never reach anyone by that name.
  static bool splitRecipients(const std::string& list, std::vector<std::string>& names,
                              std::string* problem);
};

}  // namespace msgclient

#include "CommandParser.h"

#include <cctype>

namespace msgclient {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string lowerCase(const std::string& word) {
  std::string out = word;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Takes the next blank-separated word from line at *at and moves *at past the blanks after it.
std::string nextWord(const std::string& line, std::size_t* at) {
  std::size_t start = *at;
  std::size_t end = start;
  while (end < line.size() && !isBlank(line[end])) ++end;
  std::size_t next = end;
  while (next < line.size() && isBlank(line[next])) ++next;
  *at = next;
  return line.substr(start, end - start);
}

Command invalid(const std::string& problem) {
  Command command;
  command.kind = Command::Kind::Invalid;
  command.problem = problem;
  return command;
}

}  // namespace

bool CommandParser::splitRecipients(const std::string& list, std::vector<std::string>& names,
                                    std::string* problem) {
  names.clear();
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    std::string name = list.substr(start, comma - start);
    for (unsigned char byte : name) {
      if (byte == 0 || byte >= 0xFC) {
        if (problem != nullptr) *problem = "A name cannot hold the byte that separates names.";
        names.clear();
        return false;
      }
    }
    if (!name.empty()) names.push_back(name);
    start = comma + 1;
  }
  if (names.empty()) {
    if (problem != nullptr) *problem = "No recipient given.";
    return false;
  }
  return true;
}

Command CommandParser::parse(const std::string& line) {
  std::size_t first = 0;
  while (first < line.size() && isBlank(line[first])) ++first;
  if (first == line.size()) return Command{};

  Command command;
  if (line[0] != '/' || line.compare(0, 2, "//") == 0) {
    command.kind = Command::Kind::Text;
    command.text = line[0] == '/' ? line.substr(1) : line;
    return command;
  }

  std::size_t at = 1;
  const std::string word = lowerCase(nextWord(line, &at));
  if (word == "msg" || word == "mail") {
    const char* usage =
        word == "msg" ? "Usage: /msg NAME[,NAME...] TEXT" : "Usage: /mail NAME[,NAME...] TEXT";
    std::string list = nextWord(line, &at);
    if (list.empty() || at >= line.size()) return invalid(usage);
    std::string problem;
    if (!splitRecipients(list, command.recipients, &problem)) return invalid(problem);
    command.kind = word == "msg" ? Command::Kind::Message : Command::Kind::Mail;
    command.text = line.substr(at);
    return command;
  }
  if (word == "all") {
    if (at >= line.size()) return invalid("Usage: /all TEXT");
    command.kind = Command::Kind::Everyone;
    command.text = line.substr(at);
    return command;
  }
  if (word == "who") {
    command.kind = Command::Kind::Who;
  } else if (word == "help") {
    command.kind = Command::Kind::Help;
  } else if (word == "quit") {
    command.kind = Command::Kind::Quit;
  } else {
    return invalid("Unknown command /" + word + ". Type /help for the commands.");
  }
  return command;
}

}  // namespace msgclient

#include "Renderer.h"

#include <cstdio>

#include "TerminalText.h"
#include "platform/System.h"
#include "protocol/Packet.h"

namespace msgclient {

namespace {

const char* kindOf(std::string_view type, const RoutedMessage& message) {
  const bool everyone = !message.recipients.empty() && message.recipients[0] == "everyone";
  if (type == "MAIL") return everyone ? "mail to everyone" : "mail";
  if (type == "GRAP") return "GRAP";
  return everyone ? "everyone" : "private";
}

bool hasFullName(const std::string& fullName) {
  return !fullName.empty() && fullName != "UNAVAILABLE";
}

}  // namespace

std::string Renderer::clock(std::time_t when) {
  char text[16];
  if (formatLocalTime(text, sizeof text, "%H:%M", when) == 0) return "--:--";
  return text;
}

std::string Renderer::message(std::string_view type, const char (&senderName)[8],
                              const RoutedMessage& message, std::time_t arrival) {
  std::string sender = TerminalText::field(senderName, sizeof senderName);
  if (sender.empty()) sender = "(no name)";
  std::string text;
  if (type == "GRAP") {
    char size[32];
    std::snprintf(size, sizeof size, "%zu bytes", message.body.size());
    text = size;
  } else {
    text = TerminalText::escape(message.body);
  }
  return "[" + clock(arrival) + "] " + sender + " (" + kindOf(type, message) + "): " + text;
}

std::string Renderer::notice(const unsigned char* payload, std::size_t length) {
  if (length > 0 && payload[length - 1] == PAYLOAD_END) --length;
  return "*** " + TerminalText::escape(payload, length);
}

std::string Renderer::remark(std::string_view text) { return "*** " + std::string(text); }

std::string Renderer::joined(const RosterEntry& entry) {
  std::string line = "*** " + TerminalText::escape(entry.name) + " joined from " +
                     TerminalText::escape(entry.host);
  if (hasFullName(entry.fullName)) line += " (" + TerminalText::escape(entry.fullName) + ")";
  return line;
}

std::string Renderer::left(std::string_view name) {
  return "*** " + TerminalText::escape(name) + " left";
}

std::vector<std::string> Renderer::who(const std::vector<RosterEntry>& entries) {
  std::vector<std::string> lines;
  if (entries.empty()) {
    lines.push_back("Nobody else is on line.");
    return lines;
  }
  lines.push_back("On line besides you (" + std::to_string(entries.size()) + "):");
  for (const auto& entry : entries) {
    std::string line = "  " + TerminalText::escape(entry.name);
    if (line.size() < 12) line.append(12 - line.size(), ' ');
    line += " from " + TerminalText::escape(entry.host) + " since " +
            clock(static_cast<std::time_t>(entry.since));
    if (hasFullName(entry.fullName)) line += "  " + TerminalText::escape(entry.fullName);
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> Renderer::help() {
  return {
      "Commands:",
      "  /msg NAME[,NAME...] TEXT   a private message to one or more users",
      "  /mail NAME[,NAME...] TEXT  mail to one or more users",
      "  /all TEXT                  a message to everyone on line",
      "  /who                       who is on line",
      "  /help                      this list",
      "  /quit                      leave",
      "A line without a slash goes to the last person you wrote to or who wrote to you;",
      "start it with // to send a text that begins with a slash.",
  };
}

}  // namespace msgclient

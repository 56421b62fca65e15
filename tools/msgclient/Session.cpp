#include "Session.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <string_view>

#include "Renderer.h"
#include "RoutedPayload.h"

namespace msgclient {

namespace {

bool isType(const Packet& packet, const char* code) {
  return std::memcmp(packet.type, code, 4) == 0;
}

// The text of a payload without its final PAYLOAD_END.
std::string_view textOf(const Packet& packet) {
  std::size_t length = packet.length;
  if (length > 0 && packet.payload[length - 1] == PAYLOAD_END) --length;
  return std::string_view(reinterpret_cast<const char*>(packet.payload), length);
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

Session::Session(Connection& connection, Screen& screen)
    : connection_(connection), screen_(screen) {}

Session::~Session() {
  connection_.shutdown();
  if (reader_.joinable()) reader_.join();
}

void Session::loggedIn(const std::string& name) {
  name_ = name;
  connection_.setSenderName(name);
  loggedIn_ = true;
}

void Session::startReading() {
  reader_ = std::thread([this] { readLoop(); });
}

void Session::readLoop() {
  Packet packet;
  while (connection_.receive(&packet) > 0) handle(packet);
  markEnded();
}

void Session::markEnded() {
  {
    std::lock_guard<std::mutex> hold(stateLock_);
    ended_ = true;
  }
  endedChanged_.notify_all();
}

bool Session::waitEnded(int milliseconds) {
  std::unique_lock<std::mutex> hold(stateLock_);
  if (milliseconds < 0) {
    endedChanged_.wait(hold, [this] { return ended_.load(); });
    return true;
  }
  return endedChanged_.wait_for(hold, std::chrono::milliseconds(milliseconds),
                                [this] { return ended_.load(); });
}

void Session::handle(const Packet& packet) {
  if (isType(packet, "MESS")) {
    const std::string_view text = textOf(packet);
    if (startsWith(text, UNDELIVERABLE_PREFIX)) ++undeliverable_;
    if (text == "The server is shutting down!" || text == "Connection terminated by server.") {
      endedByServer_ = true;
    }
    screen_.line(Renderer::notice(packet.payload, packet.length));
  } else if (isType(packet, "PRIV") || isType(packet, "MAIL") || isType(packet, "GRAP")) {
    handleRouted(packet);
  } else if (isType(packet, "USER")) {
    const auto entries = Roster::parse(packet.payload, packet.length);
    roster_.add(entries);
    if (loggedIn_) {
      for (const auto& entry : entries) screen_.line(Renderer::joined(entry));
    }
  } else if (isType(packet, "GONE")) {
    const std::string name(textOf(packet));
    if (roster_.remove(name) && loggedIn_) screen_.line(Renderer::left(name));
  } else if (isType(packet, "QUIT")) {
    if (quitRequested_) {
      quitAnswered_ = true;
    } else {
      endedByServer_ = true;
    }
  }
  // HELO, LEVL, LERR, SYID, MCST and CONN belong to the login; anything else is not for a
  // client and is passed over.
}

void Session::handleRouted(const Packet& packet) {
  RoutedMessage message;
  if (!RoutedPayload::parse(packet.payload, packet.length, &message)) return;
  const std::string_view type(packet.type, 4);
  // The reply target changes before the line is shown: whoever reads the line may answer it
  // at once.
  if (type != "GRAP" && !message.recipients.empty() && message.recipients[0] != "everyone") {
    const std::string sender = senderOf(packet);
    if (!sender.empty() && sender != name_) {
      std::lock_guard<std::mutex> hold(stateLock_);
      correspondents_.assign(1, sender);
    }
  }
  screen_.line(Renderer::message(type, packet.senderName, message, std::time(nullptr)));
}

std::string Session::senderOf(const Packet& packet) const {
  std::size_t length = 0;
  while (length < sizeof packet.senderName && packet.senderName[length] != '\0') ++length;
  std::string field(packet.senderName, length);
  if (length < sizeof packet.senderName) return field;
  std::string only;
  int matches = 0;
  for (const auto& entry : roster_.snapshot()) {
    if (entry.name == field) return field;
    if (startsWith(entry.name, field)) {
      only = entry.name;
      ++matches;
    }
  }
  if (matches == 1) return only;
  if (matches == 0 && startsWith(name_, field)) return name_;
  return field;
}

Session::SendResult Session::sendRouted(const char (&type)[5],
                                        const std::vector<std::string>& recipients,
                                        const std::string& body) {
  std::string payload;
  if (!RoutedPayload::build(recipients, body, &payload)) return SendResult::TooLong;
  if (!connection_.send(type, payload)) return SendResult::Failed;
  if (recipients[0] != "everyone") {
    std::lock_guard<std::mutex> hold(stateLock_);
    correspondents_ = recipients;
  }
  return SendResult::Sent;
}

bool Session::quit() {
  quitRequested_ = true;
  return connection_.send("QUIT", std::string_view());
}

std::vector<std::string> Session::correspondents() const {
  std::lock_guard<std::mutex> hold(stateLock_);
  return correspondents_;
}

}  // namespace msgclient

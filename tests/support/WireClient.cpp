#include "WireClient.h"

#include <cstring>

LoopbackPair::LoopbackPair() {
  ServerSocket listener(0, "127.0.0.1", 4);
  if (!listener.open()) return;
  client = std::make_unique<StreamSocket>(listener.boundPort(), "127.0.0.1");
  if (!client->connect()) return;
  SocketHandle accepted = listener.accept(nullptr);
  if (accepted != 0) server = new StreamSocket(accepted);
  client->setReceiveTimeout(5);
}

std::string wireImage(const std::string& type, const std::string& senderName,
                      const std::string& payload, std::int32_t sequence,
                      const std::string& senderHost, std::uint32_t timestamp) {
  std::string image(40, '\0');
  std::memcpy(&image[0], type.data(), type.size() < 4 ? type.size() : 4);
  std::memcpy(&image[4], senderName.data(), senderName.size() < 8 ? senderName.size() : 8);
  std::memcpy(&image[12], senderHost.data(), senderHost.size() < 16 ? senderHost.size() : 16);
  auto put = [&image](std::size_t at, std::uint32_t value) {
    image[at] = static_cast<char>(value >> 24);
    image[at + 1] = static_cast<char>(value >> 16);
    image[at + 2] = static_cast<char>(value >> 8);
    image[at + 3] = static_cast<char>(value);
  };
  put(28, timestamp);
  put(32, static_cast<std::uint32_t>(sequence));
  put(36, static_cast<std::uint32_t>(payload.size()));
  return image + payload;
}

WireClient::WireClient(std::unique_ptr<StreamSocket> socket) : socket_(std::move(socket)) {}

WireClient::WireClient(std::uint16_t port, const char* host)
    : socket_(std::make_unique<StreamSocket>(port, host)) {
  if (!socket_->connect()) {
    socket_.reset();
    return;
  }
  socket_->setReceiveTimeout(5);
  // As the project's clients do: two small writes in a row would otherwise wait for the
  // server's delayed acknowledgement (40 ms) between them.
  socket_->setNoDelay(1);
}

bool WireClient::readableBefore(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::microseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0 || !socket_) return false;
  return socket_->waitReadable(static_cast<long>(left.count() / 1000000),
                               static_cast<long>(left.count() % 1000000));
}

bool WireClient::readBytes(std::string& bytes, std::size_t count, Milliseconds timeout) {
  bytes.clear();
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[4096];
  while (bytes.size() < count) {
    if (!readableBefore(deadline)) return false;
    std::size_t want = count - bytes.size();
    std::int32_t got = socket_->receive(buffer, static_cast<std::int32_t>(
                                                    want < sizeof buffer ? want : sizeof buffer), 0);
    if (got <= 0) return false;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  return true;
}

bool WireClient::readPacket(Packet& packet, Milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string header;
  if (!readBytes(header, HEADER_SIZE, timeout)) return false;
  std::uint32_t length = readBigEndian32(reinterpret_cast<const unsigned char*>(header.data()) + 36);
  if (length > 1 << 20) return false;
  std::string payload;
  auto left = std::chrono::duration_cast<Milliseconds>(deadline - std::chrono::steady_clock::now());
  if (length > 0 && !readBytes(payload, length, left < Milliseconds(1) ? Milliseconds(1) : left))
    return false;
  std::string image = header + payload;
  packet.deserialize(reinterpret_cast<const unsigned char*>(image.data()));
  return true;
}

std::string WireClient::next(Milliseconds timeout) {
  Packet packet;
  if (!readPacket(packet, timeout)) return "";
  std::string result(packet.type, 4);
  if (packet.length > 0) result += ":" + textOf(packet);
  return result;
}

bool WireClient::skipTo(const std::string& type, Packet& packet, Milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<Milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !readPacket(packet, left)) return false;
    if (std::string(packet.type, 4) == type) return true;
  }
}

bool WireClient::closedByPeer(Milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[4096];
  for (;;) {
    if (!readableBefore(deadline)) return false;
    if (socket_->receive(buffer, sizeof buffer, 0) <= 0) return true;
  }
}

bool WireClient::silentFor(Milliseconds time) {
  return !socket_->waitReadable(static_cast<long>(time.count() / 1000),
                                static_cast<long>(time.count() % 1000) * 1000);
}

bool WireClient::sendRaw(const std::string& bytes) {
  if (!socket_) return false;
  return socket_->send(bytes.data(), static_cast<std::int32_t>(bytes.size()), 0) ==
         static_cast<std::int32_t>(bytes.size());
}

bool WireClient::send(const std::string& type, const std::string& payload,
                      const std::string& senderName) {
  return sendRaw(wireImage(type, senderName, payload));
}

bool WireClient::sendText(const std::string& type, const std::string& text,
                          const std::string& senderName) {
  return send(type, text + "\xFD", senderName);
}

bool WireClient::logIn(const std::string& name, const std::string& password,
                       const std::function<void(const std::string&)>& seen) {
  auto read = [this, &seen] {
    std::string packet = next();
    if (seen) seen(packet);
    return packet;
  };
  std::string level = read();
  for (; level.rfind("LEVL", 0) != 0; level = read()) {
    if (level.empty() || level.rfind("QUIT", 0) == 0) return false;
  }
  // At level 1 (FREEFORALL) the name alone is the answer.
  std::string payload = name;
  if (!password.empty() || level != "LEVL:1") payload += "\xFF" + password;
  if (!sendText("USER", payload)) return false;
  for (std::string packet = read(); packet != "CONN"; packet = read()) {
    if (packet.empty() || packet.rfind("LERR", 0) == 0 || packet.rfind("QUIT", 0) == 0) {
      return false;
    }
  }
  return true;
}

std::string payloadOf(const Packet& packet) {
  return std::string(reinterpret_cast<const char*>(packet.payload), packet.length);
}

std::string textOf(const Packet& packet) {
  if (packet.length == 0) return "";
  return std::string(reinterpret_cast<const char*>(packet.payload), packet.length - 1);
}

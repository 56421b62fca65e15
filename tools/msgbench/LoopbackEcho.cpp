#include "LoopbackEcho.h"

#include <vector>

LoopbackEcho::LoopbackEcho(std::unique_ptr<StreamSocket> socket) : socket_(std::move(socket)) {
  socket_->setBlocking();
  socket_->setNoDelay(1);
  thread_ = std::thread([this] { run(); });
}

LoopbackEcho::~LoopbackEcho() {
  socket_->shutdownBoth();  // wakes a receive that is still waiting
  if (thread_.joinable()) thread_.join();
}

void LoopbackEcho::run() {
  std::vector<unsigned char> buffer(64 * 1024);
  for (;;) {
    const std::int32_t got =
        socket_->receive(buffer.data(), static_cast<std::int32_t>(buffer.size()), 0);
    if (got <= 0) return;
    std::int32_t sent = 0;
    while (sent < got) {
      const std::int32_t accepted = socket_->send(buffer.data() + sent, got - sent, 0);
      if (accepted <= 0) return;
      sent += accepted;
    }
  }
}

#include "DirectScenario.h"

#include <string>

#include "BenchConnection.h"
#include "CpuMeter.h"
#include "LoopbackEcho.h"
#include "MessageBody.h"
#include "platform/AsyncConnect.h"
#include "platform/ServerSocket.h"

DirectScenario::DirectScenario(const BenchOptions& options)
    : MeasuredScenario(options, "direct", 0),
      message_("ping", "pong", static_cast<std::size_t>(options.bodySize)) {}

DirectScenario::~DirectScenario() = default;

bool DirectScenario::open() {
  ServerSocket listener(0, "127.0.0.1", 4);
  if (!loop_.valid() || !listener.open() || listener.boundPort() == 0) {
    report_.problem("cannot listen on loopback");
    return false;
  }
  auto near = std::make_unique<StreamSocket>(listener.boundPort(), "127.0.0.1");
  if (beginConnect(*near) < 0) {
    report_.problem("cannot open a loopback connection");
    return false;
  }
  // On loopback the handshake is done by the time the listener has the connection.
  const SocketHandle accepted = listener.accept(nullptr);
  if (accepted == 0 || finishConnect(*near) < 0) {
    report_.problem("cannot open a loopback connection");
    return false;
  }
  echo_ = std::make_unique<LoopbackEcho>(std::make_unique<StreamSocket>(accepted));
  connection_ = std::make_unique<BenchConnection>(loop_, *this, "direct", 0);
  if (!connection_->adopt(std::move(near))) {
    report_.problem("cannot watch the loopback connection");
    echo_.reset();
    return false;
  }
  return true;
}

void DirectScenario::startSending() { roundTrips_.send(*connection_, message_); }

void DirectScenario::onPacket(BenchConnection& connection, const unsigned char* image,
                              std::size_t size) {
  (void)connection;
  MessageBody body;
  if (!body.readFromImage(image, size) || !roundTrips_.expects(body)) {
    report_.problem("the echo sent back something else than message %u", roundTrips_.sequence());
    return;
  }
  roundTrips_.answered(body);
  if (sending_) roundTrips_.send(*connection_, message_);
}

void DirectScenario::onClosed(BenchConnection& connection) {
  if (measuring_)
    report_.problem("the loopback connection ended: %s", connection.failure().c_str());
}

void DirectScenario::reportMeasuring(const CpuMeter& meter) {
  roundTrips_.report(report_, meter.elapsedSeconds(), options_.bodySize, ", no server");
  report_.cpu(meter, static_cast<double>(roundTrips_.count()), "round trip (both ends)", 0);
  if (roundTrips_.waiting()) report_.problem("the last message never came back");
}

void DirectScenario::close() {
  connection_->close();
  echo_.reset();
}

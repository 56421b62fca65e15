#include "DirectScenario.h"

#include <string>

#include "BenchClock.h"
#include "BenchConnection.h"
#include "CpuMeter.h"
#include "LoopbackEcho.h"
#include "MessageBody.h"
#include "platform/AsyncConnect.h"
#include "platform/ServerSocket.h"

DirectScenario::DirectScenario(const BenchOptions& options)
    : options_(options), report_("direct") {}

DirectScenario::~DirectScenario() = default;

void DirectScenario::sendNext() {
  MessageBody body;
  body.sender = 0;
  body.recipient = 1;
  body.sequence = sequence_;
  body.sentAt = nowNanoseconds();
  connection_->send(message_->stamp(body), message_->size());
  waiting_ = true;
}

void DirectScenario::onPacket(BenchConnection& connection, const unsigned char* image,
                              std::size_t size) {
  (void)connection;
  MessageBody body;
  if (!body.readFromImage(image, size) || body.sequence != sequence_ || !waiting_) {
    report_.problem("the echo sent back something else than message %u", sequence_);
    return;
  }
  roundTrip_.record(nowNanoseconds() - body.sentAt);
  ++roundTrips_;
  ++sequence_;
  waiting_ = false;
  if (sending_) sendNext();
}

void DirectScenario::onClosed(BenchConnection& connection) {
  if (measuring_)
    report_.problem("the loopback connection ended: %s", connection.failure().c_str());
}

ScenarioReport DirectScenario::run() {
  ServerSocket listener(0, "127.0.0.1", 4);
  if (!loop_.valid() || !listener.open() || listener.boundPort() == 0) {
    report_.problem("cannot listen on loopback");
    return report_;
  }
  auto near = std::make_unique<StreamSocket>(listener.boundPort(), "127.0.0.1");
  if (beginConnect(*near) < 0) {
    report_.problem("cannot open a loopback connection");
    return report_;
  }
  // On loopback the handshake is done by the time the listener has the connection.
  const SocketHandle accepted = listener.accept(nullptr);
  if (accepted == 0 || finishConnect(*near) < 0) {
    report_.problem("cannot open a loopback connection");
    return report_;
  }
  LoopbackEcho echo(std::make_unique<StreamSocket>(accepted));
  connection_ = std::make_unique<BenchConnection>(loop_, *this, "direct", 0);
  if (!connection_->adopt(std::move(near))) {
    report_.problem("cannot watch the loopback connection");
    return report_;
  }
  message_ =
      std::make_unique<RoutedMessage>("ping", "pong", static_cast<std::size_t>(options_.bodySize));

  CpuMeter meter(0);
  measuring_ = true;
  sending_ = true;
  meter.start();
  sendNext();
  loop_.runUntil([] { return false; }, meter.startedAt() + secondsToNanoseconds(options_.duration));
  sending_ = false;
  loop_.runUntil([this] { return !waiting_; },
                 nowNanoseconds() + secondsToNanoseconds(options_.drainSeconds()));
  meter.stop();
  measuring_ = false;
  connection_->close();

  const double elapsed = meter.elapsedSeconds();
  report_.figure("%llu round trips, %.0f round trips/s, body %d bytes, no server",
                 static_cast<unsigned long long>(roundTrips_),
                 elapsed > 0 ? roundTrips_ / elapsed : 0.0, options_.bodySize);
  report_.latency("round trip", roundTrip_);
  report_.p50Microseconds = roundTrip_.percentile(0.5) / 1000.0;
  report_.cpu(meter, static_cast<double>(roundTrips_), "round trip (both ends)", 0);
  if (waiting_) report_.problem("the last message never came back");
  return report_;
}

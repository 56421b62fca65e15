#include "PingPongScenario.h"

#include <cstdint>

#include "CpuMeter.h"
#include "MessageBody.h"

namespace {

// The aim: a round trip through the server at most this many times the direct one.
constexpr double kAimRatio = 2.1;

}  // namespace

PingPongScenario::PingPongScenario(const BenchOptions& options, double directP50Microseconds)
    : UserGroupScenario(options, "pingpong", {"ping", "pong"}),
      directP50_(directP50Microseconds),
      ping_(users_[0].name(), users_[1].name(), static_cast<std::size_t>(options.bodySize)),
      pong_(users_[1].name(), users_[0].name(), static_cast<std::size_t>(options.bodySize)) {}

void PingPongScenario::startSending() { roundTrips_.send(users_[0], ping_); }

void PingPongScenario::onPacket(BenchConnection& connection, const unsigned char* image,
                                std::size_t size) {
  if (!isMessage(connection, image, size)) return;
  MessageBody body;
  if (!body.readFromImage(image, size)) {
    report_.unexpected(connection.name(), image, size);
    return;
  }
  const int self = connection.index();
  const int other = 1 - self;
  if (body.recipient != static_cast<std::uint32_t>(self) ||
      body.sender != static_cast<std::uint32_t>(other) ||
      !RoutedMessage::sentBy(image, users_[other].name()) || !roundTrips_.expects(body)) {
    report_.problem(
        "%s received message %u from %s, expected %u from %s", connection.name().c_str(),
        body.sequence,
        body.sender <= 1 ? users_[static_cast<int>(body.sender)].name().c_str() : "nobody",
        roundTrips_.sequence(), users_[other].name().c_str());
    return;
  }
  if (self == 1) {
    // pong answers with the same number and the original send time.
    body.sender = 1;
    body.recipient = 0;
    users_[1].send(pong_.stamp(body), pong_.size());
    return;
  }
  roundTrips_.answered(body);
  if (sending_) roundTrips_.send(users_[0], ping_);
}

void PingPongScenario::reportMeasuring(const CpuMeter& meter) {
  roundTrips_.report(report_, meter.elapsedSeconds(), options_.bodySize, "");
  if (directP50_ > 0) {
    const double ratio = report_.p50Microseconds / directP50_;
    report_.figure("p50 round trip %.2f times the direct one (aim %.1f: %s)", ratio, kAimRatio,
                   ratio <= kAimRatio ? "met" : "missed");
  }
  // Two messages through the server per round trip.
  report_.cpu(meter, 2.0 * static_cast<double>(roundTrips_.count()), "message", 0);
  if (roundTrips_.waiting()) report_.problem("the last message or its answer never arrived");
}

#include "PingPongScenario.h"

#include <cstring>
#include <string>

#include "BenchClock.h"
#include "CpuMeter.h"
#include "MessageBody.h"

namespace {

// The aim: a round trip through the server at most this many times the direct one.
constexpr double kAimRatio = 2.1;

}  // namespace

PingPongScenario::PingPongScenario(const BenchOptions& options, double directP50Microseconds)
    : options_(options),
      directP50_(directP50Microseconds),
      users_(loop_, *this, options, {"ping", "pong"}),
      report_("pingpong") {}

void PingPongScenario::sendPing() {
  MessageBody body;
  body.sender = 0;
  body.recipient = 1;
  body.sequence = sequence_;
  body.sentAt = nowNanoseconds();
  users_[0].send(ping_->stamp(body), ping_->size());
  waiting_ = true;
}

void PingPongScenario::onPacket(BenchConnection& connection, const unsigned char* image,
                                std::size_t size) {
  if (std::memcmp(image, "USER", 4) == 0 || std::memcmp(image, "GONE", 4) == 0) return;
  MessageBody body;
  if (std::memcmp(image, "PRIV", 4) != 0 || !body.readFromImage(image, size)) {
    report_.unexpected(connection.name(), image, size);
    return;
  }
  const int self = connection.index();
  const int other = 1 - self;
  if (body.recipient != static_cast<std::uint32_t>(self) ||
      body.sender != static_cast<std::uint32_t>(other) ||
      !RoutedMessage::sentBy(image, users_[other].name()) || body.sequence != sequence_ ||
      !waiting_) {
    report_.problem(
        "%s received message %u from %s, expected %u from %s", connection.name().c_str(),
        body.sequence,
        body.sender <= 1 ? users_[static_cast<int>(body.sender)].name().c_str() : "nobody",
        sequence_, users_[other].name().c_str());
    return;
  }
  if (self == 1) {
    // pong answers with the same number and the original send time.
    body.sender = 1;
    body.recipient = 0;
    users_[1].send(pong_->stamp(body), pong_->size());
    return;
  }
  roundTrip_.record(nowNanoseconds() - body.sentAt);
  ++roundTrips_;
  ++sequence_;
  waiting_ = false;
  if (sending_) sendPing();
}

void PingPongScenario::onClosed(BenchConnection& connection) {
  if (measuring_) {
    report_.problem("%s lost its connection: %s", connection.name().c_str(),
                    connection.failure().c_str());
  }
}

ScenarioReport PingPongScenario::run() {
  std::string problem;
  if (!loop_.valid()) {
    report_.problem("no event poller");
    return report_;
  }
  if (!users_.logIn(&problem)) {
    report_.problem("%s", problem.c_str());
    users_.logOut(&problem);
    return report_;
  }
  const std::size_t bodySize = static_cast<std::size_t>(options_.bodySize);
  ping_ = std::make_unique<RoutedMessage>(users_[0].name(), users_[1].name(), bodySize);
  pong_ = std::make_unique<RoutedMessage>(users_[1].name(), users_[0].name(), bodySize);

  CpuMeter meter(options_.serverPid);
  measuring_ = true;
  sending_ = true;
  meter.start();
  sendPing();
  loop_.runUntil([] { return false; }, meter.startedAt() + secondsToNanoseconds(options_.duration));
  sending_ = false;
  loop_.runUntil([this] { return !waiting_; },
                 nowNanoseconds() + secondsToNanoseconds(options_.drainSeconds()));
  meter.stop();
  measuring_ = false;

  const double elapsed = meter.elapsedSeconds();
  report_.figure("%llu round trips, %.0f round trips/s, body %d bytes",
                 static_cast<unsigned long long>(roundTrips_),
                 elapsed > 0 ? roundTrips_ / elapsed : 0.0, options_.bodySize);
  report_.latency("round trip", roundTrip_);
  report_.p50Microseconds = roundTrip_.percentile(0.5) / 1000.0;
  if (directP50_ > 0) {
    const double ratio = report_.p50Microseconds / directP50_;
    report_.figure("p50 round trip %.2f times the direct one (aim %.1f: %s)", ratio, kAimRatio,
                   ratio <= kAimRatio ? "met" : "missed");
  }
  // Two messages through the server per round trip.
  report_.cpu(meter, 2.0 * static_cast<double>(roundTrips_), "message", 0);
  if (waiting_) report_.problem("the last message or its answer never arrived");
  if (!users_.logOut(&problem)) report_.problem("logging out: %s", problem.c_str());
  return report_;
}

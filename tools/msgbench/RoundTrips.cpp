#include "RoundTrips.h"

#include "BenchClock.h"
#include "BenchConnection.h"
#include "MessageBody.h"
#include "RoutedMessage.h"
#include "ScenarioReport.h"

void RoundTrips::send(BenchConnection& connection, RoutedMessage& message) {
  const MessageBody body = MessageBody::leavingNow(0, 1, sequence_);
  connection.send(message.stamp(body), message.size());
  waiting_ = true;
}

void RoundTrips::answered(const MessageBody& body) {
  times_.record(nowNanoseconds() - body.sentAt);
  ++count_;
  ++sequence_;
  waiting_ = false;
}

void RoundTrips::report(ScenarioReport& report, double elapsedSeconds, int bodySize,
                        const char* note) const {
  report.figure("%llu round trips, %.0f round trips/s, body %d bytes%s",
                static_cast<unsigned long long>(count_),
                elapsedSeconds > 0 ? count_ / elapsedSeconds : 0.0, bodySize, note);
  report.latency("round trip", times_);
  report.keep(elapsedSeconds > 0 ? count_ / elapsedSeconds : 0.0, "round trips/s", times_);
}

// RoundTrips: one message under way at a time, numbered in turn, the next sent only when the
// answer to the one before is back. Keeps the number under way, the count of round trips and
// their times.
// Thread safety: the loop's thread only.
#pragma once

#include <cstdint>

#include "LatencyHistogram.h"
#include "MessageBody.h"

class BenchConnection;
class RoutedMessage;
class ScenarioReport;

class RoundTrips {
 public:
  // Stamps the message with the next number and the time (sender 0, recipient 1) and queues
  // it on the connection.
  void send(BenchConnection& connection, RoutedMessage& message);
  // True when body answers the message under way.
  bool expects(const MessageBody& body) const { return waiting_ && body.sequence == sequence_; }
  // The answer to the message under way is back (expects(body) held): the round trip counts.
  void answered(const MessageBody& body);

  // A message is on its way, or its answer.
  bool waiting() const { return waiting_; }
  // The number of the message under way, or of the next.
  std::uint32_t sequence() const { return sequence_; }
  std::uint64_t count() const { return count_; }

  // The figures "N round trips, R round trips/s, body B bytes" (then `note`) and the round
  // trip's latency; the report keeps the rate and the round trip's p50 and p99.
  void report(ScenarioReport& report, double elapsedSeconds, int bodySize,
              const char* note) const;

 private:
  LatencyHistogram times_;
  bool waiting_ = false;
  std::uint32_t sequence_ = 0;
  std::uint64_t count_ = 0;
};

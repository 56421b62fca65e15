// PingPongScenario: two users, "ping" and "pong", answer each other through the server: ping
// sends a private message, pong answers it at once, and ping sends the next when the answer
// is back. One message is under way at any time. Measures round trips per second and the
// round trip, which the report compares with the direct scenario's of the same run.
#pragma once

#include <cstdint>
#include <memory>

#include "BenchLoop.h"
#include "BenchOptions.h"
#include "LatencyHistogram.h"
#include "RoutedMessage.h"
#include "Scenario.h"
#include "UserGroup.h"

class PingPongScenario : public Scenario {
 public:
  // directP50Microseconds: the direct round trip of the same run (0 when not measured).
  PingPongScenario(const BenchOptions& options, double directP50Microseconds);
  ScenarioReport run() override;

  void onPacket(BenchConnection& connection, const unsigned char* image, std::size_t size) override;
  void onClosed(BenchConnection& connection) override;

 private:
  void sendPing();

  const BenchOptions& options_;
  double directP50_;
  BenchLoop loop_;
  UserGroup users_;
  ScenarioReport report_;
  std::unique_ptr<RoutedMessage> ping_;
  std::unique_ptr<RoutedMessage> pong_;
  LatencyHistogram roundTrip_;
  bool measuring_ = false;
  bool sending_ = false;
  bool waiting_ = false;  // a ping is on its way, or its answer
  std::uint32_t sequence_ = 0;
  std::uint64_t roundTrips_ = 0;
};

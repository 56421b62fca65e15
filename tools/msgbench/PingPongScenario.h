// PingPongScenario: two users, "ping" and "pong", answer each other through the server: ping
// sends a private message, pong answers it at once, and ping sends the next when the answer
// is back. One message is under way at any time. Measures round trips per second and the
// round trip, which the report compares with the direct scenario's of the same run.
#pragma once

#include "RoundTrips.h"
#include "RoutedMessage.h"
#include "UserGroupScenario.h"

class PingPongScenario : public UserGroupScenario {
 public:
  // directP50Microseconds: the direct round trip of the same run (0 when not measured).
  PingPongScenario(const BenchOptions& options, double directP50Microseconds);

  void onPacket(BenchConnection& connection, const unsigned char* image, std::size_t size) override;

 private:
  void startSending() override;
  bool settled() const override { return !roundTrips_.waiting(); }
  void reportMeasuring(const CpuMeter& meter) override;

  double directP50_;
  RoutedMessage ping_;
  RoutedMessage pong_;
  RoundTrips roundTrips_;
};

// DirectScenario: the ceiling for pingpong: the same message sent back and forth over one
// loopback connection with no server between, msgbench's event loop at one end and an echo
// thread at the other. Measures round trips per second and the round trip.
#pragma once

#include <cstdint>
#include <memory>

#include "BenchLoop.h"
#include "BenchOptions.h"
#include "LatencyHistogram.h"
#include "RoutedMessage.h"
#include "Scenario.h"

class BenchConnection;

class DirectScenario : public Scenario {
 public:
  explicit DirectScenario(const BenchOptions& options);
  ~DirectScenario() override;
  ScenarioReport run() override;

  void onPacket(BenchConnection& connection, const unsigned char* image, std::size_t size) override;
  void onClosed(BenchConnection& connection) override;

 private:
  void sendNext();

  const BenchOptions& options_;
  BenchLoop loop_;
  ScenarioReport report_;
  std::unique_ptr<BenchConnection> connection_;
  std::unique_ptr<RoutedMessage> message_;
  LatencyHistogram roundTrip_;
  bool measuring_ = false;
  bool sending_ = false;
  bool waiting_ = false;
  std::uint32_t sequence_ = 0;
  std::uint64_t roundTrips_ = 0;
};

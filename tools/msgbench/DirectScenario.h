// DirectScenario: the ceiling for pingpong: the same message sent back and forth over one
// loopback connection with no server between, msgbench's event loop at one end and an echo
// thread at the other. Measures round trips per second and the round trip.
#pragma once

#include <memory>

#include "MeasuredScenario.h"
#include "RoundTrips.h"
#include "RoutedMessage.h"

class BenchConnection;
class LoopbackEcho;

class DirectScenario : public MeasuredScenario {
 public:
  explicit DirectScenario(const BenchOptions& options);
  ~DirectScenario() override;

  void onPacket(BenchConnection& connection, const unsigned char* image, std::size_t size) override;
  void onClosed(BenchConnection& connection) override;

 private:
  bool open() override;
  void startSending() override;
  bool settled() const override { return !roundTrips_.waiting(); }
  void reportMeasuring(const CpuMeter& meter) override;
  void close() override;

  std::unique_ptr<LoopbackEcho> echo_;
  std::unique_ptr<BenchConnection> connection_;
  RoutedMessage message_;
  RoundTrips roundTrips_;
};

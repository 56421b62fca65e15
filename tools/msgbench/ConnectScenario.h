// ConnectScenario: several workers, each repeating one cycle as fast as the server lets it:
// connect, answer the greeting, log in, quit, and wait for the server's QUIT and close.
// Measures cycles per second and the time of one cycle.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "BenchConnection.h"
#include "BenchLoop.h"
#include "BenchOptions.h"
#include "LatencyHistogram.h"
#include "Scenario.h"

class ConnectScenario : public Scenario {
 public:
  explicit ConnectScenario(const BenchOptions& options);
  ScenarioReport run() override;

  void onReady(BenchConnection& connection) override;
  void onPacket(BenchConnection& connection, const unsigned char* image, std::size_t size) override;
  void onClosed(BenchConnection& connection) override;

 private:
  // Counts the cycles that have ended since the last call and starts the next ones.
  void settle(bool startMore);
  bool start(int worker);

  const BenchOptions& options_;
  BenchLoop loop_;
  ScenarioReport report_;
  std::vector<std::unique_ptr<BenchConnection>> workers_;
  std::vector<std::uint64_t> startedAt_;
  std::vector<int> ended_;
  LatencyHistogram cycle_;
  std::uint64_t cycles_ = 0;
  std::uint64_t refusals_ = 0;
  int running_ = 0;
};

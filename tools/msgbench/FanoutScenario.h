// FanoutScenario: N users, each sending messages to "everyone", at most `window` of its own
// still on their way to someone at a time. Every user, the sender included, must receive each
// message exactly once. Measures deliveries per second and the time until the last recipient
// has a message.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "BenchLoop.h"
#include "BenchOptions.h"
#include "LatencyHistogram.h"
#include "RoutedMessage.h"
#include "Scenario.h"
#include "UserGroup.h"

class FanoutScenario : public Scenario {
 public:
  explicit FanoutScenario(const BenchOptions& options);
  ScenarioReport run() override;

  void onPacket(BenchConnection& connection, const unsigned char* image, std::size_t size) override;
  void onClosed(BenchConnection& connection) override;

 private:
  struct InFlight {
    std::uint32_t sequence;
    std::uint64_t sentAt;
    int received;
    std::vector<std::uint64_t> receivedBy;  // one bit per user
  };
  struct Sender {
    std::vector<InFlight> window;
    std::uint32_t nextSequence = 0;
    std::uint64_t sent = 0;
    std::unique_ptr<RoutedMessage> message;
  };

  void fillWindow(int sender);
  std::uint64_t inFlight() const;

  const BenchOptions& options_;
  BenchLoop loop_;
  UserGroup users_;
  ScenarioReport report_;
  std::vector<Sender> senders_;
  LatencyHistogram toLast_;
  LatencyHistogram toEach_;
  bool measuring_ = false;
  bool sending_ = false;
  std::uint64_t deliveries_ = 0;
  std::uint64_t completed_ = 0;
};

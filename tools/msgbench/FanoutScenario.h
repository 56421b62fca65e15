// FanoutScenario: N users, each sending messages to "everyone", at most `window` of its own
// still on their way to someone at a time. Every user, the sender included, must receive each
// message exactly once. Measures deliveries per second and the time until the last recipient
// has a message.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "LatencyHistogram.h"
#include "RoutedMessage.h"
#include "UserGroupScenario.h"

class FanoutScenario : public UserGroupScenario {
 public:
  explicit FanoutScenario(const BenchOptions& options);

  void onPacket(BenchConnection& connection, const unsigned char* image, std::size_t size) override;

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

  void startSending() override;
  bool settled() const override { return inFlight() == 0; }
  void reportMeasuring(const CpuMeter& meter) override;
  void fillWindow(int sender);
  std::uint64_t inFlight() const;

  std::vector<Sender> senders_;
  LatencyHistogram toLast_;
  LatencyHistogram toEach_;
  std::uint64_t deliveries_ = 0;
  std::uint64_t completed_ = 0;
};

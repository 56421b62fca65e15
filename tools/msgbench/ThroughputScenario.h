// ThroughputScenario: N users, each sending private messages to others picked at random, at
// most `window` of its own in flight at a time; a message leaves as soon as one of its
// sender's earlier ones has arrived. Measures delivered messages per second and the delivery
// latency, and checks every message: it must reach the user it was meant for, once, in its
// sender's order, with its sender's name in the header.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "LatencyHistogram.h"
#include "RoutedMessage.h"
#include "UserGroupScenario.h"

class ThroughputScenario : public UserGroupScenario {
 public:
  explicit ThroughputScenario(const BenchOptions& options);

  void onPacket(BenchConnection& connection, const unsigned char* image, std::size_t size) override;

 private:
  struct InFlight {
    std::uint32_t sequence;
    std::uint32_t recipient;
  };
  struct Sender {
    std::vector<InFlight> window;
    std::uint32_t nextSequence = 0;
    std::uint64_t sent = 0;
    std::vector<std::unique_ptr<RoutedMessage>> toRecipient;  // built when first needed
  };

  void startSending() override;
  bool settled() const override { return inFlight() == 0; }
  void reportMeasuring(const CpuMeter& meter) override;
  void fillWindow(int sender);
  std::uint32_t pickRecipient(int sender);
  std::uint64_t inFlight() const;

  std::vector<Sender> senders_;
  // For each recipient and sender, one more than the last sequence number received.
  std::vector<std::uint32_t> nextExpected_;
  LatencyHistogram latency_;
  std::uint64_t delivered_ = 0;
  std::uint64_t random_ = 0x9E3779B97F4A7C15ull;
};

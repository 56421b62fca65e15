// FanoutScenario: N users, each sending messages to "everyone", at most `window` of its own
// still on their way to someone at a time, and at most `window` times 25 in all: a message is N
// deliveries, so beyond 25 users the senders take turns, and what is under way grows with N
// rather than with N squared (1000 users with 8 each would have 8 million deliveries queued).
// Every user, the sender included, must receive each message exactly once. Measures deliveries
// per second and the time until the last recipient has a message.
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
  // Sends messages, taking the senders in turn from where the last left off, while a sender has
  // room in its window and the messages under way are fewer than the cap.
  void sendMore();
  void sendOne(int sender);
  std::uint64_t inFlight() const;

  std::vector<Sender> senders_;
  std::uint64_t underWay_ = 0;
  std::uint64_t mostUnderWay_;
  std::size_t nextSender_ = 0;
  LatencyHistogram toLast_;
  LatencyHistogram toEach_;
  std::uint64_t deliveries_ = 0;
  std::uint64_t completed_ = 0;
};

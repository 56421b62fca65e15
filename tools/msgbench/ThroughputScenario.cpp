#include "ThroughputScenario.h"

#include <string>

#include "BenchClock.h"
#include "CpuMeter.h"
#include "MessageBody.h"

namespace {

// The aim for the server's processor time per delivered private message.
constexpr double kAimMicroseconds = 1.0;

}  // namespace

ThroughputScenario::ThroughputScenario(const BenchOptions& options)
    : UserGroupScenario(options, "throughput", UserGroup::numberedNames("t", options.users)),
      senders_(static_cast<std::size_t>(options.users)),
      nextExpected_(static_cast<std::size_t>(options.users) * options.users, 0) {
  for (Sender& sender : senders_) sender.toRecipient.resize(senders_.size());
}

std::uint32_t ThroughputScenario::pickRecipient(int sender) {
  // xorshift64: cheap, and the same series on every run.
  random_ ^= random_ << 13;
  random_ ^= random_ >> 7;
  random_ ^= random_ << 17;
  const std::uint32_t others = static_cast<std::uint32_t>(users_.size() - 1);
  std::uint32_t recipient = static_cast<std::uint32_t>(random_ % others);
  if (recipient >= static_cast<std::uint32_t>(sender)) ++recipient;  // anyone but the sender
  return recipient;
}

void ThroughputScenario::fillWindow(int index) {
  Sender& sender = senders_[static_cast<std::size_t>(index)];
  BenchConnection& connection = users_[index];
  while (sender.window.size() < static_cast<std::size_t>(options_.window)) {
    const std::uint32_t recipient = pickRecipient(index);
    std::unique_ptr<RoutedMessage>& message = sender.toRecipient[recipient];
    if (message == nullptr) {
      message = std::make_unique<RoutedMessage>(connection.name(),
                                                users_[static_cast<int>(recipient)].name(),
                                                static_cast<std::size_t>(options_.bodySize));
    }
    const MessageBody body = MessageBody::leavingNow(static_cast<std::uint32_t>(index),
                                                     recipient, sender.nextSequence++);
    connection.send(message->stamp(body), message->size());
    sender.window.push_back({body.sequence, recipient});
    ++sender.sent;
  }
}

std::uint64_t ThroughputScenario::inFlight() const {
  std::uint64_t count = 0;
  for (const Sender& sender : senders_) count += sender.window.size();
  return count;
}

void ThroughputScenario::onPacket(BenchConnection& connection, const unsigned char* image,
                                  std::size_t size) {
  if (!isMessage(connection, image, size)) return;
  const std::uint64_t now = nowNanoseconds();
  MessageBody body;
  if (!body.readFromImage(image, size) || body.sender >= senders_.size()) {
    report_.problem("%s received a message that msgbench did not send", connection.name().c_str());
    return;
  }
  const std::uint32_t self = static_cast<std::uint32_t>(connection.index());
  if (body.recipient != self) {
    report_.problem("misrouted: message %u of %s for %s reached %s", body.sequence,
                    users_[static_cast<int>(body.sender)].name().c_str(),
                    body.recipient < senders_.size()
                        ? users_[static_cast<int>(body.recipient)].name().c_str()
                        : "nobody",
                    connection.name().c_str());
    return;
  }
  const std::string& senderName = senderOf(image, body);
  std::uint32_t& expected = nextExpected_[self * senders_.size() + body.sender];
  if (body.sequence < expected) {
    report_.problem("message %u of %s reached %s out of order or twice", body.sequence,
                    senderName.c_str(), connection.name().c_str());
  }
  expected = body.sequence + 1;

  Sender& sender = senders_[body.sender];
  std::size_t at = 0;
  while (at < sender.window.size() && sender.window[at].sequence != body.sequence) ++at;
  if (at == sender.window.size() || sender.window[at].recipient != self) {
    report_.problem("message %u of %s reached %s but was not under way to it", body.sequence,
                    senderName.c_str(), connection.name().c_str());
    return;
  }
  sender.window[at] = sender.window.back();
  sender.window.pop_back();
  ++delivered_;
  latency_.record(now - body.sentAt);
  if (sending_) fillWindow(static_cast<int>(body.sender));
}

void ThroughputScenario::startSending() {
  for (int i = 0; i < users_.size(); ++i) fillWindow(i);
}

void ThroughputScenario::reportMeasuring(const CpuMeter& meter) {
  std::uint64_t sent = 0;
  for (const Sender& sender : senders_) sent += sender.sent;
  const std::uint64_t lost = inFlight();
  const double elapsed = meter.elapsedSeconds();
  report_.figure("%d users, window %d, body %d bytes: %llu sent, %llu delivered, %llu lost",
                 users_.size(), options_.window, options_.bodySize,
                 static_cast<unsigned long long>(sent), static_cast<unsigned long long>(delivered_),
                 static_cast<unsigned long long>(lost));
  report_.figure("delivered %.0f messages/s", elapsed > 0 ? delivered_ / elapsed : 0.0);
  report_.latency("delivery latency", latency_);
  report_.keep(elapsed > 0 ? delivered_ / elapsed : 0.0, "delivered/s", latency_);
  report_.cpu(meter, static_cast<double>(delivered_), "delivered message", kAimMicroseconds);
  if (lost > 0) {
    report_.problem("%llu messages never arrived", static_cast<unsigned long long>(lost));
  }
}

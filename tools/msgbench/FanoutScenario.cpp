#include "FanoutScenario.h"

#include <string>

#include "BenchClock.h"
#include "CpuMeter.h"
#include "MessageBody.h"

namespace {

// The aim for the server's processor time per delivery of a message to everyone.
constexpr double kAimMicroseconds = 0.3;
// Up to this many users every sender keeps its window full.
constexpr int kFullWindowUsers = 25;

}  // namespace

FanoutScenario::FanoutScenario(const BenchOptions& options)
    : UserGroupScenario(options, "fanout", UserGroup::numberedNames("f", options.users)),
      senders_(static_cast<std::size_t>(options.users)),
      mostUnderWay_(static_cast<std::uint64_t>(options.window) *
                    static_cast<std::uint64_t>(
                        options.users < kFullWindowUsers ? options.users : kFullWindowUsers)) {}

void FanoutScenario::sendOne(int index) {
  Sender& sender = senders_[static_cast<std::size_t>(index)];
  BenchConnection& connection = users_[index];
  if (sender.message == nullptr) {
    sender.message = std::make_unique<RoutedMessage>(connection.name(), "everyone",
                                                     static_cast<std::size_t>(options_.bodySize));
  }
  const std::size_t words = (senders_.size() + 63) / 64;
  const MessageBody body = MessageBody::leavingNow(static_cast<std::uint32_t>(index),
                                                   MessageBody::EVERYONE, sender.nextSequence++);
  connection.send(sender.message->stamp(body), sender.message->size());
  sender.window.push_back({body.sequence, body.sentAt, 0, std::vector<std::uint64_t>(words, 0)});
  ++sender.sent;
  ++underWay_;
}

void FanoutScenario::sendMore() {
  const std::size_t window = static_cast<std::size_t>(options_.window);
  // One pass over the senders at most: when none has room, nothing can be sent.
  std::size_t looked = 0;
  while (underWay_ < mostUnderWay_ && looked < senders_.size()) {
    const std::size_t index = nextSender_;
    nextSender_ = (nextSender_ + 1) % senders_.size();
    if (senders_[index].window.size() < window) {
      sendOne(static_cast<int>(index));
      looked = 0;
    } else {
      ++looked;
    }
  }
}

std::uint64_t FanoutScenario::inFlight() const {
  std::uint64_t count = 0;
  for (const Sender& sender : senders_) count += sender.window.size();
  return count;
}

void FanoutScenario::onPacket(BenchConnection& connection, const unsigned char* image,
                              std::size_t size) {
  if (!isMessage(connection, image, size)) return;
  const std::uint64_t now = nowNanoseconds();
  MessageBody body;
  if (!body.readFromImage(image, size) || body.sender >= senders_.size() ||
      body.recipient != MessageBody::EVERYONE) {
    report_.problem("%s received a message that msgbench did not send to everyone",
                    connection.name().c_str());
    return;
  }
  const std::string& senderName = senderOf(image, body);
  Sender& sender = senders_[body.sender];
  std::size_t at = 0;
  while (at < sender.window.size() && sender.window[at].sequence != body.sequence) ++at;
  if (at == sender.window.size()) {
    report_.problem("message %u of %s reached %s after everyone had it", body.sequence,
                    senderName.c_str(), connection.name().c_str());
    return;
  }
  InFlight& message = sender.window[at];
  const std::size_t self = static_cast<std::size_t>(connection.index());
  std::uint64_t& word = message.receivedBy[self / 64];
  const std::uint64_t bit = std::uint64_t{1} << (self % 64);
  if (word & bit) {
    report_.problem("message %u of %s reached %s twice", body.sequence, senderName.c_str(),
                    connection.name().c_str());
    return;
  }
  word |= bit;
  ++deliveries_;
  toEach_.record(now - message.sentAt);
  if (++message.received < users_.size()) return;

  toLast_.record(now - message.sentAt);
  ++completed_;
  sender.window[at] = std::move(sender.window.back());
  sender.window.pop_back();
  --underWay_;
  if (sending_) sendMore();
}

void FanoutScenario::startSending() { sendMore(); }

void FanoutScenario::reportMeasuring(const CpuMeter& meter) {
  std::uint64_t sent = 0;
  std::uint64_t missing = 0;
  for (const Sender& sender : senders_) {
    sent += sender.sent;
    for (const InFlight& message : sender.window) missing += users_.size() - message.received;
  }
  const double elapsed = meter.elapsedSeconds();
  report_.figure(
      "%d users, window %d, body %d bytes: %llu messages to everyone, %llu deliveries, %llu "
      "deliveries lost",
      users_.size(), options_.window, options_.bodySize, static_cast<unsigned long long>(sent),
      static_cast<unsigned long long>(deliveries_), static_cast<unsigned long long>(missing));
  if (users_.size() > kFullWindowUsers) {
    report_.figure("the senders took turns: at most %llu messages under way in all",
                   static_cast<unsigned long long>(mostUnderWay_));
  }
  report_.figure("%.0f deliveries/s (%.0f messages/s to everyone)",
                 elapsed > 0 ? deliveries_ / elapsed : 0.0,
                 elapsed > 0 ? completed_ / elapsed : 0.0);
  report_.latency("until the last recipient:", toLast_);
  report_.latency("each delivery:", toEach_);
  report_.keep(elapsed > 0 ? deliveries_ / elapsed : 0.0, "deliveries/s", toLast_);
  report_.cpu(meter, static_cast<double>(deliveries_), "delivery", kAimMicroseconds);
  if (missing > 0) {
    report_.problem("%llu deliveries never arrived", static_cast<unsigned long long>(missing));
  }
}

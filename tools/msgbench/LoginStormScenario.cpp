#include "LoginStormScenario.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "BenchClock.h"
#include "CpuMeter.h"
#include "LoginsScenario.h"
#include "MessageBody.h"

namespace {

// The aim: while 500 users log in, a pair's round trip stays below this at the 99th percentile.
constexpr double kAimP99Milliseconds = 50.0;
constexpr int kAimUsers = 500;
// How often ping sends.
constexpr std::uint64_t kIntervalNanoseconds = 1000 * 1000;

bool isNotice(const unsigned char* image) {
  return std::memcmp(image, "USER", 4) == 0 || std::memcmp(image, "GONE", 4) == 0;
}

}  // namespace

void LoginStormScenario::StormObserver::onPacket(BenchConnection& connection,
                                                 const unsigned char* image, std::size_t size) {
  if (!isNotice(image)) report_.unexpected(connection.name(), image, size);
}

LoginStormScenario::LoginStormScenario(const BenchOptions& options)
    : options_(options),
      report_("loginstorm"),
      pair_(pairLoop_, *this, options, {"ping", "pong"}),
      stormObserver_(report_),
      storm_(stormLoop_, stormObserver_, options, UserGroup::numberedNames("s", options.users)),
      ping_(pair_[0].name(), pair_[1].name(), static_cast<std::size_t>(options.bodySize)),
      pong_(pair_[1].name(), pair_[0].name(), static_cast<std::size_t>(options.bodySize)) {}

void LoginStormScenario::pairProblem(const std::string& text) {
  if (pairProblemCount_++ == 0) pairProblems_ = text;
}

void LoginStormScenario::onClosed(BenchConnection& connection) {
  if (pairMeasuring_) {
    pairProblem(connection.name() + " lost its connection: " + connection.failure());
  }
}

void LoginStormScenario::onPacket(BenchConnection& connection, const unsigned char* image,
                                  std::size_t size) {
  if (isNotice(image)) return;  // the storm's users come and go
  MessageBody body;
  const int self = connection.index();
  const int other = 1 - self;
  if (std::memcmp(image, "PRIV", 4) != 0 || !body.readFromImage(image, size) ||
      body.recipient != static_cast<std::uint32_t>(self) ||
      body.sender != static_cast<std::uint32_t>(other) ||
      !RoutedMessage::sentBy(image, pair_[other].name()) ||
      (self == 0 && body.sequence != nextAnswer_)) {
    pairProblem(connection.name() + " received a packet it did not expect (" +
                std::string(reinterpret_cast<const char*>(image), 4) + ")");
    return;
  }
  if (self == 1) {
    // pong answers with the same number and the original send time.
    body.sender = 1;
    body.recipient = 0;
    pair_[1].send(pong_.stamp(body), pong_.size());
    return;
  }
  ++nextAnswer_;
  unanswered_.pop_front();
  (phase_.load() == QUIET ? quiet_ : during_).record(nowNanoseconds() - body.sentAt);
}

void LoginStormScenario::runPair() {
  pairMeasuring_ = true;
  std::uint64_t sendAt = nowNanoseconds();
  while (phase_.load() != STOPPING && pairProblemCount_ == 0) {
    const std::uint64_t now = nowNanoseconds();
    if (now >= sendAt) {
      const MessageBody body = MessageBody::leavingNow(0, 1, nextSequence_++);
      pair_[0].send(ping_.stamp(body), ping_.size());
      unanswered_.push_back(body.sentAt);
      pairLoop_.runOnce(0);  // it leaves now, not after the next wait
      // On the clock; a send that came late (this thread was not running) moves the clock on
      // rather than sending a burst.
      sendAt = sendAt + kIntervalNanoseconds > now ? sendAt + kIntervalNanoseconds
                                                   : now + kIntervalNanoseconds;
    }
    pairLoop_.runOnce(1);
  }
  // The answers still under way may come, within the drain time.
  const std::uint64_t deadline = nowNanoseconds() + secondsToNanoseconds(options_.drainSeconds());
  pairLoop_.runUntil([this] { return nextAnswer_ == nextSequence_ || pairProblemCount_ > 0; },
                     deadline);
  if (nextAnswer_ != nextSequence_ && pairProblemCount_ == 0) {
    pairProblem(std::to_string(nextSequence_ - nextAnswer_) +
                " of the pair's messages or their answers never arrived");
  }
  // A message never answered waited at least until now: left out, it would make a server that
  // stops answering look quick.
  const std::uint64_t now = nowNanoseconds();
  for (const std::uint64_t sentAt : unanswered_) during_.record(now - sentAt);
  neverAnswered_ = unanswered_.size();
  pairMeasuring_ = false;
}

bool LoginStormScenario::runStorm(std::string* problem) {
  storm_.startLogIn(UserGroup::ALL_AT_ONCE);
  for (;;) {
    const UserGroup::Progress progress = storm_.stepLogIn(problem);
    if (progress != UserGroup::Progress::UnderWay) return progress == UserGroup::Progress::Done;
    stormLoop_.runOnce(2);
  }
}

ScenarioReport LoginStormScenario::run() {
  if (!pairLoop_.valid() || !stormLoop_.valid()) {
    report_.problem("no event poller");
    return report_;
  }
  std::string problem;
  if (!pair_.logIn(&problem)) {
    report_.problem("%s", problem.c_str());
    pair_.logOut(&problem);
    return report_;
  }

  std::thread pairThread([this] { runPair(); });
  // The quiet round trips: the pair alone, for the measuring time.
  const std::uint64_t quietStart = nowNanoseconds();
  const std::uint64_t quietEnd = quietStart + secondsToNanoseconds(options_.duration);
  while (nowNanoseconds() < quietEnd) std::this_thread::sleep_for(std::chrono::milliseconds(5));

  CpuMeter meter(options_.serverPid);
  meter.start();
  phase_ = STORM;
  const bool allIn = runStorm(&problem);
  phase_ = STOPPING;
  meter.stop();
  pairThread.join();

  report_.figure(
      "ping and pong, body %d bytes, a message every %.1f ms: alone for %.2f s, then while the "
      "storm lasted",
      options_.bodySize, static_cast<double>(kIntervalNanoseconds) / 1e6,
      static_cast<double>(quietEnd - quietStart) / 1e9);
  report_.latency("round trip alone:", quiet_);
  LoginsScenario::reportStorm(report_, storm_, options_.loginSeconds(storm_.size()));
  const LatencyHistogram& during = during_;
  report_.latency("round trip during the storm:", during, true);
  if (neverAnswered_ > 0) {
    report_.figure("(%llu of them never answered, counted with the time they had waited)",
                   static_cast<unsigned long long>(neverAnswered_));
  }
  const double duringP99 = during.percentile(0.99) / 1e6;
  if (during.count() > 0 && quiet_.count() > 0) {
    report_.figure("p99 during the storm %.1f times the p99 alone; aim %.0f ms at %d users: %s",
                   duringP99 / (quiet_.percentile(0.99) / 1e6), kAimP99Milliseconds, kAimUsers,
                   duringP99 <= kAimP99Milliseconds ? "met" : "missed");
  }
  report_.p50Microseconds = during.percentile(0.50) / 1000.0;
  report_.p99Microseconds = during.percentile(0.99) / 1000.0;
  report_.cpu(meter, static_cast<double>(storm_.loggedIn()), "login", 0);
  if (!allIn) report_.problem("%s", problem.c_str());
  if (pairProblemCount_ > 0) {
    report_.problem("%s", pairProblems_.c_str());
    if (pairProblemCount_ > 1)
      report_.problem("... and %d more of the pair", pairProblemCount_ - 1);
  }
  if (during.count() == 0 && pairProblemCount_ == 0) {
    report_.problem("no round trip of the pair was under way during the storm");
  }

  // The pair first: its connections are not read while the storm's users log out, and a
  // server with the pair's messages piled up would end them as readers too slow.
  if (!pair_.logOut(&problem)) report_.problem("logging out the pair: %s", problem.c_str());
  if (!storm_.logOut(&problem)) report_.problem("logging out the storm: %s", problem.c_str());
  return report_;
}

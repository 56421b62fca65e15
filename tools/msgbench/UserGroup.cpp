#include "UserGroup.h"

#include <cstdio>

#include "BenchClock.h"
#include "BenchLoop.h"
#include "BenchOptions.h"

namespace {

constexpr std::uint64_t kRetryPauseNanoseconds = 20 * 1000 * 1000;
// A connection that has not been greeted in this time, while the server has greeted no one for
// the second, was dropped by the server. A server that is still working through its queue of
// connections is left to it: closing and opening again would only add dead ones to the queue.
// Each restart of the same user doubles its time, so that a server that stalls again and again
// is not handed the whole storm anew each time.
constexpr std::uint64_t kSilentNanoseconds = 2000ull * 1000 * 1000;
constexpr std::uint64_t kStalledNanoseconds = 5000ull * 1000 * 1000;

}  // namespace

UserGroup::UserGroup(BenchLoop& loop, ConnectionObserver& observer, const BenchOptions& options,
                     const std::vector<std::string>& names)
    : loop_(loop), options_(options), attempts_(names.size()) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    users_.push_back(
        std::make_unique<BenchConnection>(loop, observer, names[i], static_cast<int>(i)));
  }
}

std::vector<std::string> UserGroup::numberedNames(const char* prefix, int count) {
  std::vector<std::string> names;
  const std::size_t width = std::to_string(count < 10 ? 10 : count).size();
  for (int i = 1; i <= count; ++i) {
    const std::string number = std::to_string(i);
    names.push_back(prefix + std::string(width - number.size(), '0') + number);
  }
  return names;
}

void UserGroup::startLogIn(int atOnce) {
  atOnce_ = atOnce;
  underWay_ = 0;
  loginTimes_ = LatencyHistogram();
  loggedIn_ = 0;
  restarts_ = 0;
  firstConnectAt_ = nowNanoseconds();
  lastGreetingAt_ = firstConnectAt_;
  lastLoginAt_ = 0;
  deadline_ = firstConnectAt_ + secondsToNanoseconds(options_.loginSeconds(size()));
  for (Attempt& attempt : attempts_) attempt = Attempt();
}

UserGroup::Progress UserGroup::stepLogIn(std::string* problem) {
  const std::uint64_t now = nowNanoseconds();
  bool allIn = true;
  for (std::size_t i = 0; i < users_.size(); ++i) {
    BenchConnection& user = *users_[i];
    Attempt& attempt = attempts_[i];
    if (attempt.underWay && !attempt.greeted && user.packetsReceived() > 0) {
      attempt.greeted = true;
      lastGreetingAt_ = now;
    }
    if (user.state() == BenchConnection::State::Ready) {
      if (attempt.underWay) {
        attempt.underWay = false;
        --underWay_;
      }
      if (!attempt.counted) {
        attempt.counted = true;
        ++loggedIn_;
        loginTimes_.record(user.readyAt() - attempt.firstAt);
        if (user.readyAt() > lastLoginAt_) lastLoginAt_ = user.readyAt();
      }
      continue;
    }
    allIn = false;
    if (attempt.counted) {
      *problem = user.name() + " lost its connection after logging in";
      if (!user.failure().empty()) *problem += ": " + user.failure();
      return Progress::Failed;
    }
    if (attempt.underWay) {
      if (user.state() == BenchConnection::State::Closed) {
        attempt.underWay = false;
        --underWay_;
        if (!user.refused()) {
          *problem =
              user.failure().empty() ? "login of " + user.name() + " failed" : user.failure();
          return Progress::Failed;
        }
        attempt.currentAt = now + kRetryPauseNanoseconds;  // no room for a moment
      } else if (user.packetsReceived() == 0 &&
                 now - attempt.currentAt > (kSilentNanoseconds << attempt.restarts) &&
                 now - lastGreetingAt_ > kStalledNanoseconds) {
        // Never greeted, and the server has stopped greeting anyone: its queue of connections
        // to accept overflowed and it dropped this one. Try again.
        user.close();
        attempt.underWay = false;
        --underWay_;
        attempt.currentAt = now;
        if (attempt.restarts < 5) ++attempt.restarts;
        ++restarts_;
      }
    }
    if (!attempt.underWay && (atOnce_ == ALL_AT_ONCE || underWay_ < atOnce_) &&
        now >= attempt.currentAt) {
      if (!user.open(options_.host.c_str(), options_.port, options_.password)) {
        *problem = user.failure();
        return Progress::Failed;
      }
      attempt.underWay = true;
      attempt.greeted = false;
      attempt.currentAt = now;
      if (attempt.firstAt == 0) attempt.firstAt = now;
      ++underWay_;
    }
  }
  if (allIn) return Progress::Done;
  if (now >= deadline_) {
    char line[160];
    std::snprintf(line, sizeof line, "only %d of %d users logged in within %g s", loggedIn_, size(),
                  options_.loginSeconds(size()));
    *problem = line;
    for (auto& user : users_) {
      if (user->state() != BenchConnection::State::Ready && !user->failure().empty()) {
        *problem += " (" + user->name() + ": " + user->failure() + ")";
        break;
      }
    }
    return Progress::Failed;
  }
  return Progress::UnderWay;
}

bool UserGroup::logIn(std::string* problem, int atOnce) {
  startLogIn(atOnce);
  for (;;) {
    const Progress progress = stepLogIn(problem);
    if (progress != Progress::UnderWay) return progress == Progress::Done;
    loop_.runOnce(2);
  }
}

bool UserGroup::logOut(std::string* problem) {
  for (auto& user : users_) {
    if (user->state() != BenchConnection::State::Closed) {
      if (user->state() == BenchConnection::State::Ready) {
        user->quit();
      } else if (user->state() != BenchConnection::State::Quitting) {
        user->close();  // a login still under way after a failed start
      }
    }
  }
  const std::uint64_t deadline =
      nowNanoseconds() + secondsToNanoseconds(BenchOptions::logoutSeconds(size()));
  loop_.runUntil(
      [this] {
        for (auto& user : users_) {
          if (user->state() != BenchConnection::State::Closed) return false;
        }
        return true;
      },
      deadline);
  bool clean = true;
  for (auto& user : users_) {
    if (user->state() != BenchConnection::State::Closed) {
      if (clean) *problem = user->name() + " was not let go by the server in time";
      clean = false;
      user->close();
    } else if (!user->failure().empty() && !user->refused() && clean) {
      // (A login refused for want of room was never in, and was reported by the login.)
      *problem = user->failure();
      clean = false;
    }
  }
  return clean;
}

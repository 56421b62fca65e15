#include "UserGroup.h"

#include <cstdio>

#include "BenchClock.h"
#include "BenchLoop.h"
#include "BenchOptions.h"

namespace {

constexpr double kLoginSeconds = 15.0;
constexpr double kLogoutSeconds = 10.0;
constexpr std::uint64_t kRetryPauseNanoseconds = 20 * 1000 * 1000;
// Logins under way at one time: the server's queue of connections waiting to be accepted is
// short (10), and one that overflows it may be dropped without the client being told.
constexpr int kLoginsAtOnce = 5;
// A connection that has not been greeted in this time was dropped by the server.
constexpr std::uint64_t kSilentNanoseconds = 2000ull * 1000 * 1000;

}  // namespace

UserGroup::UserGroup(BenchLoop& loop, ConnectionObserver& observer, const BenchOptions& options,
                     const std::vector<std::string>& names)
    : loop_(loop), options_(options) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    users_.push_back(
        std::make_unique<BenchConnection>(loop, observer, names[i], static_cast<int>(i)));
  }
}

std::vector<std::string> UserGroup::numberedNames(const char* prefix, int count) {
  std::vector<std::string> names;
  const int width = count < 100 ? 2 : 3;
  for (int i = 1; i <= count; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%s%0*d", prefix, width, i);
    names.emplace_back(name);
  }
  return names;
}

bool UserGroup::logIn(std::string* problem) {
  const std::uint64_t deadline = nowNanoseconds() + secondsToNanoseconds(kLoginSeconds);
  // When each user's current attempt began or may begin (0: not yet planned).
  std::vector<std::uint64_t> attemptAt(users_.size(), 0);
  std::vector<bool> attempting(users_.size(), false);
  int underWay = 0;
  for (;;) {
    const std::uint64_t now = nowNanoseconds();
    bool allReady = true;
    for (std::size_t i = 0; i < users_.size(); ++i) {
      BenchConnection& user = *users_[i];
      if (user.state() == BenchConnection::State::Ready) {
        if (attempting[i]) {
          attempting[i] = false;
          --underWay;
        }
        continue;
      }
      allReady = false;
      if (attempting[i]) {
        if (user.state() == BenchConnection::State::Closed) {
          attempting[i] = false;
          --underWay;
          if (!user.refused()) {
            *problem =
                user.failure().empty() ? "login of " + user.name() + " failed" : user.failure();
            return false;
          }
          attemptAt[i] = now + kRetryPauseNanoseconds;  // no room for a moment
        } else if (user.packetsReceived() == 0 && now - attemptAt[i] > kSilentNanoseconds) {
          // Connected, but never greeted: the server's queue of connections to accept
          // overflowed and it dropped this one. Try again.
          user.close();
          attempting[i] = false;
          --underWay;
          attemptAt[i] = now;
        }
      }
      if (!attempting[i] && underWay < kLoginsAtOnce && now >= attemptAt[i]) {
        if (!user.open(options_.host.c_str(), options_.port, options_.password)) {
          *problem = user.failure();
          return false;
        }
        attempting[i] = true;
        attemptAt[i] = now;
        ++underWay;
      }
    }
    if (allReady) return true;
    if (now >= deadline) {
      *problem = "the users could not all log in within the time";
      for (auto& user : users_) {
        if (user->state() != BenchConnection::State::Ready && !user->failure().empty()) {
          *problem += " (" + user->name() + ": " + user->failure() + ")";
          break;
        }
      }
      return false;
    }
    loop_.runOnce(2);
  }
}

bool UserGroup::logOut(std::string* problem) {
  for (auto& user : users_) {
    if (user->state() == BenchConnection::State::Ready) user->quit();
  }
  const std::uint64_t deadline = nowNanoseconds() + secondsToNanoseconds(kLogoutSeconds);
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
    } else if (!user->failure().empty() && clean) {
      *problem = user->failure();
      clean = false;
    }
  }
  return clean;
}

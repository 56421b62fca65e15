// UserGroup: the users of one scenario, each a BenchConnection named PREFIX plus its number,
// logged in together before the measuring and logged out together after it. A login that the
// server refuses for lack of room (the previous scenario's connections may still be counted
// for a moment) is tried again after a short pause; a connection that the server never greets
// (its queue of connections to accept overflowed and it dropped this one) is started again
// once the server has greeted no one for a while.
// Every login is timed from its user's first connect to its CONN.
// Thread safety: the loop's thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BenchConnection.h"
#include "LatencyHistogram.h"

class BenchLoop;
class BenchOptions;
class ConnectionObserver;

class UserGroup {
 public:
  // For logIn and startLogIn: every user connects at once.
  static constexpr int ALL_AT_ONCE = 0;
  // Logins under way at one time when a scenario only needs its users in: well within the
  // server's queue of connections waiting to be accepted.
  static constexpr int SOME_AT_ONCE = 16;

  enum class Progress { UnderWay, Done, Failed };

  UserGroup(BenchLoop& loop, ConnectionObserver& observer, const BenchOptions& options,
            const std::vector<std::string>& names);

  // Connects and logs in every user, at most atOnce at a time, and turns the loop until all
  // are in; false with the reason in *problem when one cannot be logged in within the
  // options' login time.
  bool logIn(std::string* problem, int atOnce = SOME_AT_ONCE);
  // The same in steps, for a scenario that keeps other connections busy meanwhile: startLogIn
  // issues the first connects (all of them for ALL_AT_ONCE) and starts the clock; stepLogIn,
  // called after every turn of the loop, opens what may be opened next and says how far the
  // logins are (Failed with the reason in *problem, once, when one fails or time is up).
  void startLogIn(int atOnce);
  Progress stepLogIn(std::string* problem);
  // Sends QUIT from every user still connected and waits for the server to close each; false
  // with the reason in *problem when one does not end cleanly in time.
  bool logOut(std::string* problem);

  int size() const { return static_cast<int>(users_.size()); }
  BenchConnection& operator[](int index) { return *users_[static_cast<std::size_t>(index)]; }

  // Of the last login: each user's time from its first connect to its CONN, how many users got
  // in, how many connections were started again for want of a greeting, when the first connect
  // left and when the last user got in (BenchClock; 0 before any).
  const LatencyHistogram& loginTimes() const { return loginTimes_; }
  int loggedIn() const { return loggedIn_; }
  int restarts() const { return restarts_; }
  std::uint64_t firstConnectAt() const { return firstConnectAt_; }
  std::uint64_t lastLoginAt() const { return lastLoginAt_; }

  // "t01" ... for count users: the prefix and the number, as wide as count's own (at least
  // two digits): t01..t25, t001..t100, t0001..t1000.
  static std::vector<std::string> numberedNames(const char* prefix, int count);

 private:
  struct Attempt {
    bool underWay = false;
    bool greeted = false;         // the current attempt has had its first packet
    bool counted = false;         // its login is in loginTimes_
    int restarts = 0;             // for want of a greeting (at most 5 counted here)
    std::uint64_t firstAt = 0;    // the user's first connect
    std::uint64_t currentAt = 0;  // when the current attempt began or may begin
  };

  BenchLoop& loop_;
  const BenchOptions& options_;
  std::vector<std::unique_ptr<BenchConnection>> users_;
  std::vector<Attempt> attempts_;
  int atOnce_ = SOME_AT_ONCE;
  int underWay_ = 0;
  std::uint64_t deadline_ = 0;
  LatencyHistogram loginTimes_;
  int loggedIn_ = 0;
  int restarts_ = 0;
  std::uint64_t firstConnectAt_ = 0;
  std::uint64_t lastLoginAt_ = 0;
  std::uint64_t lastGreetingAt_ = 0;  // when a user of the group last had its first packet
};

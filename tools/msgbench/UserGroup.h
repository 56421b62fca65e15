// UserGroup: the users of one scenario, each a BenchConnection named PREFIX plus its number,
// logged in together before the measuring and logged out together after it. A login that the
// server refuses for lack of room (the previous scenario's connections may still be counted
// for a moment) is tried again after a short pause.
// Thread safety: the loop's thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "BenchConnection.h"

class BenchLoop;
class BenchOptions;
class ConnectionObserver;

class UserGroup {
 public:
  UserGroup(BenchLoop& loop, ConnectionObserver& observer, const BenchOptions& options,
            const std::vector<std::string>& names);

  // Connects and logs in every user; false with the reason in *problem when one cannot be
  // logged in within the time.
  bool logIn(std::string* problem);
  // Sends QUIT from every user still connected and waits for the server to close each; false
  // with the reason in *problem when one does not end cleanly in time.
  bool logOut(std::string* problem);

  int size() const { return static_cast<int>(users_.size()); }
  BenchConnection& operator[](int index) { return *users_[static_cast<std::size_t>(index)]; }

  // "t01" ... for count users: the prefix and a number of two digits or more.
  static std::vector<std::string> numberedNames(const char* prefix, int count);

 private:
  BenchLoop& loop_;
  const BenchOptions& options_;
  std::vector<std::unique_ptr<BenchConnection>> users_;
};

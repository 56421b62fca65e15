// StopSignal: requests from outside the program to stop it, or to reopen its logs: on POSIX
// systems SIGTERM and SIGINT (stop) and SIGHUP (reopen); on Windows the console's Ctrl-C,
// Ctrl-Break, close, log-off and shut-down events (stop; Windows has nothing like SIGHUP).
// Thread safety: catch() once, from the main thread before any other thread starts; then one
// thread waits at a time.
#pragma once

class StopSignal {
 public:
  enum class Request { Stop, ReopenLogs };

  // From here on the requests are no longer acted on by the system (which would end the
  // program at once) but kept for wait(): on POSIX systems they are blocked in this thread and
  // every thread started after it.
  static void catchRequests();
  // Waits for the next request.
  static Request wait();
};

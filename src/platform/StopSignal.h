// StopSignal: requests from outside the program to stop it, or to reopen its logs: on POSIX
// systems SIGTERM and SIGINT (stop) and SIGHUP (reopen); on Windows the console's Ctrl-C,
// Ctrl-Break, close, log-off and shut-down events (stop; Windows has nothing like SIGHUP).
// While the console runs, a stop request must also end the console thread's wait for a typed
// line: prepareInputInterrupt marks that thread, and interruptInput ends a read of standard
// input that it is blocked in (on POSIX systems with SIGUSR1, whose handler does nothing; on
// Windows by cancelling the thread's read).
// Thread safety: catchRequests once, from the main thread before any other thread starts; then
// one thread waits at a time. prepareInputInterrupt once, from the thread that reads standard
// input; interruptInput from any thread after it.
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
  // Makes the calling thread the one interruptInput interrupts.
  static void prepareInputInterrupt();
  // Ends a read of standard input that the prepared thread is blocked in: the read fails as
  // interrupted (errno EINTR on POSIX systems). A thread that is not in such a read may have
  // its current wait for something else interrupted instead, or nothing happens; so a caller
  // interrupts only while the thread says it reads, and repeats until it has noticed (the
  // thread may have been about to begin its read).
  static void interruptInput();
};

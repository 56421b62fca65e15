// Starting, stopping and checking the service; all on the console thread.
//
// Stop halts the workers cooperatively: it raises `halting` (from then on only the stopping
// thread may send, and every worker leaves its cycle at its next step), wakes the worker in
// accept by shutting the listener down, takes the logged-in users out of the registry and
// gives up every connection that has not logged in, sends each user its notice and waits
// until the user has it (sendStopNotices), shuts the users' connections down to wake the
// workers that wait for their clients, ends the session loop (which hands its sessions back
// to their workers), joins them all, and frees the slots. The whole stop
// has one budget (kStopBudget): only clients that do not read can use it up.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/NamedLock.h"
#include "core/Server.h"
#include "core/Settings.h"
#include "core/SteadyClock.h"
#include "platform/FileSystem.h"
#include "platform/Mutex.h"
#include "platform/Network.h"
#include "platform/PasswordHash.h"
#include "platform/StreamSocket.h"
#include "platform/System.h"
#include "protocol/Packet.h"
#include "sessions/ConnectionSlot.h"

namespace {

// Connections the listener queues at least; more when the capacity asks for more.
constexpr std::int32_t kListenBacklog = 128;
// What a stop may spend on clients that do not take their notice.
constexpr std::int64_t kStopBudgetMilliseconds = 1000;

bool canOpen(const char* path, const char* mode) {
  std::FILE* file = std::fopen(path, mode);
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

// A data file must be a regular file: a folder opens for reading on some systems and then reads
// as empty, so every login or host check would fail without a word. Checked first, so that a
// pipe is never opened and waited on.
bool isUsableDataFile(const char* path) { return isRegularFile(path) && canOpen(path, "r"); }

}  // namespace

Bool16 Server::runDiagnostics(bool withFileProblems) {
  std::string report = "Errors encountered:";
  // The file's problems come first: they may explain the errors (an unknown security word).
  std::string warnings = withFileProblems ? describeConfigProblems() : std::string();
  bool failed = false;
  auto fail = [&](const std::string& line) {
    report += line;
    failed = true;
  };
  char path[PATH_TEXT_SIZE] = "";  // reported as it is when a getter has no path to copy
  char line[PATH_TEXT_SIZE + 128];

  if (getConnectionLogFile(path, sizeof path) == nullptr || !canOpen(path, "a")) {
    std::snprintf(line, sizeof line, "\n\tError accessing connection log file: %s", path);
    fail(line);
  }
  if (getErrorLogFile(path, sizeof path) == nullptr || !canOpen(path, "a")) {
    std::snprintf(line, sizeof line, "\n\tError accessing error log file: %s", path);
    fail(line);
  }
  const SecurityLevel level = securityLevel;
  if (level != FREEFORALL) {
    if (getPasswdFile(path, sizeof path) == nullptr || !isUsableDataFile(path)) {
      std::snprintf(line, sizeof line, "\n\tError accessing passwd file: %s", path);
      fail(line);
    } else {
      if (isReadableByOthers(path)) {
        std::snprintf(line, sizeof line, "\n\tPassword file %s is readable by other users", path);
        warnings += line;
      }
      long clear = 0;
      long uncheckable = 0;
      if (countPasswordRecords(&clear, &uncheckable)) {
        if (level == SECURE && clear > 0) {
          std::snprintf(line, sizeof line,
                        "\n\tPassword file %s holds %ld password%s in clear text (passwordhash "
                        "stores new ones hashed)",
                        path, clear, clear == 1 ? "" : "s");
          warnings += line;
        }
        if (uncheckable > 0) {
          std::snprintf(line, sizeof line,
                        "\n\tPassword file %s holds %ld hashed password%s this system cannot "
                        "check: %s cannot log in",
                        path, uncheckable, uncheckable == 1 ? "" : "s",
                        uncheckable == 1 ? "that user" : "those users");
          warnings += line;
        }
      }
    }
  }
  if (passwordStorage != CLEAR_PASSWORDS && !PasswordHash::available()) {
    std::snprintf(line, sizeof line,
                  "\n\tPasswords cannot be hashed on this system: no user can be added while "
                  "passwordhash is %s",
                  Settings::passwordStorageName(passwordStorage));
    warnings += line;
  }
  if (hostCheck && (getHostsFile(path, sizeof path) == nullptr || !isUsableDataFile(path))) {
    std::snprintf(line, sizeof line, "\n\tError accessing hosts file: %s", path);
    fail(line);
  }
  // Every file operation takes its file's mutex, whose lock files live in one folder: while
  // that folder cannot be used, no file can be read or written.
  char reason[PATH_TEXT_SIZE + 128];
  if (!Mutex::sharedNamesUsable(reason, sizeof reason)) {
    fail(std::string("\n\tCannot lock the data files: ") + reason);
  }
  if (Settings::securityLevelName(level) == nullptr) {
    std::snprintf(line, sizeof line, "\n\tInvalid security setting (Must be %s)",
                  Settings::securityLevelList());
    fail(line);
  }
  const NumberRange ports = Settings::kPort;
  if (!ports.contains(listener.localPort)) {
    std::snprintf(line, sizeof line, "\n\tInvalid server port: %d (%d - %d)",
                  static_cast<int>(listener.localPort), ports.lowest, ports.highest);
    fail(line);
  }
  char address[Settings::kMulticastAddressSize];
  getMcastAddress(address, sizeof address);
  const SettingProblem addressProblem = Settings::checkMulticastAddress(address);
  if (addressProblem == SettingProblem::Missing) {
    fail("\n\tNo Multicast Group address has been specified!");
  } else if (addressProblem != SettingProblem::None) {
    std::snprintf(line, sizeof line, "\n\tMulticast Group address %s is invalid! (Valid range: %s)",
                  address, Settings::kMulticastRange);
    fail(line);
  }
  if (!ports.contains(mcastPort)) {
    std::snprintf(line, sizeof line, "\n\tInvalid Multicast port: %d (%d - %d)",
                  static_cast<int>(mcastPort), ports.lowest, ports.highest);
    fail(line);
  }
  if (Settings::multicastTtlName(mcastTtl) == nullptr) fail("\n\tInvalid Multicast TTL");
  const std::int32_t users_ = capacity;
  const NumberRange capacities = Settings::kCapacity;
  if (!capacities.contains(users_)) {
    std::snprintf(line, sizeof line, "\n\tInvalid user limit: %d (%d - %d)", users_,
                  capacities.lowest, capacities.highest);
    fail(line);
  }
  if (failed) {
    std::printf("%s\n", report.c_str());
    std::fflush(stdout);
    logError(report.c_str());
  }
  // A warning is for the operator at the console; it is no error, so the log does not get it.
  if (!warnings.empty()) {
    std::printf("Warnings:%s\n", warnings.c_str());
    std::fflush(stdout);
  }
  return failed ? 0 : 1;
}

Bool16 Server::start() {
  if (running) {
    report("Internal Error: Could not start server because it is already running.");
    return 0;
  }
  // The configuration file's problems were shown when it was read; D shows them again.
  if (!runDiagnostics(false)) return 0;
  // A burst of as many connections as the service may serve must find room in the queue: one
  // that finds it full waits for the kernel's retry (a second or more) or is lost.
  const std::int32_t slotCount = capacity + 1;
  listener.backlog = static_cast<std::uint16_t>(
      slotCount > kListenBacklog ? slotCount : kListenBacklog);
  const int systemLargest = largestListenBacklog();
  if (systemLargest > 0 && systemLargest < listener.backlog) {
    std::printf("Note: the system queues at most %d connections for a listener; a burst of more "
                "clients at once will wait.\n",
                systemLargest);
  }
  if (!listener.open()) {
    // Reported, and nothing is left allocated: a service that cannot accept is not running.
    listener.close();
    char text[TEXT_LINE_SIZE];
    std::snprintf(text, sizeof text,
                  "Internal Error: Could not open listening socket on %s port %d: %s.",
                  listener.localAddress[0] != '\0' ? listener.localAddress : "0.0.0.0",
                  static_cast<int>(listener.localPort), listener.failure());
    report(text);
    return 0;
  }
  if (ServerSocket::acceptedTakeOptions()) setConnectionOptions(listener);
  if (!sessionLoop.start([this](ConnectionSlot* slot, Packet* packet, bool retry,
                                std::int64_t* resumeAt) {
        return servePacket(slot, packet, retry, resumeAt);
      })) {
    listener.close();
    report("Internal Error: Failed to start a thread.");
    return 0;
  }
  startTime = std::time(nullptr);
  gate.open();
  // As configured, or resolved when the server was made: never looked up again here, so that
  // what clients are told is where the listener is.
  std::memcpy(localHostText, listener.localAddress, sizeof localHostText);
  listenPort = listener.boundPort();
  acceptor.reset();

  // A worker a slot, the loop, the flusher, the console and the signal watcher.
  expectThreads(slotCount + 8);
  // Every slot exists before the first worker runs: workers walk the whole array.
  sessions.createSlots(slotCount);
  transport.startFlusher();  // without it, notices are written at once
  for (std::int32_t i = 0; i < slotCount; ++i) {
    char text[64];
    std::snprintf(text, sizeof text, "%p %p", static_cast<void*>(slots[i]),
                  static_cast<void*>(this));
    char* argument = strdup(text);
    try {
      slots[i]->thread = new std::thread(&Server::workerThread, argument);
      slots[i]->threadId = static_cast<std::uint32_t>(
          std::hash<std::thread::id>()(slots[i]->thread->get_id()));
    } catch (const std::exception&) {
      std::free(argument);
      report("Internal Error: Failed to start a thread.");
    }
  }
  running = 1;
  return 1;
}

void Server::reportListening() {
  const int port = static_cast<int>(listener.boundPort());
  if (listener.localAddress[0] != '\0') {
    std::printf("Listening on %s port %d.\n", listener.localAddress, port);
  } else {
    std::printf("Listening on 0.0.0.0 port %d (every address: this machine's host name does not "
                "resolve).\n",
                port);
  }
  std::fflush(stdout);
}

Bool16 Server::stop() {
  if (!running) {
    report("Internal Error: Could not stop server because it is not running.");
    return 0;
  }
  gate.beginStop(steadyMilliseconds() + kStopBudgetMilliseconds);
  listener.shutdownBoth();  // the worker in accept wakes up and sees halting
  // Everyone logged in now is owed the notice; no one can log in from here on, and every
  // connection that has not logged in is given up.
  std::vector<ConnectionSlot*> owed;
  sessions.takeEveryoneOut(&owed);
  // Nothing more is written but by this thread; what the flusher had not yet written stays
  // queued, ahead of the notice.
  transport.stopFlusher();
  // No lock is held here: a worker may be finishing a packet to one of them under its send
  // lock.
  Packet notice;
  std::memcpy(notice.senderName, "server\0\0", sizeof notice.senderName);
  std::memcpy(notice.senderHost, localHostText, sizeof notice.senderHost);
  unsigned char image[2 * MAX_WIRE_SIZE];
  const std::int32_t size = composeStopNotice(&notice, image);
  transport.sayGoodbye(owed.data(), static_cast<int>(owed.size()), image, size);
  // Wakes every worker still waiting for its client; nothing more reaches any client. The
  // session loop then hands every session it served back to its worker.
  sessions.shutDownAll();
  sessionLoop.stop();
  // Every worker ends before any slot goes: a running worker may still walk the whole array.
  const std::int32_t slotCount = sessions.slotCount();
  for (std::int32_t i = 0; i < slotCount; ++i) {
    if (slots[i]->thread != nullptr && slots[i]->thread->joinable()) slots[i]->thread->join();
  }
  // Each user the stop dropped ends in the connection log as any departure does.
  for (ConnectionSlot* slot : owed) {
    if (slot->socket == nullptr || slot->userName == nullptr) continue;
    char peer[16] = "";
    slot->socket->getPeerAddress(peer, sizeof peer);
    logDisconnect(slot->userName, slot->socket->localPort, peer);
  }
  for (std::int32_t i = 0; i < slotCount; ++i) teardownSlot(slots[i]);
  sessions.destroySlots();
  listener.close();
  acceptor.reset();
  running = 0;
  startTime = 0;
  gate.open();
  closeLogs();  // the operator may move them while the service is stopped
  return 1;
}

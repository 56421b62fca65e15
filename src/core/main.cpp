// The program: one server, configured from ".serverrc" in the working directory (or the file
// named by --config), driven by the operator's commands until Q, or serving without a console
// until it is asked to stop (--serve). A stop request (SIGTERM, SIGINT, Ctrl-C) stops the
// service as P does in either mode, and a second one during that stop ends the program at once.
// The exit status: 0 after Q or a stop request, 1 when the service could not start (--serve),
// the configuration has problems (--check) or a second request cut a stop short, 2 for a
// command line that cannot be used.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "console/CommandLine.h"
#include "console/ConsoleInput.h"
#include "core/Server.h"
#include "platform/Network.h"
#include "platform/StopSignal.h"

#ifndef MSGSERVER_VERSION
#define MSGSERVER_VERSION "unknown"
#endif

namespace {

// Waits for a second stop request while the first one is carried out, and ends the program at
// once when it comes (later requests to reopen the logs are not acted on any more).
void exitOnSecondRequest() {
  while (StopSignal::wait() != StopSignal::Request::Stop) {
  }
  std::printf("Stopped at once.\n");
  std::fflush(stdout);
  std::_Exit(1);
}

// Serves until a stop request: the service stops as P stops it, every user told; a second
// request during that stop ends the program at once.
int serve(Server& server) {
  if (!server.start()) {
    std::printf("Server not started.\n");
    return 1;
  }
  std::printf("Server started.\n");
  server.reportListening();
  while (StopSignal::wait() == StopSignal::Request::ReopenLogs) server.closeLogs();
  std::thread(exitOnSecondRequest).detach();
  if (server.stop()) std::printf("Server Stopped.\n");
  return 0;
}

// The server whose logs a request to reopen them closes, while the console runs: the watch
// below outlives it (it is never joined), so main takes it back before the server goes.
std::mutex watchedLock;
Server* watched = nullptr;

void closeWatchedLogs() {
  std::lock_guard<std::mutex> hold(watchedLock);
  if (watched != nullptr) watched->closeLogs();
}

// The console's watch for requests, on a thread of its own: a stop request ends the console's
// input, so that the console quits as at the end of its input (stopping a running service
// first); the console thread is interrupted until it has seen that, for it may be waiting for
// a line. A request to reopen the logs closes them.
void watchConsoleRequests() {
  while (StopSignal::wait() == StopSignal::Request::ReopenLogs) closeWatchedLogs();
  ConsoleInput::requestEnd();
  std::thread([] {
    while (!ConsoleInput::ended()) {
      if (ConsoleInput::isWaiting()) StopSignal::interruptInput();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }).detach();
  exitOnSecondRequest();
}

}  // namespace

int main(int argc, char** argv) {
  // Output reaches a pipe as promptly as a terminal: whole lines at once, prompts flushed.
#ifdef _WIN32
  // The Windows runtime buffers "line-buffered" output fully: a worker's report would wait for
  // the next prompt. Unbuffered, each print reaches the console or the pipe at once.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
#else
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
#endif
  // First of all: from here on a write to a closed pipe or connection fails instead of ending
  // the program, whether it goes to a client or to standard output.
  startWinsock();
  const CommandLine line = CommandLine::parse(argc, argv);
  if (!line.error.empty()) {
    std::fprintf(stderr, "msgserver: %s\n%s", line.error.c_str(), CommandLine::kUsage);
    return 2;
  }
  if (line.mode == CommandLine::Mode::Help) {
    std::printf("%s", CommandLine::kUsage);
    return 0;
  }
  if (line.mode == CommandLine::Mode::Version) {
    std::printf("msgserver %s\n", MSGSERVER_VERSION);
    return 0;
  }
  // Before any thread starts, so that every thread leaves the requests to the one that waits.
  // The dialogues of --add-user and --add-host keep the system's way: a request ends them.
  const bool console = line.mode == CommandLine::Mode::Console;
  if (line.mode == CommandLine::Mode::Serve || console) StopSignal::catchRequests();
  int status = 0;
  {
    Server server(10);
    // --check prints the file's problems once, with the other checks.
    const bool fileRead =
        server.readConfigFile(line.configPath.c_str(), line.mode != CommandLine::Mode::Check);
    switch (line.mode) {
      case CommandLine::Mode::Check:
        if (!server.runDiagnostics()) {
          status = 1;
          std::printf("Diagnostics Complete: Errors found.\n");
        } else if (!fileRead || !server.configProblems.empty()) {
          status = 1;
          std::printf("Diagnostics Complete: Problems found in the configuration file.\n");
        } else {
          std::printf("Diagnostics Complete: No errors found.\n");
        }
        break;
      case CommandLine::Mode::Serve:
        status = serve(server);
        break;
      case CommandLine::Mode::AddUser:
        server.promptAddUser();
        break;
      case CommandLine::Mode::AddHost:
        server.promptAddHost();
        break;
      default:
        StopSignal::prepareInputInterrupt();
        {
          std::lock_guard<std::mutex> hold(watchedLock);
          watched = &server;
        }
        std::thread(watchConsoleRequests).detach();
        server.commandLoop();
        {
          std::lock_guard<std::mutex> hold(watchedLock);
          watched = nullptr;
        }
        break;
    }
    std::fflush(stdout);
    stopWinsock();
  }
  return status;
}

// ChildProcess: runs a program of the project (the real server binary, a client) with its
// console on pipes or on a pseudo-terminal, so a test can type at it and read what it prints.
// Every wait is bounded; the destructor kills a child that is still running.
#pragma once

#include <chrono>
#include <string>
#include <vector>

class ChildProcess {
 public:
  enum class Console { Pipes, Terminal };

  // Starts program with arguments in workingDirectory; extra environment entries are
  // "NAME=value". Standard error goes to the same place as standard output.
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
               const std::string& workingDirectory, Console console = Console::Pipes,
               const std::vector<std::string>& environment = {});
  ~ChildProcess();

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  int pid() const { return pid_; }
  // Types text at the console.
  void write(const std::string& text);
  // Ends the console input (a closed pipe; end-of-file on a terminal).
  void closeInput();
#ifndef _WIN32
  // Closes the test's end of the terminal: the child's terminal hangs up (SIGHUP, then its
  // reads end). What the child prints afterwards is lost. Terminal consoles only.
  void hangUp();
  // Stops reading what the child prints: its next write to the pipe fails (Pipes consoles).
  void closeOutput();
#endif
  // Waits until what the child printed, from the start, contains text; false on a time-out.
  bool waitFor(const std::string& text,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits until the text occurs count times in all output.
  bool waitForCount(const std::string& text, int count,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Everything the child has printed so far.
  const std::string& output();
  // Output printed after mark (a length of output() taken earlier).
  std::string outputSince(std::size_t mark);
  // Waits for the child to end; its exit code, or -1 on a time-out or an abnormal end.
  int waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Whether the terminal's echo is on now (Terminal consoles only).
  bool terminalEcho();

 private:
  void pump(std::chrono::milliseconds wait);

  int pid_ = -1;
  int input_ = -1;   // what the test writes
  int output_ = -1;  // what the test reads
  int terminal_ = -1;
  std::string captured_;
  int exitCode_ = -2;
#ifdef _WIN32
  void* process_ = nullptr;  // the child's process handle; the pipes' handles sit in input_, output_
#endif
};

#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& workingDirectory, Console console,
                           const std::vector<std::string>& environment) {
  ::signal(SIGPIPE, SIG_IGN);
  int toChild[2] = {-1, -1};
  int fromChild[2] = {-1, -1};
  int master = -1;
  int slave = -1;
  if (console == Console::Pipes) {
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) return;
  } else {
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return;
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
  }
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  pid_ = ::fork();
  if (pid_ == 0) {
    if (console == Console::Pipes) {
      ::dup2(toChild[0], 0);
      ::dup2(fromChild[1], 1);
      ::dup2(fromChild[1], 2);
    } else {
      ::setsid();
      ::ioctl(slave, TIOCSCTTY, 0);
      ::dup2(slave, 0);
      ::dup2(slave, 1);
      ::dup2(slave, 2);
      if (slave > 2) ::close(slave);
    }
    if (::chdir(workingDirectory.c_str()) != 0) ::_exit(126);
    for (const auto& entry : environment) ::putenv(const_cast<char*>(entry.c_str()));
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  if (console == Console::Pipes) {
    ::close(toChild[0]);
    ::close(fromChild[1]);
    input_ = toChild[1];
    output_ = fromChild[0];
  } else {
    ::close(slave);
    terminal_ = master;
    input_ = master;
    output_ = master;
  }
  ::fcntl(output_, F_SETFL, ::fcntl(output_, F_GETFL) | O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && exitCode_ == -2) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (terminal_ >= 0) {
    ::close(terminal_);
  } else {
    if (input_ >= 0) ::close(input_);
    if (output_ >= 0) ::close(output_);
  }
}

void ChildProcess::write(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size() && input_ >= 0) {
    ssize_t written = ::write(input_, text.data() + done, text.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pump(std::chrono::milliseconds(10));
        continue;
      }
      return;
    }
    done += static_cast<std::size_t>(written);
  }
}

void ChildProcess::closeInput() {
  if (terminal_ >= 0) {
    char eof = 4;  // Ctrl-D at the start of a line
    ssize_t written = ::write(terminal_, &eof, 1);
    (void)written;
    return;
  }
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

void ChildProcess::hangUp() {
  if (terminal_ < 0) return;
  pump(std::chrono::milliseconds(0));
  ::close(terminal_);
  terminal_ = input_ = output_ = -1;
}

void ChildProcess::closeOutput() {
  if (terminal_ >= 0 || output_ < 0) return;
  pump(std::chrono::milliseconds(0));
  ::close(output_);
  output_ = -1;
}

void ChildProcess::pump(std::chrono::milliseconds wait) {
  if (output_ < 0) return;
  pollfd entry{output_, POLLIN, 0};
  if (::poll(&entry, 1, static_cast<int>(wait.count())) <= 0) return;
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(output_, buffer, sizeof buffer);
    if (got <= 0) return;
    captured_.append(buffer, static_cast<std::size_t>(got));
  }
}

int ChildProcess::waitExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  if (exitCode_ != -2) return exitCode_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    pump(std::chrono::milliseconds(0));
    int status = 0;
    pid_t ended = ::waitpid(pid_, &status, WNOHANG);
    if (ended == pid_) {
      pump(std::chrono::milliseconds(0));
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return exitCode_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    pump(std::chrono::milliseconds(20));
  }
}

bool ChildProcess::terminalEcho() {
  termios mode{};
  if (terminal_ < 0 || ::tcgetattr(terminal_, &mode) != 0) return false;
  return (mode.c_lflag & ECHO) != 0;
}

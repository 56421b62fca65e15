// ChildProcess on Windows: CreateProcess with the child's standard input, output and error on
// anonymous pipes. Windows has no pseudo-terminal that a test can type at and ask about its
// echo, so Console::Terminal is refused (the tests that need one are skipped by the Windows
// test main, which says why).
#include "ChildProcess.h"

#include "platform/windows/WindowsApi.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

HANDLE toHandle(int value) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(value)); }
int fromHandle(HANDLE handle) { return static_cast<int>(reinterpret_cast<std::intptr_t>(handle)); }

// One argument quoted the way the runtime's command-line parser takes it apart again.
std::string quoted(const std::string& word) {
  if (!word.empty() && word.find_first_of(" \t\n\v\"") == std::string::npos) return word;
  std::string text = "\"";
  std::size_t backslashes = 0;
  for (char c : word) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      text.append(backslashes * 2 + 1, '\\');
    } else {
      text.append(backslashes, '\\');
    }
    backslashes = 0;
    text += c;
  }
  text.append(backslashes * 2, '\\');
  return text + "\"";
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// This process's environment with the extra "NAME=value" entries in place of any of the same
// name (names compare without regard to case, as Windows does).
std::string environmentBlock(const std::vector<std::string>& extra) {
  std::vector<std::string> entries;
  if (char* current = ::GetEnvironmentStringsA()) {
    for (const char* entry = current; *entry != '\0'; entry += std::strlen(entry) + 1) {
      entries.emplace_back(entry);
    }
    ::FreeEnvironmentStringsA(current);
  }
  for (const auto& added : extra) {
    const std::string name = upper(added.substr(0, added.find('=') + 1));
    for (auto it = entries.begin(); it != entries.end();) {
      // Entries that begin with '=' are the per-drive folders; they have no name to match.
      if (!it->empty() && (*it)[0] != '=' && upper(it->substr(0, name.size())) == name) {
        it = entries.erase(it);
      } else {
        ++it;
      }
    }
    entries.push_back(added);
  }
  std::string block;
  for (const auto& entry : entries) block += entry + '\0';
  return block + '\0';
}

// The child's ends of the pipes are inheritable only while CreateProcess runs, under this lock,
// so that a child started at the same time by another thread takes none of them.
std::mutex& spawnLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& workingDirectory, Console console,
                           const std::vector<std::string>& environment) {
  if (console == Console::Terminal) {
    ADD_FAILURE() << "Windows has no pseudo-terminal for a child's console";
    return;
  }
  HANDLE childInput = nullptr;
  HANDLE parentInput = nullptr;
  HANDLE parentOutput = nullptr;
  HANDLE childOutput = nullptr;
  if (!::CreatePipe(&childInput, &parentInput, nullptr, 1 << 16)) return;
  if (!::CreatePipe(&parentOutput, &childOutput, nullptr, 1 << 16)) {
    ::CloseHandle(childInput);
    ::CloseHandle(parentInput);
    return;
  }
  std::string commandLine = quoted(program);
  for (const auto& argument : arguments) commandLine += " " + quoted(argument);
  std::string block = environmentBlock(environment);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childInput;
  startup.hStdOutput = childOutput;
  startup.hStdError = childOutput;
  PROCESS_INFORMATION started{};
  BOOL made;
  {
    std::lock_guard<std::mutex> guard(spawnLock());
    ::SetHandleInformation(childInput, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    ::SetHandleInformation(childOutput, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    made = ::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, block.data(),
                            workingDirectory.empty() ? nullptr : workingDirectory.c_str(),
                            &startup, &started);
    ::CloseHandle(childInput);
    ::CloseHandle(childOutput);
  }
  if (!made) {
    ::CloseHandle(parentInput);
    ::CloseHandle(parentOutput);
    return;
  }
  ::CloseHandle(started.hThread);
  process_ = started.hProcess;
  pid_ = static_cast<int>(started.dwProcessId);
  input_ = fromHandle(parentInput);
  output_ = fromHandle(parentOutput);
}

ChildProcess::~ChildProcess() {
  if (process_ != nullptr) {
    if (exitCode_ == -2 && ::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
      ::TerminateProcess(process_, 137);
      ::WaitForSingleObject(process_, 10000);
    }
    ::CloseHandle(process_);
  }
  if (input_ != -1) ::CloseHandle(toHandle(input_));
  if (output_ != -1) ::CloseHandle(toHandle(output_));
}

void ChildProcess::write(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size() && input_ != -1) {
    DWORD written = 0;
    if (!::WriteFile(toHandle(input_), text.data() + done, static_cast<DWORD>(text.size() - done),
                     &written, nullptr)) {
      return;
    }
    done += written;
  }
}

void ChildProcess::closeInput() {
  if (input_ != -1) ::CloseHandle(toHandle(input_));
  input_ = -1;
}

void ChildProcess::pump(std::chrono::milliseconds wait) {
  if (output_ == -1) return;
  // Anonymous pipes cannot be waited on: look at what is waiting in short steps.
  auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    DWORD available = 0;
    if (!::PeekNamedPipe(toHandle(output_), nullptr, 0, nullptr, &available, nullptr)) return;
    if (available > 0) break;
    if (std::chrono::steady_clock::now() >= deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  char buffer[4096];
  for (;;) {
    DWORD available = 0;
    if (!::PeekNamedPipe(toHandle(output_), nullptr, 0, nullptr, &available, nullptr) ||
        available == 0) {
      return;
    }
    DWORD got = 0;
    DWORD wanted = available < sizeof buffer ? available : static_cast<DWORD>(sizeof buffer);
    if (!::ReadFile(toHandle(output_), buffer, wanted, &got, nullptr) || got == 0) return;
    captured_.append(buffer, got);
  }
}

int ChildProcess::waitExit(std::chrono::milliseconds timeout) {
  if (process_ == nullptr) return -1;
  if (exitCode_ != -2) return exitCode_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    pump(std::chrono::milliseconds(0));
    if (::WaitForSingleObject(process_, 0) == WAIT_OBJECT_0) {
      pump(std::chrono::milliseconds(0));
      DWORD code = 0;
      exitCode_ = ::GetExitCodeProcess(process_, &code) ? static_cast<int>(code) : -1;
      return exitCode_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    pump(std::chrono::milliseconds(20));
  }
}

bool ChildProcess::terminalEcho() { return false; }

#include "ForkedChildWindows.h"

#include "platform/windows/WindowsApi.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr const char* kMark = "MSGSERVER_FORKED_CHILD";

HANDLE toHandle(int end) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(end)); }
int toEnd(HANDLE handle) { return static_cast<int>(reinterpret_cast<std::intptr_t>(handle)); }

// The mark's value: "<read end> <write end> <text>".
std::string mark() {
  char value[4096];
  DWORD length = ::GetEnvironmentVariableA(kMark, value, sizeof value);
  return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

}  // namespace

namespace ForkedChild {

bool isChild() { return !mark().empty(); }

int childReadEnd() { return std::atoi(mark().c_str()); }

int childWriteEnd() {
  const std::string value = mark();
  std::size_t space = value.find(' ');
  return space == std::string::npos ? -1 : std::atoi(value.c_str() + space + 1);
}

std::string handedText() {
  const std::string value = mark();
  std::size_t first = value.find(' ');
  std::size_t second = first == std::string::npos ? first : value.find(' ', first + 1);
  return second == std::string::npos ? std::string() : value.substr(second + 1);
}

bool openPipes(int (&toChild)[2], int (&toParent)[2]) {
  HANDLE ends[4] = {};
  if (!::CreatePipe(&ends[0], &ends[1], nullptr, 0)) return false;
  if (!::CreatePipe(&ends[2], &ends[3], nullptr, 0)) {
    ::CloseHandle(ends[0]);
    ::CloseHandle(ends[1]);
    return false;
  }
  toChild[0] = toEnd(ends[0]);
  toChild[1] = toEnd(ends[1]);
  toParent[0] = toEnd(ends[2]);
  toParent[1] = toEnd(ends[3]);
  return true;
}

void* start(const std::string& text, int (&toChild)[2], int (&toParent)[2]) {
  char program[MAX_PATH];
  DWORD length = ::GetModuleFileNameA(nullptr, program, sizeof program);
  if (length == 0 || length >= sizeof program) return nullptr;
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  std::string commandLine = std::string("\"") + program + "\" --gtest_filter=" +
                            test->test_suite_name() + "." + test->name();
  const std::string value =
      std::to_string(toChild[0]) + " " + std::to_string(toParent[1]) + " " + text;
  ::SetHandleInformation(toHandle(toChild[0]), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  ::SetHandleInformation(toHandle(toParent[1]), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  ::SetEnvironmentVariableA(kMark, value.c_str());
  // The child's own test output goes nowhere: its result is its exit code.
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION started{};
  BOOL made = ::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                               nullptr, &startup, &started);
  ::SetEnvironmentVariableA(kMark, nullptr);
  closeEnd(toChild[0]);
  closeEnd(toParent[1]);
  if (!made) return nullptr;
  ::CloseHandle(started.hThread);
  return started.hProcess;
}

int reap(void*& process, std::chrono::milliseconds timeout) {
  if (process == nullptr) return -1;
  if (::WaitForSingleObject(process, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    return -1;
  }
  DWORD code = 0;
  BOOL known = ::GetExitCodeProcess(process, &code);
  ::CloseHandle(process);
  process = nullptr;
  return known ? static_cast<int>(code) : -1;
}

void kill(void*& process) {
  if (process == nullptr) return;
  ::TerminateProcess(process, 137);
  ::WaitForSingleObject(process, 10000);
  ::CloseHandle(process);
  process = nullptr;
}

void closeEnd(int& end) {
  if (end != -1) ::CloseHandle(toHandle(end));
  end = -1;
}

bool sendByte(int end) {
  DWORD written = 0;
  return ::WriteFile(toHandle(end), "x", 1, &written, nullptr) && written == 1;
}

bool readByte(int end, std::chrono::milliseconds timeout) {
  // Anonymous pipes cannot be waited on: look in short steps.
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    DWORD available = 0;
    if (!::PeekNamedPipe(toHandle(end), nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available > 0) break;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  char byte;
  DWORD got = 0;
  return ::ReadFile(toHandle(end), &byte, 1, &got, nullptr) && got == 1;
}

void exitChild(int code) {
  std::fflush(nullptr);
  ::ExitProcess(static_cast<UINT>(code));
}

}  // namespace ForkedChild

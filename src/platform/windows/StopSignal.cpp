#include "platform/windows/WindowsApi.h"

#include "platform/StopSignal.h"

namespace {

HANDLE requested = nullptr;  // an auto-reset event, set once for each request
HANDLE inputThread = nullptr;  // the thread whose reads interruptInput cancels

BOOL WINAPI onConsoleEvent(DWORD /*event*/) {
  ::SetEvent(requested);
  // Handled: the system does not end the program (for a close, log-off or shut-down it still
  // does once the handler has had its few seconds; the stop is under way by then).
  return TRUE;
}

}  // namespace

void StopSignal::catchRequests() {
  if (requested == nullptr) requested = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

StopSignal::Request StopSignal::wait() {
  ::WaitForSingleObject(requested, INFINITE);
  return Request::Stop;
}

void StopSignal::prepareInputInterrupt() {
  if (inputThread != nullptr) return;
  ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(),
                    &inputThread, 0, FALSE, DUPLICATE_SAME_ACCESS);
}

void StopSignal::interruptInput() {
  // The runtime's read of standard input then fails, and reads as its end.
  if (inputThread != nullptr) ::CancelSynchronousIo(inputThread);
}

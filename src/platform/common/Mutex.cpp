#include "platform/Mutex.h"

#include "platform/NamedMutexRegistry.h"

Mutex::Mutex(Bool16 initialOwner, const char* name_, void*) : KernelObject(name_) {
  std::uint32_t error = ERROR_SUCCESS;
  handle = NamedMutexRegistry::create(name, initialOwner != 0, &error);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    lastError = error;
    reportError(lastError, "KernelObject", 65);
    return;
  }
  lastError = name != nullptr ? error : ERROR_SUCCESS;
}

Mutex::Mutex(const char* name_, Bool16, std::uint32_t) : KernelObject(name_) {
  std::uint32_t error = ERROR_SUCCESS;
  handle = name != nullptr ? NamedMutexRegistry::open(name, &error) : nullptr;
  if (handle == nullptr) {
    lastError = name != nullptr ? error : ERROR_INVALID_HANDLE;
    return;
  }
  lastError = ERROR_SUCCESS;
}

Mutex::~Mutex() = default;

std::uint32_t Mutex::wait(std::uint32_t milliseconds) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return WAIT_FAILED;
  return NamedMutexRegistry::wait(handle, milliseconds);
}

Bool16 Mutex::release() {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return 0;
  return NamedMutexRegistry::release(handle) ? 1 : 0;
}

char* Mutex::copyLockProblem(char* buffer, std::size_t size) const {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  return NamedMutexRegistry::lockProblem(handle, buffer, size) ? buffer : nullptr;
}

Bool16 Mutex::sharedNamesUsable(char* buffer, std::size_t size) {
  return NamedMutexRegistry::checkLockFolder(buffer, size) ? 1 : 0;
}

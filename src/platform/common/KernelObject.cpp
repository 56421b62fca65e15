#include "platform/KernelObject.h"

#include <cstdlib>
#include <cstring>

#include "platform/NamedMutexRegistry.h"

KernelObject::KernelObject(const char* name_)
    : name(nullptr), handle(nullptr), lastError(ERROR_INVALID_HANDLE) {
  if (name_ != nullptr) {
    std::size_t length = std::strlen(name_);
    name = static_cast<char*>(std::malloc(length + 1));
    if (name != nullptr) std::memcpy(name, name_, length + 1);
  }
}

KernelObject::~KernelObject() {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    // The registry closes the kernel object with the last wrapper of its name.
    NamedMutexRegistry::closeHandle(handle);
    handle = nullptr;
  }
  std::free(name);
  name = nullptr;
}

char* KernelObject::copyName(char* buffer, std::size_t size) const {
  if (name == nullptr || buffer == nullptr || size == 0) return nullptr;
  std::strncpy(buffer, name, size - 1);  // pads with NULs up to size - 1
  buffer[size - 1] = '\0';
  return buffer;
}

void reportError(std::uint32_t, const char*, int) {}

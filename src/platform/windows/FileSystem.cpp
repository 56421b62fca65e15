#include "platform/windows/WindowsApi.h"

#include "platform/FileSystem.h"

FileCreation createNewFile(const char* path, unsigned /*mode*/) {
  if (path == nullptr) return FileCreation::Failed;
  // CREATE_NEW fails on anything already there; a reparse point (a link) is opened as itself,
  // never followed.
  HANDLE file = ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? FileCreation::Exists
                                                                       : FileCreation::Failed;
  }
  ::CloseHandle(file);
  return FileCreation::Created;
}

bool isRegularFile(const char* path) {
  if (path == nullptr) return false;
  const DWORD attributes = ::GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

// Windows files have an access list, not group and other bits.
bool isReadableByOthers(const char* /*path*/) { return false; }

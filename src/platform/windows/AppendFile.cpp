#include "platform/windows/WindowsApi.h"

#include "platform/AppendFile.h"

namespace {

HANDLE handleOf(std::intptr_t file) { return reinterpret_cast<HANDLE>(file); }

// The volume and the file's index on it: what makes a file the same file under any name.
bool identityOf(HANDLE handle, BY_HANDLE_FILE_INFORMATION* information) {
  return ::GetFileInformationByHandle(handle, information) != 0;
}

}  // namespace

AppendFile::AppendFile()
    : file_(reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE)), device_(0), index_(0) {}

AppendFile::~AppendFile() { close(); }

Bool16 AppendFile::open(const char* path) {
  close();
  // Appending only, and shared for deletion so that the log can be renamed while it is open.
  HANDLE handle = ::CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
  if (handle == INVALID_HANDLE_VALUE) return 0;
  file_ = reinterpret_cast<std::intptr_t>(handle);
  return 1;
}

void AppendFile::close() {
  if (isOpen()) ::CloseHandle(handleOf(file_));
  file_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
}

bool AppendFile::isOpen() const { return handleOf(file_) != INVALID_HANDLE_VALUE; }

bool AppendFile::isAtPath(const char* path) const {
  if (!isOpen()) return false;
  // A file removed while open keeps its name until its last handle is closed.
  FILE_STANDARD_INFO standard{};
  if (!::GetFileInformationByHandleEx(handleOf(file_), FileStandardInfo, &standard,
                                      sizeof standard) ||
      standard.DeletePending) {
    return false;
  }
  HANDLE named = ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION open{};
  BY_HANDLE_FILE_INFORMATION other{};
  const bool same = identityOf(handleOf(file_), &open) && identityOf(named, &other) &&
                    open.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
                    open.nFileIndexHigh == other.nFileIndexHigh &&
                    open.nFileIndexLow == other.nFileIndexLow;
  ::CloseHandle(named);
  return same;
}

Bool16 AppendFile::append(const char* bytes, std::size_t length) {
  if (!isOpen()) return 0;
  DWORD written = 0;
  if (!::WriteFile(handleOf(file_), bytes, static_cast<DWORD>(length), &written, nullptr)) {
    return 0;
  }
  return written == length ? 1 : 0;
}

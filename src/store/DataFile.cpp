#include "store/DataFile.h"

#include <cctype>

#include "core/Server.h"
#include "platform/FileSystem.h"

DataFile::DataFile(Server& server, const char* kind, const char* path, const Creation* creation)
    : server_(server), kind_(kind), path_(path), file_(nullptr) {
  lock_.emplace(kind, path);
  if (!lock_->held()) {
    char message[FileLock::kReportSize];
    lock_->describeFailure(message, sizeof message);
    lock_.reset();
    server_.report(message);
    return;
  }
  file_ = std::fopen(path, "r");
  if (file_ == nullptr && creation != nullptr) {
    const FileCreation made = createNewFile(path, creation->mode);
    if (made == FileCreation::Created) {
      std::printf("Created %s file %s.\n", creation->noun, path);
    }
    // Exists: another process made the file since, or a link is there; either is read as it
    // is, and a link that leads nowhere stays inaccessible.
    if (made != FileCreation::Failed) file_ = std::fopen(path, "r");
  }
  if (file_ == nullptr) {
    lock_.reset();
    reportInaccessible();
  }
}

DataFile::~DataFile() { finish(); }

void DataFile::finish() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  lock_.reset();
}

bool DataFile::append(const char* text) {
  if (file_ != nullptr) std::fclose(file_);
  // Update mode, not append mode, so that a file removed meanwhile is not created again.
  file_ = std::fopen(path_, "r+");
  bool written = false;
  if (file_ != nullptr) {
    bool joinsLastLine = std::fseek(file_, -1, SEEK_END) == 0 && std::fgetc(file_) != '\n';
    written = std::fseek(file_, 0, SEEK_END) == 0 &&
              std::fprintf(file_, "%s%s\n", joinsLastLine ? "\n" : "", text) >= 0;
    if (std::fclose(file_) != 0) written = false;
    file_ = nullptr;
  }
  lock_.reset();
  if (!written) reportInaccessible();
  return written;
}

void DataFile::reportInaccessible() {
  char message[PATH_TEXT_SIZE + 64];
  // The kind starts the sentence here: "Passwd file passwd inaccessible."
  std::snprintf(message, sizeof message, "Internal Error: %c%s file %s inaccessible.",
                std::toupper(static_cast<unsigned char>(kind_[0])), kind_ + 1, path_);
  server_.report(message);
}

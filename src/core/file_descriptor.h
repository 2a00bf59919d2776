// FileDescriptor: closes an open descriptor on every way out of a scope.
// Close errors are of no interest to its users: a reader only reads, and a
// writer has already synced what it wrote. Movable; a moved-from descriptor
// holds nothing.
#pragma once

#include <unistd.h>

#include <utility>

namespace quordb {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    FileDescriptor taken(std::move(other));
    std::swap(fd_, taken.fd_);
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { Close(); }

  int get() const noexcept { return fd_; }
  void Close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

}  // namespace quordb

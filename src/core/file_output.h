// Writing a build's bytes to its file: complete writes that retry interrupted
// calls and continue short ones, and a buffered output over them.
//
// Every failure is a StoreError of kind Io: the system's text for a failed
// call, or the caller's text for a write that accepted nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "core/error.h"
#include "core/format.h"

namespace quordb {

// Writes all of `data`; gives 0, the failing call's errno, or kAcceptedNothing.
inline constexpr int kAcceptedNothing = -1;
int WriteAll(int fd, Bytes data) noexcept;

// `zero_write_text` names the failure of a write that accepts nothing.
Status WriteAll(int fd, Bytes data, const char* zero_write_text);

// WriteAll at offset `at`, leaving the file's offset alone.
Status WriteAllAt(int fd, Bytes data, uint64_t at, const char* zero_write_text);

// Output through a buffer of `buffer_size` bytes: small pieces are gathered,
// a piece at least as large as the buffer goes to the file directly without a
// copy. Starts the kernel's writeback every few MiB, so that the sync at the
// end finds most of the file already on its way to the disk. Not thread-safe.
class BufferedOutput {
 public:
  // `at`: where the file's offset stands.
  BufferedOutput(int fd, size_t buffer_size, uint64_t at = 0);

  Status Write(Bytes data);
  Status Flush();

  // The unused tail of the buffer, for a caller that encodes in place and
  // then hands over what it filled with Commit.
  std::span<uint8_t> Room() noexcept { return {buffer_.get() + used_, buffer_size_ - used_}; }
  void Commit(size_t n) noexcept { used_ += n; }
  size_t room() const noexcept { return buffer_size_ - used_; }
  size_t buffered() const noexcept { return used_; }
  size_t buffer_size() const noexcept { return buffer_size_; }

 private:
  Status Put(Bytes data, const char* zero_write_text);

  int fd_;
  size_t buffer_size_;
  size_t used_ = 0;
  uint64_t written_;
  uint64_t handed_;  // bytes whose writeback has been started
  std::unique_ptr<uint8_t[]> buffer_;
};

}  // namespace quordb

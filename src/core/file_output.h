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
#include <thread>

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
// end finds most of the file already on its way to the disk. Can keep a CRC
// of what passes through, taken a stretch of the buffer at a time: one call
// per small piece would cost more than the checksum itself.
//
// A buffer of two huge pages or more makes room by writing out only what lies
// before the last huge-page boundary of the file and keeping the rest: each
// write then covers whole aligned stretches of the file, which the page
// cache of a disk file holds as huge pages, and a reader mapping the file
// finds a record without a page-table walk.
//
// HandOver does the same on a thread of its own while a second buffer
// fills, so that a caller producing the bytes need not wait on the kernel;
// every other call first waits for that write (Settle). Not thread-safe,
// and a process must not fork while a write is handed over.
class BufferedOutput {
 public:
  // `at`: where the file's offset stands.
  BufferedOutput(int fd, size_t buffer_size, uint64_t at = 0);
  BufferedOutput(const BufferedOutput&) = delete;
  BufferedOutput& operator=(const BufferedOutput&) = delete;
  ~BufferedOutput();

  Status Write(Bytes data);
  // Writes out every buffered byte.
  Status Flush();
  // Writes out buffered bytes to make room (see above).
  Status MakeRoom();

  // MakeRoom on another thread, once the write handed over before has
  // finished; gives that one's outcome.
  Status HandOver();
  // Waits for the write handed over last, if any; gives its outcome.
  Status Settle();

  // Starts the CRC of every byte handed over from now on.
  void StartCrc() noexcept {
    crc_on_ = true;
    crc_from_ = used_;
  }
  // The CRC of the bytes handed over since StartCrc, buffered ones included;
  // no write may be handed over (Settle first).
  uint32_t Crc() noexcept {
    TakeCrc();
    return crc_;
  }

  // The unused tail of the buffer, for a caller that encodes in place and
  // then hands over what it filled with Commit.
  std::span<uint8_t> Room() noexcept { return {buffer_.get() + used_, buffer_size_ - used_}; }
  void Commit(size_t n) noexcept {
    used_ += n;
    TakeCrcOfStretch();
  }
  // Room() and Commit() must not be used while a write is handed over.
  size_t room() const noexcept { return buffer_size_ - used_; }
  size_t buffered() const noexcept { return used_; }
  size_t buffer_size() const noexcept { return buffer_size_; }

 private:
  Status Put(Bytes data, const char* zero_write_text);
  // How many buffered bytes MakeRoom writes out.
  size_t RoomMakingPart() const noexcept;
  // Moves the buffered bytes from `n` on to the front of `to` (the buffer,
  // or the spare one) as the whole buffer, once the first `n` are out.
  void KeepTail(size_t n, uint8_t* to) noexcept;
  // Adds the buffered bytes not yet in the CRC.
  void TakeCrc() noexcept;
  // TakeCrc once a stretch has gathered, while it is still in the cache;
  // while a write is handed over, the CRC is that thread's to take first.
  void TakeCrcOfStretch() noexcept {
    if (used_ - crc_from_ >= kCrcStretch && !writing_.joinable()) TakeCrc();
  }

  static constexpr size_t kCrcStretch = size_t{64} << 10;

  int fd_;
  size_t buffer_size_;
  size_t used_ = 0;
  uint64_t buffer_at_;  // where in the file the buffer's first byte goes
  uint64_t written_;
  uint64_t handed_;  // bytes whose writeback has been started
  std::unique_ptr<uint8_t[]> buffer_;
  bool crc_on_ = false;
  uint32_t crc_ = 0;
  size_t crc_from_ = 0;  // the first buffered byte not yet in the CRC
  // The buffer a handed-over write reads, the thread writing it and its
  // outcome; while it runs, only that thread touches crc_ and the counts
  // of bytes written.
  std::unique_ptr<uint8_t[]> spare_;
  std::thread writing_;
  Status handed_over_ = OkStatus();
};

}  // namespace quordb

#include "core/file_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "core/huge_pages.h"

namespace quordb {
namespace {

constexpr size_t kWritebackStep = size_t{8} << 20;

}  // namespace

int WriteAll(int fd, Bytes data) noexcept {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return kAcceptedNothing;
    data = data.subspan(static_cast<size_t>(n));
  }
  return 0;
}

Status WriteAll(int fd, Bytes data, const char* zero_write_text) {
  const int failure = WriteAll(fd, data);
  if (failure == 0) return OkStatus();
  if (failure == kAcceptedNothing) return StoreError::Io(zero_write_text);
  return StoreError::Os(failure);
}

Status WriteAllAt(int fd, Bytes data, uint64_t at, const char* zero_write_text) {
  while (!data.empty()) {
    const ssize_t n = ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(at));
    if (n < 0) {
      if (errno == EINTR) continue;
      return StoreError::Os(errno);
    }
    if (n == 0) return StoreError::Io(zero_write_text);
    data = data.subspan(static_cast<size_t>(n));
    at += static_cast<uint64_t>(n);
  }
  return OkStatus();
}

// The buffer is left uninitialised: pages of a large one that are never
// filled never become resident.
BufferedOutput::BufferedOutput(int fd, size_t buffer_size, uint64_t at)
    : fd_(fd),
      buffer_size_(buffer_size),
      buffer_at_(at),
      written_(at),
      handed_(at),
      buffer_(new uint8_t[buffer_size]) {}

BufferedOutput::~BufferedOutput() { (void)Settle(); }

Status BufferedOutput::Write(Bytes data) {
  if (data.size() > buffer_size_ - used_) QUORDB_RETURN_IF_ERROR(MakeRoom());
  if (data.size() > buffer_size_ - used_) QUORDB_RETURN_IF_ERROR(Flush());
  if (data.size() >= buffer_size_) {
    // Large pieces go in steps, each handed to the disk at once and each
    // ending on a step boundary of the file.
    while (!data.empty()) {
      const size_t to_boundary = kWritebackStep - buffer_at_ % kWritebackStep;
      const Bytes step = data.first(std::min(data.size(), to_boundary));
      if (crc_on_) crc_ = Crc32(step, crc_);
      QUORDB_RETURN_IF_ERROR(Put(step, "failed to write whole buffer"));
      buffer_at_ += step.size();
      data = data.subspan(step.size());
    }
    return OkStatus();
  }
  if (data.empty()) return OkStatus();  // an empty section may have no storage at all
  std::memcpy(buffer_.get() + used_, data.data(), data.size());
  used_ += data.size();
  TakeCrcOfStretch();
  return OkStatus();
}

Status BufferedOutput::Flush() {
  QUORDB_RETURN_IF_ERROR(Settle());
  TakeCrc();
  crc_from_ = 0;
  const size_t used = std::exchange(used_, 0);
  buffer_at_ += used;
  return Put({buffer_.get(), used}, "failed to write the buffered data");
}

size_t BufferedOutput::RoomMakingPart() const noexcept {
  if (buffer_size_ < 2 * kHugePageSize) return used_;
  const uint64_t boundary = (buffer_at_ + used_) & ~uint64_t{kHugePageSize - 1};
  return boundary > buffer_at_ ? static_cast<size_t>(boundary - buffer_at_) : used_;
}

void BufferedOutput::KeepTail(size_t n, uint8_t* to) noexcept {
  if (used_ > n) std::memmove(to, buffer_.get() + n, used_ - n);
  used_ -= n;
  buffer_at_ += n;
  // Either all the bytes kept are in the CRC, or none of them.
  crc_from_ = crc_from_ > n ? crc_from_ - n : 0;
}

Status BufferedOutput::MakeRoom() {
  QUORDB_RETURN_IF_ERROR(Settle());
  const size_t n = RoomMakingPart();
  if (n == used_) return Flush();
  TakeCrc();
  QUORDB_RETURN_IF_ERROR(Put({buffer_.get(), n}, "failed to write the buffered data"));
  KeepTail(n, buffer_.get());
  return OkStatus();
}

Status BufferedOutput::HandOver() {
  QUORDB_RETURN_IF_ERROR(Settle());
  const size_t n = RoomMakingPart();
  if (n == 0) return OkStatus();
  if (!spare_) spare_.reset(new uint8_t[buffer_size_]);
  // The bytes before crc_from_ are in the CRC; the thread takes the rest of
  // those it writes, before any kept here.
  const Bytes out{buffer_.get(), n};
  const size_t crc_from = std::min(crc_from_, n);
  KeepTail(n, spare_.get());
  std::swap(buffer_, spare_);
  try {
    writing_ = std::thread([this, out, crc_from] {
      if (crc_on_) crc_ = Crc32(out.subspan(crc_from), crc_);
      handed_over_ = Put(out, "failed to write the buffered data");
    });
  } catch (const std::system_error&) {
    // No thread to be had: written here instead.
    if (crc_on_) crc_ = Crc32(out.subspan(crc_from), crc_);
    return Put(out, "failed to write the buffered data");
  }
  return OkStatus();
}

Status BufferedOutput::Settle() {
  if (!writing_.joinable()) return OkStatus();
  writing_.join();
  return std::exchange(handed_over_, OkStatus());
}

void BufferedOutput::TakeCrc() noexcept {
  if (crc_on_ && used_ > crc_from_)
    crc_ = Crc32({buffer_.get() + crc_from_, used_ - crc_from_}, crc_);
  crc_from_ = used_;
}

Status BufferedOutput::Put(Bytes data, const char* zero_write_text) {
  QUORDB_RETURN_IF_ERROR(WriteAll(fd_, data, zero_write_text));
  written_ += data.size();
  if (written_ - handed_ >= kWritebackStep) {
    // Only a start: errors surface at the sync, which waits for it all.
    (void)::sync_file_range(fd_, static_cast<off_t>(handed_),
                            static_cast<off_t>(written_ - handed_), SYNC_FILE_RANGE_WRITE);
    handed_ = written_;
  }
  return OkStatus();
}

}  // namespace quordb

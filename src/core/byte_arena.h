// ByteArena: one growing block of bytes for data the engine only appends to.
//
// Backed by an anonymous mapping that grows with mremap, so growing never
// copies the bytes already held and never needs old and new blocks at once:
// peak memory stays at the bytes written plus at most one growth step of
// untouched (non-resident) address space. Large blocks take huge pages, so up
// to 2 MiB past the bytes written may be resident. Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quordb {

class ByteArena {
 public:
  ByteArena() noexcept = default;
  ByteArena(ByteArena&& other) noexcept;
  ByteArena& operator=(ByteArena&& other) noexcept;
  ByteArena(const ByteArena&) = delete;
  ByteArena& operator=(const ByteArena&) = delete;
  ~ByteArena();

  // Appends `n` bytes and returns where they start; the caller fills them.
  // The pointer stays valid until the next Append. Throws std::bad_alloc.
  uint8_t* Append(size_t n) {
    if (n > capacity_ - size_) Grow(n);
    uint8_t* at = data_ + size_;
    size_ += n;
    return at;
  }

  // Forgets everything from `size` on; keeps the capacity.
  void Truncate(size_t size) noexcept {
    if (size < size_) size_ = size;
  }

  // Gives back the capacity past the bytes held, down to whole pages, for
  // an arena that is done growing.
  void ShrinkToFit() noexcept;

  uint8_t* data() noexcept { return data_; }
  const uint8_t* data() const noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  std::span<const uint8_t> bytes() const noexcept { return {data_, size_}; }

 private:
  void Grow(size_t n);

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace quordb

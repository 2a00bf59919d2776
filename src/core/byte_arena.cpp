#include "core/byte_arena.h"

#include <sys/mman.h>
#include <unistd.h>

#include <new>
#include <utility>

#include "core/huge_pages.h"

namespace quordb {
namespace {

constexpr size_t kFirstCapacity = size_t{1} << 16;

}  // namespace

ByteArena::ByteArena(ByteArena&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

ByteArena& ByteArena::operator=(ByteArena&& other) noexcept {
  // The block held so far leaves with `taken`; a self-move swaps it back.
  ByteArena taken(std::move(other));
  std::swap(data_, taken.data_);
  std::swap(size_, taken.size_);
  std::swap(capacity_, taken.capacity_);
  return *this;
}

ByteArena::~ByteArena() {
  if (data_ != nullptr) munmap(data_, capacity_);
}

void ByteArena::Grow(size_t n) {
  if (n > SIZE_MAX / 2 - size_) throw std::bad_alloc();
  size_t capacity = capacity_ == 0 ? kFirstCapacity : capacity_;
  while (capacity - size_ < n) capacity *= 2;
  // mremap moves the pages instead of copying them, and never needs the old
  // and the new block at once.
  void* block = data_ == nullptr ? mmap(nullptr, capacity, PROT_READ | PROT_WRITE,
                                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                 : mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
  if (block == MAP_FAILED) throw std::bad_alloc();
  AdviseHugePages(block, capacity);
  data_ = static_cast<uint8_t*>(block);
  capacity_ = capacity;
}

void ByteArena::ShrinkToFit() noexcept {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t capacity = (size_ + page - 1) / page * page;
  if (data_ == nullptr || capacity >= capacity_) return;
  if (capacity == 0) {
    munmap(data_, capacity_);
    data_ = nullptr;
  } else if (mremap(data_, capacity_, capacity, 0) == MAP_FAILED) {
    return;
  }
  capacity_ = capacity;
}

}  // namespace quordb

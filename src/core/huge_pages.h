// Huge pages for the engine's large tables.
//
// Filling a fresh table of tens of megabytes costs a page fault every 4 KiB,
// which measured as a third of opening a large file. Blocks of 2 MiB and
// more are therefore mapped directly and offered to the kernel's transparent
// huge pages, where it grants them; smaller blocks come from the heap.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace quordb {

inline constexpr size_t kHugePageSize = size_t{2} << 20;

// Asks for `block` to be backed by huge pages. Only advice: where the kernel
// has them off, the block keeps small pages.
inline void AdviseHugePages(void* block, size_t length) noexcept {
  if (length >= kHugePageSize) madvise(block, length, MADV_HUGEPAGE);
}

template <typename T>
struct HugePageAllocator {
  using value_type = T;

  HugePageAllocator() noexcept = default;
  template <typename U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    const size_t length = n * sizeof(T);
    if (length < kHugePageSize) return std::allocator<T>().allocate(n);
    void* block = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    AdviseHugePages(block, length);
    return static_cast<T*>(block);
  }

  void deallocate(T* block, size_t n) noexcept {
    const size_t length = n * sizeof(T);
    if (length < kHugePageSize) return std::allocator<T>().deallocate(block, n);
    munmap(block, length);
  }

  friend bool operator==(const HugePageAllocator&, const HugePageAllocator&) noexcept {
    return true;
  }
};

// A vector whose large blocks get huge pages.
template <typename T>
using HugePageVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace quordb

// Hashing of key bytes for the engine's in-memory hash tables.
//
// Seeded XXH3: every table takes a fresh random seed, so keys crafted to
// collide under one seed do not collide under the next. Output never reaches
// a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace quordb {

inline uint64_t HashKey(std::string_view key, uint64_t seed) noexcept {
  return XXH3_64bits_withSeed(key.data(), key.size(), seed);
}

// A random seed from the kernel's generator (a clock-based value if that fails).
uint64_t RandomSeed() noexcept;

// Hash and equality for a table of entry numbers whose keys live elsewhere:
// `Owner::KeyOfEntry(uint32_t)` gives an entry's key. Transparent, so the
// table is probed with a std::string_view and no key is copied for a lookup.
template <typename Owner>
struct EntryHash {
  using is_transparent = void;
  using is_avalanching = void;  // XXH3 output needs no further mixing
  const Owner* owner;
  uint64_t seed;
  size_t operator()(uint32_t entry) const noexcept {
    if constexpr (requires { owner->HashOfEntry(entry); })
      return owner->HashOfEntry(entry);  // an owner that keeps each entry's hash
    else
      return (*this)(owner->KeyOfEntry(entry));
  }
  size_t operator()(std::string_view key) const noexcept { return HashKey(key, seed); }
};

template <typename Owner>
struct EntryEqual {
  using is_transparent = void;
  const Owner* owner;
  bool operator()(uint32_t a, uint32_t b) const noexcept {
    return a == b || owner->KeyOfEntry(a) == owner->KeyOfEntry(b);
  }
  bool operator()(uint32_t a, std::string_view b) const noexcept {
    return owner->KeyOfEntry(a) == b;
  }
  bool operator()(std::string_view a, uint32_t b) const noexcept {
    return a == owner->KeyOfEntry(b);
  }
};

}  // namespace quordb

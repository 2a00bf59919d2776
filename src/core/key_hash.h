// Hashing of key bytes for the engine's in-memory hash tables.
//
// Seeded XXH3: every table takes a fresh random seed, so keys crafted to
// collide under one seed do not collide under the next. Output never reaches
// a file.
#pragma once

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

}  // namespace quordb

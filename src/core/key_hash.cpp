#include "core/key_hash.h"

#include <sys/random.h>

#include <chrono>

namespace quordb {

uint64_t RandomSeed() noexcept {
  uint64_t seed;
  if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof seed))
    return seed;
  return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

}  // namespace quordb

// Routing of keys to the shards of a shard set: shard = XXH3-64 (seed 0) of
// the key's bytes, modulo the shard count. The function is part of the
// shard set's documented layout, so that a reader in any language can route;
// unlike the seeded hashes of the engine's tables it must never change.
#pragma once

#include <cstdint>
#include <string_view>

namespace quordb::native {

// The shard, 0 to `shards` - 1, that holds `key` in a set of `shards` (at
// least 1). Every route the package takes, one key or a batch, comes here.
uint64_t KeyShard(std::string_view key, uint64_t shards) noexcept;

}  // namespace quordb::native

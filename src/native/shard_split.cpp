#include "native/shard_split.h"

#include "native/routing.h"

namespace quordb::native {

ShardSplit::ShardSplit(std::span<const std::string_view> keys, size_t shards)
    : starts_(shards + 1, 0), grouped_(keys.size()), slots_(keys.size()), key_shards_(keys.size()) {
  // A counting sort of the keys by shard.
  for (size_t key = 0; key < keys.size(); ++key) {
    const size_t shard = KeyShard(keys[key], shards);
    key_shards_[key] = shard;
    if (starts_[shard + 1]++ == 0) order_.push_back(shard);
  }
  for (size_t shard = 0; shard < shards; ++shard) starts_[shard + 1] += starts_[shard];
  std::vector<size_t> next(starts_.begin(), starts_.end() - 1);
  for (size_t key = 0; key < keys.size(); ++key) {
    const size_t slot = next[key_shards_[key]]++;
    slots_[key] = slot;
    grouped_[slot] = keys[key];
  }
}

}  // namespace quordb::native

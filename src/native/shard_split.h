// The keys of one batch grouped by the shard each routes to, so that every
// shard of a set looks up all of its keys in one engine call and the answers
// can be put back in batch order:
//
//   ShardSplit split(batch.views(), shard_count);
//   std::vector<std::optional<uint64_t>> locations(split.size());
//   for (const size_t shard : split.shards())
//     engines[shard]->FindMany(split.keys_of(shard), split.part_of(shard, locations));
//   // the answer for key j of the batch: locations[split.slot(j)]
//
// Plain C++ over views of the batch's bytes, which must outlive it; once
// made it may be read without the interpreter lock.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace quordb::native {

class ShardSplit {
 public:
  // Routes every key of `keys` among `shards` (at least 1) shards.
  ShardSplit(std::span<const std::string_view> keys, size_t shards);

  // How many keys were split: the length of every grouped array.
  size_t size() const noexcept { return grouped_.size(); }
  // The shards that some key routes to, in the order of their first key in
  // the batch.
  std::span<const size_t> shards() const noexcept { return order_; }
  // The keys routed to `shard`, in batch order.
  std::span<const std::string_view> keys_of(size_t shard) const noexcept {
    return part_of(shard, std::span<const std::string_view>(grouped_));
  }
  // The part of an array laid out like the grouped keys (one element per key
  // split) that belongs to `shard`.
  template <typename T>
  std::span<T> part_of(size_t shard, std::span<T> grouped) const noexcept {
    return grouped.subspan(starts_[shard], starts_[shard + 1] - starts_[shard]);
  }
  // Where key `key` of the batch stands in the grouped arrays.
  size_t slot(size_t key) const noexcept { return slots_[key]; }
  // The shard that key `key` of the batch routes to.
  size_t shard(size_t key) const noexcept { return key_shards_[key]; }

 private:
  std::vector<size_t> starts_;  // shard s owns grouped slots starts_[s] to starts_[s + 1]
  std::vector<std::string_view> grouped_;
  std::vector<size_t> slots_;
  std::vector<size_t> key_shards_;
  std::vector<size_t> order_;
};

}  // namespace quordb::native

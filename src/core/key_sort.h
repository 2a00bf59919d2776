// Sorting of byte-string keys into the index order (unsigned bytes, a proper
// prefix first), keeping one of equal keys (the last unless the caller picks),
// and of entries by a 64-bit value.
//
// A most-significant-first radix sort over 8-byte chunks: each pass orders a
// range by the next 8 bytes of its keys (and how many bytes remain), with
// least-significant-digit radix passes that skip every byte position on which
// the range agrees, so common prefixes such as "user:000" cost nothing. Runs
// still tied after a chunk are sorted on the next one. Small runs fall back
// to comparison sorting.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <span>
#include <string_view>
#include <vector>

#include "core/format.h"
#include "core/huge_pages.h"
#include "core/keep_going.h"

namespace quordb {
// An entry with the value it is sorted by.
struct SortItem {
  uint64_t chunk;    // the value; for keys, the bytes at the current depth, big-endian, zero-padded
  uint32_t entry;    // what the caller sorts
  uint32_t remains;  // for keys, bytes left from the depth, capped at kMore
};

namespace key_sort_detail {

using Item = SortItem;

// More than a chunk remains: ties on this chunk go on to the next one.
inline constexpr uint32_t kMore = 9;
inline constexpr size_t kSmallRange = 48;
// Marks an item whose key another entry repeats. Entry numbers stay below it,
// as key counts are capped at 2^32 - 1.
inline constexpr uint32_t kRepeated = UINT32_MAX;

// Of items whose keys are all equal, keeps the one `keep` picks and marks the
// others kRepeated. `entries` is scratch room, reused from run to run: runs of
// equal keys are few and short, so no build without repeats pays for this.
template <typename Keep>
void KeepOne(std::span<Item> tied, const Keep& keep, std::vector<uint32_t>& entries) {
  entries.clear();
  for (const Item& item : tied) entries.push_back(item.entry);
  std::sort(entries.begin(), entries.end());
  const uint32_t kept = keep(std::span<const uint32_t>(entries));
  for (Item& item : tied)
    if (item.entry != kept) item.entry = kRepeated;
}

inline void Fill(Item& item, std::string_view key, size_t depth) noexcept {
  const size_t left = key.size() - depth;
  uint64_t chunk = 0;
  if (left >= 8) {
    std::memcpy(&chunk, key.data() + depth, 8);
    chunk = __builtin_bswap64(chunk);
  } else {
    uint8_t bytes[8] = {};
    if (left > 0) std::memcpy(bytes, key.data() + depth, left);
    std::memcpy(&chunk, bytes, 8);
    chunk = __builtin_bswap64(chunk);
  }
  item.chunk = chunk;
  item.remains = static_cast<uint32_t>(std::min<size_t>(left, kMore));
}

// Digit d of an item's sort key: d = 0 is `remains`, d = 1..8 the chunk's
// bytes from least to most significant.
inline uint8_t Digit(const Item& item, int d) noexcept {
  return d == 0 ? static_cast<uint8_t>(item.remains)
                : static_cast<uint8_t>(item.chunk >> (8 * (d - 1)));
}

// Stable least-significant-digit sort.
inline void RadixSort(std::span<Item> items, std::span<Item> scratch) {
  std::array<std::array<uint32_t, 256>, 9> counts{};
  for (const Item& item : items)
    for (int d = 0; d < 9; ++d) ++counts[d][Digit(item, d)];
  Item* from = items.data();
  Item* to = scratch.data();
  for (int d = 0; d < 9; ++d) {
    auto& count = counts[d];
    if (count[Digit(items[0], d)] == items.size()) continue;  // every item agrees here
    uint32_t sum = 0;
    for (uint32_t& c : count) sum += std::exchange(c, sum);
    for (size_t i = 0; i < items.size(); ++i) to[count[Digit(from[i], d)]++] = from[i];
    std::swap(from, to);
  }
  if (from != items.data()) std::copy(from, from + items.size(), items.data());
}

inline constexpr size_t kSplitRange = 4096;

// RadixSort for large ranges: one counting pass on the most significant byte
// first, then each run that shares it by the remaining digits. Where keys
// differ early, as "user:…" and "ñame:…" do, the least-significant passes
// would otherwise each move the whole range for every byte position below.
// Gives false once `checkpoints`, asked between runs, says to stop.
inline bool SplitThenRadixSort(std::span<Item> items, std::span<Item> scratch,
                               Checkpoints& checkpoints) {
  constexpr int kTop = 8;
  std::array<size_t, 257> start{};
  for (const Item& item : items) ++start[Digit(item, kTop) + 1];
  if (start[Digit(items[0], kTop) + 1] == items.size()) {
    RadixSort(items, scratch);
    return checkpoints.Done(items.size());
  }
  for (size_t b = 0; b < 256; ++b) start[b + 1] += start[b];
  std::array<size_t, 256> next;
  std::copy(start.begin(), start.end() - 1, next.begin());
  for (const Item& item : items) scratch[next[Digit(item, kTop)]++] = item;
  std::copy(scratch.begin(), scratch.end(), items.begin());
  for (size_t b = 0; b < 256; ++b) {
    const size_t size = start[b + 1] - start[b];
    if (size > 1) RadixSort(items.subspan(start[b], size), scratch.subspan(start[b], size));
    if (!checkpoints.Done(size)) return false;
  }
  return true;
}

// Orders `items` by their keys from byte `depth` on, keeping one of equal
// keys (see SortEntries). Runs still tied after a chunk wait on a work list,
// not the call stack: keys sharing a long prefix would nest one call per 8
// bytes of it, whatever the thread's stack. Gives false, with `items` in no
// particular order, once `checkpoints` says to stop.
template <typename KeyOf, typename Keep>
bool SortRange(std::span<Item> items, std::span<Item> scratch, size_t depth, const KeyOf& key_of,
               const Keep& keep, Checkpoints& checkpoints) {
  struct TiedRun {
    size_t begin;
    size_t size;
    size_t depth;
  };
  std::vector<TiedRun> pending = {{0, items.size(), depth}};
  std::vector<uint32_t> tied_entries;
  while (!pending.empty()) {
    const TiedRun run = pending.back();
    pending.pop_back();
    const std::span<Item> range = items.subspan(run.begin, run.size);
    if (range.size() <= kSmallRange) {
      const size_t from = run.depth;
      auto rest = [&](const Item& item) { return key_of(item.entry).substr(from); };
      std::sort(range.begin(), range.end(),
                [&](const Item& a, const Item& b) { return CompareKeys(rest(a), rest(b)) < 0; });
      // Equal keys are now side by side, and still in cache.
      for (size_t begin = 0; begin < range.size();) {
        size_t end = begin + 1;
        while (end < range.size() && CompareKeys(rest(range[begin]), rest(range[end])) == 0) ++end;
        if (end - begin > 1) KeepOne(range.subspan(begin, end - begin), keep, tied_entries);
        begin = end;
      }
      if (!checkpoints.Done(range.size())) return false;
      continue;
    }
    for (Item& item : range) Fill(item, key_of(item.entry), run.depth);
    const std::span<Item> spare = scratch.subspan(run.begin, run.size);
    if (range.size() > kSplitRange) {
      if (!SplitThenRadixSort(range, spare, checkpoints)) return false;
    } else {
      RadixSort(range, spare);
      if (!checkpoints.Done(range.size())) return false;
    }
    for (size_t begin = 0; begin < range.size();) {
      size_t end = begin + 1;
      while (end < range.size() && range[end].chunk == range[begin].chunk &&
             range[end].remains == range[begin].remains)
        ++end;
      if (end - begin > 1) {
        if (range[begin].remains == kMore)
          pending.push_back({run.begin + begin, end - begin, run.depth + 8});
        else  // the keys end within this chunk: they are equal
          KeepOne(range.subspan(begin, end - begin), keep, tied_entries);
      }
      begin = end;
    }
  }
  return true;
}

// Keys added in index order already, as a dump loaded again or an export by
// ID gives them, need no sort: fills `order` and gives true after one pass
// over them, or gives false at the first pair out of order. Sets `stopped`
// once `checkpoints` says to stop.
template <typename KeyOf, typename Keep>
bool InOrderAlready(uint32_t count, const KeyOf& key_of, const Keep& keep,
                    HugePageVector<uint32_t>* order, Checkpoints& checkpoints, bool* stopped) {
  constexpr uint32_t kAskEvery = uint32_t{1} << 16;
  uint32_t repeats = 0;
  for (uint32_t i = 1; i < count; ++i) {
    const int compared = CompareKeys(key_of(i - 1), key_of(i));
    if (compared > 0) return false;
    repeats += compared == 0;
    if (i % kAskEvery == 0 && !checkpoints.Done(kAskEvery)) {
      *stopped = true;
      return false;
    }
  }
  order->resize(count - repeats);
  uint32_t* out = order->data();
  if (repeats == 0) {
    for (uint32_t i = 0; i < count; ++i) *out++ = i;
    return true;
  }
  // Equal keys are side by side, in entry order already.
  std::vector<uint32_t> tied;
  for (uint32_t begin = 0; begin < count;) {
    uint32_t end = begin + 1;
    while (end < count && key_of(begin) == key_of(end)) ++end;
    if (end - begin == 1) {
      *out++ = begin;
    } else {
      tied.resize(end - begin);
      std::iota(tied.begin(), tied.end(), begin);
      *out++ = keep(std::span<const uint32_t>(tied));
    }
    begin = end;
  }
  return true;
}

}  // namespace key_sort_detail

// The entries 0..count-1 with their value_of(entry), a uint64_t, ordered by
// value; entries with equal values stay in entry order.
template <typename ValueOf>
HugePageVector<SortItem> EntriesByValue(uint32_t count, const ValueOf& value_of) {
  HugePageVector<SortItem> items(count);
  for (uint32_t i = 0; i < count; ++i) items[i] = SortItem{value_of(i), i, 0};
  if (count > 1) {
    HugePageVector<SortItem> scratch(count);
    // Least-significant-digit passes are stable, which keeps equal values in entry order.
    key_sort_detail::RadixSort(std::span<SortItem>(items), std::span<SortItem>(scratch));
  }
  return items;
}

// Of entries with equal keys, the last added (the highest): the index's
// rule unless a build says otherwise.
struct KeepLastAdded {
  uint32_t operator()(std::span<const uint32_t> tied) const noexcept { return tied.back(); }
};

// The entries 0..count-1 ordered by key_of(entry), a std::string_view, into
// `order`. Of entries with equal keys only one is kept: keep(tied) picks it
// from their entry numbers, given in ascending order (the order added), two
// or more; it is called once per run of equal keys and never for a key
// added once. Asks `keep_going` (when given) every few million entries sorted
// and gives false, with `order` empty, once it says to stop.
template <typename KeyOf, typename Keep = KeepLastAdded>
bool SortEntries(uint32_t count, const KeyOf& key_of, HugePageVector<uint32_t>* order,
                 const KeepGoing* keep_going = nullptr, const Keep& keep = Keep()) {
  using key_sort_detail::Item;
  order->clear();
  {
    Checkpoints checkpoints(keep_going, size_t{1} << 20);
    bool stopped = false;
    if (key_sort_detail::InOrderAlready(count, key_of, keep, order, checkpoints, &stopped))
      return true;
    if (stopped) return false;
  }
  HugePageVector<Item> items(count);
  for (uint32_t i = 0; i < count; ++i) items[i].entry = i;
  {
    // Freed before `order` is made: the three together would be the peak.
    HugePageVector<Item> scratch(count);
    Checkpoints checkpoints(keep_going, size_t{1} << 16);
    if (!key_sort_detail::SortRange(std::span<Item>(items), std::span<Item>(scratch), 0, key_of,
                                    keep, checkpoints))
      return false;
  }
  size_t kept = 0;
  for (const Item& item : items) kept += item.entry != key_sort_detail::kRepeated;
  order->resize(kept);
  uint32_t* out = order->data();
  for (const Item& item : items)
    if (item.entry != key_sort_detail::kRepeated) *out++ = item.entry;
  return true;
}

template <typename KeyOf, typename Keep = KeepLastAdded>
HugePageVector<uint32_t> SortedEntries(uint32_t count, const KeyOf& key_of,
                                       const Keep& keep = Keep()) {
  HugePageVector<uint32_t> order;
  (void)SortEntries(count, key_of, &order, nullptr, keep);
  return order;
}

}  // namespace quordb

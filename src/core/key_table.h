// KeyTable: the keys of a build, each naming one object by ID, and their
// encoding as the index section.
//
//   KeyTable keys(KeyTable::kFindOnAdd);
//   QUORDB_RETURN_IF_ERROR(keys.Add(AsBytes("user:1"), 0));
//   HugePageVector<uint32_t> order = keys.InKeyOrder();
//   size_t filled = keys.EncodeIndex(order, 0, locations, out).bytes;
//
// Key bytes live in one arena, described by one entry per key. A key added
// again is settled by the table's OnDuplicate policy (by default the newer
// object wins), and found one of two ways:
// - kFindOnAdd: a hash set finds the key as it is added, so size() is the
//   number of distinct keys at any time. Per key it holds the key's bytes, a
//   16-byte entry, its 8-byte hash and a hash set slot.
// - kFindWhenSorted: keys are only appended, and the sort keeps the last (or
//   under kFirst the first) of equal keys. Adding touches no memory at
//   random, and per key it holds only the bytes and the entry; a key added
//   again takes room and counts in size() until the next sort. A kError
//   table finds on add whatever it is asked: it must refuse the add itself.
// Not thread-safe.
#pragma once

#include <boost/unordered/unordered_flat_set.hpp>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/byte_arena.h"
#include "core/error.h"
#include "core/format.h"
#include "core/huge_pages.h"
#include "core/keep_going.h"
#include "core/key_hash.h"
#include "core/on_duplicate.h"

namespace quordb {

// Refuses a key longer than the format can hold.
Status CheckKeyLength(Bytes key);

class KeyTable {
 public:
  enum Repeats { kFindOnAdd, kFindWhenSorted };

  explicit KeyTable(Repeats repeats, OnDuplicate on_duplicate = OnDuplicate::kLast);
  KeyTable(const KeyTable&) = delete;
  KeyTable& operator=(const KeyTable&) = delete;

  // Maps `key` to `obj_id`, which the caller has checked. Refuses a key or a
  // key count that the format cannot hold, and under kError a key that names
  // another object (a Duplicate error); a failure stores nothing.
  Status Add(Bytes key, uint32_t obj_id);

  // Whether Add would accept each of `keys` for the new object `obj_id` now,
  // counting every one as new: for callers that add a batch all or nothing.
  // May drop repeated keys (DropRepeats) to make room.
  Status CheckAddable(std::span<const Bytes> keys, uint32_t obj_id);
  // Adds `keys` for `obj_id` once CheckAddable has accepted them, nothing
  // having been added in between: only running out of memory (an exception)
  // stops these. Inline, as it runs once per object of a bulk build.
  void AddChecked(std::span<const Bytes> keys, uint32_t obj_id) {
    for (const Bytes key : keys) (void)Add(key, obj_id);
  }

  // The number of keys: distinct ones with kFindOnAdd, or after a sort.
  uint64_t size() const noexcept { return entries_.size() - repeats_; }
  // Keys that another object took over (under kFirst: claims dropped), as
  // OnDuplicate defines them; with kFindWhenSorted, those among keys added
  // since the last sort are counted by the next one.
  uint64_t replaced() const noexcept { return replaced_ + replaced_unsettled_; }

  // The entries in index order, one per distinct key; with `keep_going`,
  // asked every few million entries, false once it says to stop (with
  // `order` empty). Afterwards size() counts distinct keys and replaced()
  // every replacement.
  bool SortInKeyOrder(HugePageVector<uint32_t>* order, const KeepGoing* keep_going);
  // As SortInKeyOrder, for a kFindOnAdd table, which has no repeats to count.
  HugePageVector<uint32_t> InKeyOrder() const;

  // Drops the entries of keys added again since, keeping the one the policy
  // keeps; their bytes stay in the arena. Lets a kFindWhenSorted table take
  // more adds of existing keys once it holds as many entries as the format
  // allows keys.
  void DropRepeats();

  // The number of bytes of the index section, for a kFindOnAdd table (the
  // bytes of repeats are not counted apart).
  uint64_t IndexSize() const noexcept { return key_bytes_.size() + size() * kIndexEntryOverhead; }
  // The exact size of the index section of `order`, from a sort: repeats'
  // bytes are not in it.
  uint64_t IndexSizeOf(std::span<const uint32_t> order) const noexcept;

  struct Encoded {
    size_t entries;
    size_t bytes;
  };
  // Encodes index entries for order[from...] into `out` while they fit, each
  // with the location of its object, locations[obj_id].
  Encoded EncodeIndex(std::span<const uint32_t> order, size_t from, const uint64_t* locations,
                      std::span<uint8_t> out) const noexcept;

 private:
  struct Entry {
    uint64_t key_at;
    uint32_t key_length;
    uint32_t obj_id;  // object counts are capped at 2^32 - 1
  };

  friend struct EntryHash<KeyTable>;
  friend struct EntryEqual<KeyTable>;
  // Each entry's hash, kept while keys are added: growing the lookup set
  // rehashes every entry, and reading keys back for that misses the cache
  // twice per entry.
  uint64_t HashOfEntry(uint32_t entry) const noexcept { return hashes_[entry]; }
  // Drops entry `entry` (and any after it) and the key bytes from `key_at`.
  void TakeBack(uint32_t entry, uint64_t key_at) noexcept;
  // Settles `key`, found at entry `entry`, being added again for `obj_id`.
  Status AddAgain(uint32_t entry, Bytes key, uint32_t obj_id);
  // The sort's choice among entries of one key, given in the order added;
  // counts the replacements among them into `replaced`.
  uint32_t KeepOfTied(std::span<const uint32_t> tied, uint64_t* replaced) const noexcept;
  // SortEntries over every entry, keeping what the policy keeps.
  bool SortAll(HugePageVector<uint32_t>* order, const KeepGoing* keep_going,
               uint64_t* replaced) const;
  std::string_view KeyOfEntry(uint32_t entry) const noexcept {
    const Entry& e = entries_[entry];
    return {reinterpret_cast<const char*>(key_bytes_.data()) + e.key_at, e.key_length};
  }

  Repeats repeats_mode_;
  OnDuplicate on_duplicate_;
  uint64_t repeats_ = 0;             // entries a sort found repeated, not yet dropped
  uint64_t replaced_ = 0;            // replacements found on add, or among dropped entries
  uint64_t replaced_unsettled_ = 0;  // those a sort found among entries not yet dropped
  ByteArena key_bytes_;
  HugePageVector<Entry> entries_;
  HugePageVector<uint64_t> hashes_;
  boost::unordered_flat_set<uint32_t, EntryHash<KeyTable>, EntryEqual<KeyTable>,
                            HugePageAllocator<uint32_t>>
      lookup_;
};

}  // namespace quordb

// RecordWalk: the data section read in file order, each record with the
// index entries that name it. A dump that a load must turn back into the
// same file needs exactly this: every object once, in stored order, with all
// its keys, including objects no key names.
//
//   RecordWalk walk(reader);
//   for (;;) {
//     Result<std::optional<WalkedRecord>> next = walk.Next();
//     if (!next.ok()) return std::move(next).error();
//     if (!next.value()) break;
//     use(next.value()->payload, next.value()->entries);
//   }
//
// Construction sorts the entries by location (16 bytes per key); the walk
// then meets records and entries in the same order, so neither is searched.
// The walk borrows the reader, which must outlive it; it is not
// thread-safe, but any number of walks may run on one reader at once.
//
// The verification pass (core/verify_pass.h) walks the data section too,
// with its own policy for strays; both take each record's bounds from
// RecordEndsBy.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/error.h"
#include "core/format.h"
#include "core/huge_pages.h"
#include "core/key_sort.h"
#include "core/reader.h"

namespace quordb {

// The index entries ordered by the location each names; entries naming one
// location stay in entry (that is, key) order. Inline, so that it reads
// locations as the including code's Reader does.
[[nodiscard]] inline HugePageVector<SortItem> EntriesByLocation(const Reader& reader) {
  // num_keys is a u32, so every entry position fits one.
  return EntriesByValue(static_cast<uint32_t>(reader.entry_count()),
                        [&reader](uint32_t entry) { return reader.LocationAt(entry); });
}

struct WalkedRecord {
  uint64_t location = 0;
  // A view into the reader's mapping.
  Bytes payload;
  // Positions in the sorted key list of the keys naming this record, in key
  // order; empty for a record no key names. Valid until the next step.
  std::span<const uint32_t> entries;
};

class RecordWalk {
 public:
  explicit RecordWalk(const Reader& reader);

  // The next record, or nullopt after the last. Fails when a record runs
  // past index_offset, and at the end when an index entry names a location
  // where no record starts; a file that passes VerifyStrict never fails.
  [[nodiscard]] Result<std::optional<WalkedRecord>> Next();

 private:
  const Reader& reader_;
  // The entries by location (SortItem::chunk), those of one location in key
  // order; the ones already passed are skipped by next_.
  HugePageVector<SortItem> by_location_;
  size_t next_ = 0;
  std::vector<uint32_t> entries_;
  uint64_t at_ = kDataOffset;
};

}  // namespace quordb

// Reader: an open .qrdb file, mapped read-only, with its index in memory.
//
//   Result<std::unique_ptr<Reader>> opened = Reader::Open("db.qrdb", /*verify=*/true);
//   if (!opened.ok()) return std::move(opened).error();
//   const Reader& reader = *opened.value();
//   Result<std::optional<Bytes>> payload = reader.Get("user:1");
//
// Index entries are copied once into an arena at open (location and key
// length, then key); the sorted key list is their offsets, and the hash index
// names them too, with each record's location beside, so each key is held
// once and a hit reads the key and the record at the same time.
// Payloads stay in the mapping: results are views into it, valid for the
// reader's life, which callers copy before handing them out.
//
// Thread safety: nothing changes after Open, so every const method may run
// on any number of threads at once.
#pragma once

#include <algorithm>
#include <boost/unordered/unordered_flat_map.hpp>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_arena.h"
#include "core/error.h"
#include "core/format.h"
#include "core/huge_pages.h"
#include "core/key_hash.h"
#include "core/tag_table.h"

namespace quordb {

// The header values and file facts that stats report.
struct ReaderStats {
  std::string_view path;
  uint8_t version;
  uint32_t num_keys;
  uint32_t num_objects;
  uint64_t index_offset;
  uint64_t data_offset;
  double file_size_kb;
  std::string file_crc32;
};

// Positions [first, end) of the sorted key list.
struct EntryRange {
  size_t first = 0;
  size_t end = 0;
};

// Pairs matched by a prefix: sorted key list positions [first, first + n)
// with the payload of each.
struct PrefixMatch {
  size_t first = 0;
  std::vector<Bytes> payloads;
};

class Reader {
 public:
  // Opens and maps `path`, checks length, magic and version, with `verify`
  // the whole-file CRC, and loads the index. Fails with the first check that
  // fails; nothing is left open or mapped then.
  static Result<std::unique_ptr<Reader>> Open(std::string path, bool verify);

  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  ~Reader();

  const std::string& path() const noexcept { return path_; }
  Bytes file() const noexcept { return {map_, file_length_}; }
  uint32_t num_keys() const noexcept { return num_keys_; }
  uint32_t num_objects() const noexcept { return num_objects_; }
  uint64_t index_offset() const noexcept { return index_offset_; }
  // Where the walk of num_keys entries ended: index_offset when there are
  // none. Open ignores bytes after it; strict checks compare it with the end
  // of the file.
  uint64_t index_end() const noexcept { return index_end_; }
  uint32_t file_crc32() const noexcept { return file_crc32_; }

  // The sorted key list: entries in index-section order.
  size_t entry_count() const noexcept { return entry_starts_.size(); }
  std::string_view KeyAt(size_t entry) const noexcept { return KeyFrom(EntryStart(entry)); }
  uint64_t LocationAt(size_t entry) const noexcept { return LocationFrom(EntryStart(entry)); }

  // The location of `key`'s object (its last entry if repeated), if any.
  std::optional<uint64_t> Find(std::string_view key) const noexcept;

  // Find for every key of `keys`, into `locations` (the same length). A
  // batch lets the lookups' memory misses overlap.
  void FindMany(std::span<const std::string_view> keys,
                std::span<std::optional<uint64_t>> locations) const noexcept;
  // Get for every key of `keys`, into `payloads` (the same length), with the
  // records fetched ahead too. Returns the first fetch that fails, in key
  // order; `payloads` is then filled only before that key.
  Status GetMany(std::span<const std::string_view> keys,
                 std::span<std::optional<Bytes>> payloads) const;

  bool Exists(std::string_view key) const noexcept { return Find(key).has_value(); }
  // The payload of `key`'s object; nullopt when the key is absent.
  Result<std::optional<Bytes>> Get(std::string_view key) const;
  // Calls `visit(entry, payload)` for each entry of `range` in key order,
  // with records fetched a little ahead. Returns the first fetch that fails;
  // stops early, with success, when `visit` returns false.
  template <typename Visit>
  Status VisitPayloads(EntryRange range, Visit&& visit) const;
  // One payload per entry of the sorted key list.
  Result<std::vector<Bytes>> EntryPayloads() const;
  // The entries whose keys start with `prefix`.
  EntryRange PrefixRange(std::string_view prefix) const noexcept;
  // The entries whose keys start with `prefix`, in key order.
  Result<PrefixMatch> Prefix(std::string_view prefix) const;
  // Each distinct record once, in order of first appearance in the index.
  Result<std::vector<Bytes>> DistinctObjects() const;
  // The whole-file CRC, then the CRC of every record a key names; both from
  // one read of the file when the data section is sound (core/verify_pass.h).
  Status Verify() const;
  ReaderStats Stats() const;

  // First position whose key is not less than `prefix`.
  size_t LowerBound(std::string_view prefix) const noexcept;

 private:
  Reader() = default;
  Status LoadIndex();
  template <typename Slot>
  Status LoadEntries(TagTable<Slot>& table);
  void AppendEntry(uint64_t location, const uint8_t* key, uint16_t key_length);

  // An entry in entries_ is a head, in native byte order, with the location
  // in its top 48 bits and the key length in its low 16, then the key bytes.
  // Locations too large for 48 bits, which only damaged files hold, are kept
  // aside in far_locations_ by entry start.
  static constexpr uint64_t kFarLocation = (uint64_t{1} << 48) - 1;
  uint64_t HeadAt(uint64_t start) const noexcept {
    uint64_t head;
    std::memcpy(&head, entries_.data() + start, sizeof head);
    return head;
  }
  std::string_view KeyFrom(uint64_t start) const noexcept {
    return {reinterpret_cast<const char*>(entries_.data()) + start + sizeof(uint64_t),
            static_cast<size_t>(HeadAt(start) & 0xFFFF)};
  }
  uint64_t LocationFrom(uint64_t start) const noexcept {
    const uint64_t location = HeadAt(start) >> 16;
    if (location == kFarLocation) [[unlikely]]
      return far_locations_.find(start)->second;
    return location;
  }

  // Entry starts are kept as kStartBits-bit values; wraps_ lists, in order,
  // the first entry past each multiple of 2^kStartBits, so it is empty below
  // 4 GiB of entries. Tests build the engine with a tiny word to reach the
  // large-file paths with small files.
#ifdef QUORDB_TEST_ENTRY_START_BITS
  static constexpr unsigned kStartBits = QUORDB_TEST_ENTRY_START_BITS;
#else
  static constexpr unsigned kStartBits = 32;
#endif
  uint64_t EntryStart(size_t entry) const noexcept {
    uint64_t high = 0;
    if (!wraps_.empty()) [[unlikely]]
      high = static_cast<uint64_t>(std::upper_bound(wraps_.begin(), wraps_.end(), entry) -
                                   wraps_.begin());
    return high << kStartBits | entry_starts_[entry];
  }

  void PrefetchKey(size_t entry) const noexcept {
    __builtin_prefetch(entries_.data() + EntryStart(entry));
  }

  // The hash index names an entry by its start while every start fits a
  // word, which spares each probe a read of entry_starts_; past that, by its
  // number.
  bool members_are_starts_ = true;
  uint64_t StartOfMember(uint32_t member) const noexcept {
    return members_are_starts_ ? member : EntryStart(member);
  }
  // Its slots hold locations and entry starts of up to 32 bits each, with
  // hash bits in what those leave spare, while the file and the entry starts
  // fit 32 bits; past that, the wide slots' 48-bit locations.
  bool wide_slots_ = false;

  // The location `key` (with hash `hash`) names, if any; with `fetching`,
  // the record's first lines are asked for as soon as a slot names it.
  std::optional<uint64_t> Lookup(std::string_view key, uint64_t hash, bool fetching) const noexcept;
  template <typename Slot>
  std::optional<uint64_t> LookupIn(const TagTable<Slot>& table, std::string_view key, uint64_t hash,
                                   bool fetching) const noexcept;
  // FindMany over one batch of at most kBatch keys.
  void LookupBatch(std::span<const std::string_view> keys,
                   std::span<std::optional<uint64_t>> locations, bool fetching) const noexcept;
  template <typename Slot>
  void PrefetchCandidates(const TagTable<Slot>& table,
                          std::span<const uint64_t> hashes) const noexcept;

  // Every index entry once, in file order.
  ByteArena entries_;
  HugePageVector<uint32_t> entry_starts_;
  std::vector<size_t> wraps_;
  boost::unordered_flat_map<uint64_t, uint64_t> far_locations_;
  uint64_t seed_ = RandomSeed();
  TagTable<NearSlot> near_index_;
  TagTable<WideSlot> wide_index_;
  uint32_t num_keys_ = 0;
  uint32_t num_objects_ = 0;
  uint64_t index_offset_ = 0;
  uint64_t index_end_ = 0;
  uint32_t file_crc32_ = 0;
  const uint8_t* map_ = nullptr;
  size_t mapped_length_ = 0;
  uint64_t file_length_ = 0;
  std::string path_;
};

template <typename Visit>
Status Reader::VisitPayloads(EntryRange range, Visit&& visit) const {
  const Bytes file = this->file();
  for (size_t entry = range.first; entry < range.end; ++entry) {
    if (entry + kPrefetchDistance < range.end)
      PrefetchRecord(file, LocationAt(entry + kPrefetchDistance));
    Result<Bytes> payload = FetchRecord(file, LocationAt(entry));
    if (!payload.ok()) return std::move(payload).error();
    if (!visit(entry, payload.value())) break;
  }
  return OkStatus();
}

}  // namespace quordb

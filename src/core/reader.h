// Reader: an open .qrdb file, mapped read-only, with its index in memory.
//
//   Result<std::unique_ptr<Reader>> opened = Reader::Open("db.qrdb", /*verify=*/true);
//   if (!opened.ok()) return std::move(opened).error();
//   const Reader& reader = *opened.value();
//   Result<std::optional<Bytes>> payload = reader.Get("user:1");
//
// Index entries are copied once into an arena at open (location, then key);
// the sorted key list is their offsets, and the hash index holds entry
// numbers hashed over that arena, so each key is held once.
// Payloads stay in the mapping: results are views into it, valid for the
// reader's life, which callers copy before handing them out.
//
// Thread safety: nothing changes after Open, so every const method may run
// on any number of threads at once.
#pragma once

#include <algorithm>
#include <boost/unordered/unordered_flat_set.hpp>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_arena.h"
#include "core/error.h"
#include "core/format.h"
#include "core/key_hash.h"

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
  uint32_t file_crc32() const noexcept { return file_crc32_; }

  // The sorted key list: entries in index-section order.
  size_t entry_count() const noexcept { return entry_starts_.size() - 1; }
  std::string_view KeyAt(size_t entry) const noexcept {
    const uint64_t start = EntryStart(entry) + kLocationSize;
    return {reinterpret_cast<const char*>(entries_.data()) + start, EntryStart(entry + 1) - start};
  }
  uint64_t LocationAt(size_t entry) const noexcept {
    uint64_t location;
    std::memcpy(&location, entries_.data() + EntryStart(entry), sizeof location);
    return location;
  }

  // The location of `key`'s object (its last entry if repeated), if any.
  std::optional<uint64_t> Find(std::string_view key) const noexcept;

  bool Exists(std::string_view key) const noexcept { return Find(key).has_value(); }
  // The payload of `key`'s object; nullopt when the key is absent.
  Result<std::optional<Bytes>> Get(std::string_view key) const;
  // One payload per entry of the sorted key list.
  Result<std::vector<Bytes>> EntryPayloads() const;
  // The entries whose keys start with `prefix`, in key order.
  Result<PrefixMatch> Prefix(std::string_view prefix) const;
  // Each distinct record once, in order of first appearance in the index.
  Result<std::vector<Bytes>> DistinctObjects() const;
  // The whole-file CRC, then the CRC of every record a key names.
  Status Verify() const;
  ReaderStats Stats() const;

  // First position whose key is not less than `prefix`.
  size_t LowerBound(std::string_view prefix) const noexcept;

 private:
  Reader() = default;
  Status LoadIndex();
  void AppendEntry(uint64_t location, const uint8_t* key, uint16_t key_length);

  // Entry starts are kept as 32-bit values; wraps_ lists, in order, the first
  // entry past each multiple of 2^32, which is empty below 4 GiB of keys.
  uint64_t EntryStart(size_t entry) const noexcept {
    uint64_t high = 0;
    if (!wraps_.empty()) [[unlikely]]
      high = static_cast<uint64_t>(std::upper_bound(wraps_.begin(), wraps_.end(), entry) -
                                   wraps_.begin());
    return high << 32 | entry_starts_[entry];
  }

  friend struct EntryHash<Reader>;
  friend struct EntryEqual<Reader>;
  std::string_view KeyOfEntry(uint32_t entry) const noexcept { return KeyAt(entry); }
  using HashIndex = boost::unordered_flat_set<uint32_t, EntryHash<Reader>, EntryEqual<Reader>>;

  // Every index entry once, in file order: its location (native byte order)
  // followed by its key bytes. Entry i spans [start i, start i+1).
  ByteArena entries_;
  std::vector<uint32_t> entry_starts_;
  std::vector<size_t> wraps_;
  KnownHash inserting_;
  HashIndex hash_index_{0, EntryHash<Reader>{this, RandomSeed(), &inserting_},
                        EntryEqual<Reader>{this}};
  uint32_t num_keys_ = 0;
  uint32_t num_objects_ = 0;
  uint64_t index_offset_ = 0;
  uint32_t file_crc32_ = 0;
  const uint8_t* map_ = nullptr;
  size_t mapped_length_ = 0;
  uint64_t file_length_ = 0;
  std::string path_;
};

}  // namespace quordb

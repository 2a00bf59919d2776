// The lookup table a file may carry after its index, so that a reader opens
// it without reading the index: the hash table a reader would build, stored.
//
//   TableBuilder builder(...);  // see below: fed the index as it is written
//   Result<std::optional<LookupTable>> table = LookupTable::Open(file);
//   if (table.value()) table.value()->near().Find(hash, same);
//
// Layout (docs/format.md draws it): zero padding up to a 16-byte boundary (a
// 2 MiB one for a large table, so that a mapping can use huge pages), the
// groups' metadata bytes, the slots, a sparse array giving the offset of
// every 2^sparse_shift-th index entry, then a 64-byte trailer that ends the
// file. The section is little-endian, so that the mapped arrays are the
// TagProbe's arrays as they stand; the rest of the file stays big-endian.
//
// The header announces the section with kTableFlag: a reader never takes the
// last bytes of an ordinary index, which a key may imitate, for a trailer.
// The header is not covered by the file CRC, so the trailer carries a CRC of
// its own and repeats the header's index_offset and num_keys. Nothing here
// touches more than the trailer: opening a table costs the same at any size.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/byte_arena.h"
#include "core/error.h"
#include "core/format.h"
#include "core/tag_table.h"

namespace quordb {

// Header byte 5, bit 0: a lookup table follows the index.
inline constexpr size_t kTableFlagAt = 5;
inline constexpr uint8_t kTableFlag = 0x01;

inline constexpr uint8_t kTableMagic[4] = {'Q', 'T', 'B', 'L'};
inline constexpr uint8_t kTableVersion = 1;
inline constexpr size_t kTableTrailerSize = 64;
// The hash of the table: XXH3_64 of the key's bytes with the trailer's seed.
inline constexpr uint8_t kTableHashXxh3 = 1;
// Every 16th entry's offset is kept: listings walk at most 15 entries from one.
inline constexpr uint8_t kTableSparseShift = 4;
inline constexpr size_t kTableSparseWidth = 4;  // u32 per kept offset
// Where the arrays start: on 16 bytes, as a group's metadata is loaded
// whole (and then never straddles a cache line), or on a huge page for a
// large table.
inline constexpr uint64_t kTableAlignment = 16;
inline constexpr uint64_t kTableHugeAlignment = uint64_t{2} << 20;
// A table at least this large starts on a 2 MiB boundary; the padding is
// then at most a thirty-second of it.
inline constexpr uint64_t kTableHugeFrom = 32 * kTableHugeAlignment;

// Near slots (8 bytes) while the index's records lie below this offset; wide
// slots (12 bytes, 48-bit locations) past it. Tests lower it to reach wide
// tables with small files.
#ifdef QUORDB_TEST_NEAR_TABLE_LIMIT
inline constexpr uint64_t kNearTableLimit = QUORDB_TEST_NEAR_TABLE_LIMIT;
#else
inline constexpr uint64_t kNearTableLimit = UINT32_MAX;
#endif

enum class SlotKind : uint8_t { kNear = 1, kWide = 2 };

// The trailer's fields; TableGeometry follows from them.
struct TableTrailer {
  SlotKind slot_kind = SlotKind::kNear;
  uint8_t member_width = 0;    // near slots: bits of the entry offset
  uint8_t location_width = 0;  // near slots: bits of the record location
  uint8_t hash = kTableHashXxh3;
  uint8_t sparse_shift = kTableSparseShift;
  uint32_t num_keys = 0;
  uint64_t groups = 0;
  uint64_t seed = 0;
  uint64_t index_offset = 0;
  uint64_t index_end = 0;
  uint64_t section_offset = 0;  // the metadata's offset, past the padding
  uint32_t section_crc = 0;     // CRC-32 of section_offset up to the trailer

  size_t slot_size() const noexcept {
    return slot_kind == SlotKind::kNear ? sizeof(NearSlot) : sizeof(WideSlot);
  }
  uint64_t sparse_count() const noexcept {
    return (uint64_t{num_keys} + (uint64_t{1} << sparse_shift) - 1) >> sparse_shift;
  }
};

// Where each array of a table lies, as absolute file offsets.
struct TableGeometry {
  uint64_t metadata_at;
  uint64_t slots_at;
  uint64_t sparse_at;
  uint64_t trailer_at;
  uint64_t end;  // the file's size
};

// The offsets `trailer` implies, or nullopt when they overflow.
std::optional<TableGeometry> GeometryOf(const TableTrailer& trailer) noexcept;

// The 64 trailer bytes, its own CRC last.
void StoreTrailer(uint8_t* out, const TableTrailer& trailer) noexcept;
// The trailer in the last 64 bytes of `tail`, checked by itself: magic,
// version, CRC and known field values. Not compared with any header.
Result<TableTrailer> LoadTrailer(Bytes tail);
// Whether `trailer` agrees with the header `header` (40 bytes) and with a
// file of `file_size` bytes, arrays in place and within bounds.
Status CheckTrailerAgainst(const TableTrailer& trailer, Bytes header, uint64_t file_size);

// A file's lookup table, in its mapping. Cheap to copy; valid while the
// mapping is. Lookups never trust a slot: callers bound-check its member
// against the index and compare its location with the entry's.
class LookupTable {
 public:
  // The table of `file` (whole, mapped), nullopt when its header does not
  // announce one, or the first check that fails.
  static Result<std::optional<LookupTable>> Open(Bytes file);

  const TableTrailer& trailer() const noexcept { return trailer_; }
  const TableGeometry& geometry() const noexcept { return geometry_; }
  bool wide() const noexcept { return trailer_.slot_kind == SlotKind::kWide; }
  const TagProbe<NearSlot>& near() const noexcept { return near_; }
  const TagProbe<WideSlot>& wide_probe() const noexcept { return wide_; }
  // The offset from index_offset of entry number `block << sparse_shift`.
  uint32_t BlockStart(uint64_t block) const noexcept {
    uint32_t offset;
    std::memcpy(&offset, sparse_ + block * kTableSparseWidth, sizeof offset);
    return offset;
  }
  // The table's bytes, padding and trailer included.
  uint64_t size_with_padding() const noexcept { return geometry_.end - trailer_.index_end; }

 private:
  LookupTable(const TableTrailer& trailer, const TableGeometry& geometry, Bytes file) noexcept;

  TableTrailer trailer_;
  TableGeometry geometry_;
  TagProbe<NearSlot> near_;
  TagProbe<WideSlot> wide_;
  const uint8_t* sparse_;
};

// Makes the table of an index section from its entries, handed over in
// file order while the index is written, and writes it after the index:
//
//   TableBuilder table(index_offset, index_size, num_keys, data_crc);
//   table.Add(encoded_entries);  // as often as needed, whole entries each
//   QUORDB_RETURN_IF_ERROR(table.Finish());
//   QUORDB_RETURN_IF_ERROR(table.Emit(write));  // padding, arrays, trailer
//
// Keys must be distinct, as in every index a writer makes: a key is placed
// in the first free slot its probe meets, without reading other keys. The
// seed comes from `data_crc` (the data section's CRC) and the index's size,
// so that the same content always makes the same bytes. In memory it holds
// the table's arrays alone, about 12 bytes per key. Not thread-safe.
//
// The claims, which miss the cache, run on a thread of their own while the
// caller writes the index, which it had to read anyway: the caller only
// hashes. They run in the order the entries came, so the bytes stay the
// same. The table's memory is also first touched there.
class TableBuilder {
 public:
  // `index_size`: the index section's exact size, which sizes the slots'
  // entry offsets (and so, the same content makes the same bytes).
  TableBuilder(uint64_t index_offset, uint64_t index_size, uint32_t num_keys, uint32_t data_crc);
  // Stops the claims, if Finish has not waited for them.
  ~TableBuilder();
  TableBuilder(const TableBuilder&) = delete;
  TableBuilder& operator=(const TableBuilder&) = delete;

  // Whether the index can carry a table: it must be below 4 GiB, as slots
  // name entries by a 32-bit offset. Otherwise the file is written without.
  static bool Fits(uint64_t index_size) noexcept { return index_size <= UINT32_MAX; }

  // Places every entry of `entries`, which holds whole entries that follow
  // those added before.
  Status Add(Bytes entries);
  // Waits for the claims, checks that the entries added are the whole
  // index, and places the table after it. Rethrows what the claims threw
  // (std::bad_alloc, making the table).
  Status Finish();

  // The bytes Emit writes.
  uint64_t size() const noexcept { return geometry_.end - trailer_.index_end; }
  // Calls `write(Bytes)` with the section's bytes in order; the first
  // failure is returned.
  template <typename Write>
  Status Emit(Write&& write);

 private:
  // An entry read from a stretch of the index, placed a few entries later.
  struct Pending {
    uint64_t hash;
    uint64_t location;
    uint32_t member;
  };
  // Places `pending`, each once the home groups of those a few behind it
  // have been asked for: the claims land all over the table.
  template <typename Slot>
  static void Place(TagTable<Slot>& table, std::span<const Pending> pending) noexcept;
  // Allocates the table that claims fill.
  void MakeTable(uint64_t index_size);
  // Places `pending` in the table.
  void PlaceStretch(std::span<const Pending> pending) noexcept;
  // Hands `pending_` over to the claims.
  void PlacePending();
  // The claims' thread: makes the table, then places every stretch handed
  // over, in order, until the last.
  void PlaceAll(uint64_t index_size) noexcept;
  // Places every stretch handed over, and waits for the thread.
  void StopPlacing() noexcept;
  // Entries read before they are placed: enough to hide the claims' misses,
  // few enough to stay in cache.
  static constexpr size_t kPendingStretch = 4096;
  // Stretches handed over and not yet placed: the reader of the index never
  // runs more than this ahead, so their memory stays bounded.
  static constexpr size_t kStretchesAhead = 16;
  // Fills in the arrays' CRC, `section_crc`, and writes the trailer.
  void Seal(uint32_t section_crc) noexcept;
  template <typename Write>
  static Status Pad(uint64_t from, uint64_t to, Write& write);
  // Metadata, slots and sparse array with the padding between, up to the trailer.
  template <typename Write>
  Status EmitArrays(Write& write);
  template <typename Slot>
  static Bytes SlotBytes(std::span<const Slot> slots) noexcept {
    return {reinterpret_cast<const uint8_t*>(slots.data()), slots.size_bytes()};
  }

  TableTrailer trailer_;
  TableGeometry geometry_{};  // set by Finish
  TagTable<NearSlot> near_;
  TagTable<WideSlot> wide_;
  std::vector<uint8_t> sparse_;
  std::vector<Pending> pending_;
  std::mutex handing_;
  std::condition_variable handed_;  // a stretch handed over, placed, or the last one
  std::deque<std::vector<Pending>> stretches_;
  bool last_handed_ = false;
  std::exception_ptr failure_;
  std::jthread placer_;  // last: joined before what it uses goes away
  uint8_t trailer_bytes_[kTableTrailerSize] = {};
  uint64_t pos_ = 0;  // the next entry's offset from index_offset
  uint32_t added_ = 0;
};

template <typename Write>
Status TableBuilder::Emit(Write&& write) {
  QUORDB_RETURN_IF_ERROR(Pad(trailer_.index_end, geometry_.metadata_at, write));
  // The arrays' CRC is taken as they go by: a second pass over tens of
  // megabytes would cost as much as writing them.
  uint32_t section_crc = 0;
  auto write_and_check = [&write, &section_crc](Bytes bytes) -> Status {
    section_crc = Crc32(bytes, section_crc);
    return write(bytes);
  };
  QUORDB_RETURN_IF_ERROR(EmitArrays(write_and_check));
  Seal(section_crc);
  return write(Bytes(trailer_bytes_, kTableTrailerSize));
}

template <typename Write>
Status TableBuilder::Pad(uint64_t from, uint64_t to, Write& write) {
  static constexpr uint8_t kZeros[kTableAlignment] = {};
  for (uint64_t at = from; at < to;) {
    const uint64_t n = std::min<uint64_t>(to - at, sizeof kZeros);
    QUORDB_RETURN_IF_ERROR(write(Bytes(kZeros, n)));
    at += n;
  }
  return OkStatus();
}

template <typename Write>
Status TableBuilder::EmitArrays(Write& write) {
  const bool wide = trailer_.slot_kind == SlotKind::kWide;
  const Bytes metadata = wide ? wide_.metadata() : near_.metadata();
  const Bytes slots = wide ? SlotBytes(wide_.slots()) : SlotBytes(near_.slots());
  QUORDB_RETURN_IF_ERROR(write(metadata));
  QUORDB_RETURN_IF_ERROR(Pad(geometry_.metadata_at + metadata.size(), geometry_.slots_at, write));
  QUORDB_RETURN_IF_ERROR(write(slots));
  QUORDB_RETURN_IF_ERROR(Pad(geometry_.slots_at + slots.size(), geometry_.sparse_at, write));
  QUORDB_RETURN_IF_ERROR(write(Bytes(sparse_.data(), sparse_.size())));
  return Pad(geometry_.sparse_at + sparse_.size(), geometry_.trailer_at, write);
}

// The header of a file that carries a table: `header` with the flag set.
inline void MarkTable(uint8_t* header) noexcept { header[kTableFlagAt] |= kTableFlag; }
inline bool HasTableFlag(Bytes header) noexcept {
  return header.size() > kTableFlagAt && (header[kTableFlagAt] & kTableFlag) != 0;
}

}  // namespace quordb

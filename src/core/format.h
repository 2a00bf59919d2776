// The .qrdb byte layout: constants, big-endian codecs, CRC-32, key order and
// the bounds-checked record fetch. docs/format.md draws the layout.
//
// Every integer in a file is unsigned big-endian. A file is a 40-byte header,
// the object records (length u32, payload CRC u32, payload) from offset 40,
// then the index entries (key length u16, key, record location u64) in
// ascending unsigned byte order of the keys up to the end of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/error.h"

namespace quordb {

using Bytes = std::span<const uint8_t>;

inline constexpr uint8_t kMagic[4] = {'Q', 'R', 'D', 'B'};
inline constexpr uint8_t kVersion = 2;
inline constexpr size_t kHeaderSize = 40;
inline constexpr uint64_t kDataOffset = kHeaderSize;

// Header field positions.
inline constexpr size_t kVersionAt = 4;
inline constexpr size_t kNumKeysAt = 8;
inline constexpr size_t kNumObjectsAt = 12;
inline constexpr size_t kIndexOffsetAt = 16;
inline constexpr size_t kDataOffsetAt = 24;
inline constexpr size_t kFileCrcAt = 32;
// The reserved bytes [begin, end), written as zero.
struct HeaderSpan {
  size_t begin;
  size_t end;
};
inline constexpr HeaderSpan kReservedSpans[] = {{5, 8}, {36, 40}};

// An object record is its payload behind an 8-byte head: length, then CRC.
inline constexpr size_t kRecordHeadSize = 8;
// An index entry is its key between a u16 length and a u64 location.
inline constexpr size_t kKeyLengthSize = 2;
inline constexpr size_t kLocationSize = 8;
inline constexpr size_t kIndexEntryOverhead = kKeyLengthSize + kLocationSize;

// What the field widths can hold.
inline constexpr uint64_t kMaxKeyLength = UINT16_MAX;
inline constexpr uint64_t kMaxPayloadLength = UINT32_MAX;
inline constexpr uint64_t kMaxCount = UINT32_MAX;

// "{what} {value} exceeds the format's limit of {limit}".
std::string LimitMessage(const char* what, uint64_t value, uint64_t limit);

// The checks of a writer about to store the object numbered `object_count`,
// and about to name the object `obj_id` by a key.
Status CheckNewObject(uint64_t payload_size, uint64_t object_count);
Status CheckObjectId(uint64_t obj_id, uint64_t object_count);

// True when [offset, offset + len) lies inside [0, size). Never computes
// offset + len, which can wrap for offsets read from a damaged file.
inline bool Fits(uint64_t size, uint64_t offset, uint64_t len) noexcept {
  return offset <= size && size - offset >= len;
}

inline uint16_t LoadU16(const uint8_t* p) noexcept {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t LoadU32(const uint8_t* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return __builtin_bswap32(v);
}
inline uint64_t LoadU64(const uint8_t* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return __builtin_bswap64(v);
}
inline void StoreU16(uint8_t* p, uint16_t v) noexcept {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void StoreU32(uint8_t* p, uint32_t v) noexcept {
  v = __builtin_bswap32(v);
  std::memcpy(p, &v, sizeof v);
}
inline void StoreU64(uint8_t* p, uint64_t v) noexcept {
  v = __builtin_bswap64(v);
  std::memcpy(p, &v, sizeof v);
}

// The 40-byte header of a file with these counts, its index at
// `index_offset` and the CRC of everything after the header.
inline void StoreHeader(uint8_t* header, uint32_t num_keys, uint32_t num_objects,
                        uint64_t index_offset, uint32_t file_crc) noexcept {
  std::memset(header, 0, kHeaderSize);
  std::memcpy(header, kMagic, sizeof kMagic);
  header[kVersionAt] = kVersion;
  StoreU32(header + kNumKeysAt, num_keys);
  StoreU32(header + kNumObjectsAt, num_objects);
  StoreU64(header + kIndexOffsetAt, index_offset);
  StoreU64(header + kDataOffsetAt, kDataOffset);
  StoreU32(header + kFileCrcAt, file_crc);
}

// Standard CRC-32 (IEEE 802.3, zlib's), continued from `crc` (0 to start).
uint32_t Crc32(Bytes data, uint32_t crc = 0) noexcept;

// The head of the record holding `payload` (at most kMaxPayloadLength bytes):
// its length, then its CRC.
inline void StoreRecordHead(uint8_t* head, Bytes payload) noexcept {
  StoreU32(head, static_cast<uint32_t>(payload.size()));
  StoreU32(head + 4, Crc32(payload));
}

// "0x" and eight lower-case hex digits, as every message and stats show a CRC.
std::string FormatCrc(uint32_t crc);

// The index order: unsigned bytes over the common length, a proper prefix
// before its extensions.
inline int CompareKeys(std::string_view a, std::string_view b) noexcept {
  const size_t common = a.size() < b.size() ? a.size() : b.size();
  const int c = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
  if (c != 0) return c;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

inline std::string_view AsChars(Bytes bytes) noexcept {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}
inline Bytes AsBytes(std::string_view chars) noexcept {
  return {reinterpret_cast<const uint8_t*>(chars.data()), chars.size()};
}

// Asks for the record at `location` to be brought into cache ahead of a
// fetch: walks in key order visit records in no particular file order.
// Records are usually small, so the first two cache lines of one cover its
// head and most payloads.
inline void PrefetchRecord(Bytes file, uint64_t location) noexcept {
  if (location >= file.size()) return;
  __builtin_prefetch(file.data() + location);
  if (file.size() - location > 64) __builtin_prefetch(file.data() + location + 64);
}

// How many entries ahead walks prefetch.
inline constexpr size_t kPrefetchDistance = 16;

// The errors of FetchRecord, kept out of line: fetching is on hot paths.
StoreError RecordOutOfBounds(uint64_t location);
StoreError RecordBeyondEnd(uint64_t location);
// A record of the data section that runs past `end`, its index_offset.
StoreError RecordPastEnd(uint64_t location, uint64_t end);

// The payload of the record at `location`, a view into `file`. The payload
// CRC is not checked here; only verification does that.
inline Result<Bytes> FetchRecord(Bytes file, uint64_t location) {
  if (!Fits(file.size(), location, kRecordHeadSize)) [[unlikely]]
    return RecordOutOfBounds(location);
  const uint32_t length = LoadU32(file.data() + location);
  if (!Fits(file.size(), location + kRecordHeadSize, length)) [[unlikely]]
    return RecordBeyondEnd(location);
  return file.subspan(location + kRecordHeadSize, length);
}

// Whether the record at `location` of a data section that ends at `end` (at
// most the file's size) ends by `end`, head and payload; sets `*length` to
// its payload's length when it does. The data-section walks' bounds check, a
// plain bool as the strict walk is hot; RecordPastEnd is its error.
[[nodiscard]] inline bool RecordEndsBy(Bytes file, uint64_t location, uint64_t end,
                                       uint32_t* length) {
  if (!Fits(end, location, kRecordHeadSize)) return false;
  *length = LoadU32(file.data() + location);
  return Fits(end, location + kRecordHeadSize, *length);
}

// What is wrong with the record at `location`, if anything: its head or
// payload past the end of `file`, or a payload CRC that differs from the
// stored one. Verification's one record check.
std::optional<StoreError> CheckRecord(Bytes file, uint64_t location);

// The CRC of everything after the header compared with `stored`.
Status CheckFileCrc(Bytes file, uint32_t stored);
// CheckFileCrc for a CRC `computed` elsewhere, with the same message.
Status CompareFileCrc(uint32_t stored, uint32_t computed);

}  // namespace quordb

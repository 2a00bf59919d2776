#include "core/strict_verify.h"

#include <optional>
#include <string>
#include <utility>

#include "core/format.h"
#include "core/verify_pass.h"

namespace quordb {
namespace {

std::string Decimal(uint64_t value) { return std::to_string(value); }

Status CheckHeader(Bytes file) {
  const uint64_t data_offset = LoadU64(file.data() + kDataOffsetAt);
  if (data_offset != kDataOffset)
    return StoreError::Corrupt("data_offset is " + Decimal(data_offset) + ", not " +
                               Decimal(kDataOffset));
  for (const HeaderSpan span : kReservedSpans)
    for (size_t at = span.begin; at < span.end; ++at)
      if (file[at] != 0)
        return StoreError::Corrupt("reserved header byte " + Decimal(at) + " is " +
                                   Decimal(file[at]) + ", not 0");
  return OkStatus();
}

// The file offset of index entry `entry`; only failures need it.
uint64_t EntryOffset(const Reader& reader, size_t entry) {
  uint64_t at = reader.index_offset();
  for (size_t before = 0; before < entry; ++before)
    at += kIndexEntryOverhead + reader.KeyAt(before).size();
  return at;
}

Status CheckKeyOrder(const Reader& reader) {
  for (size_t entry = 1; entry < reader.entry_count(); ++entry) {
    const int order = CompareKeys(reader.KeyAt(entry - 1), reader.KeyAt(entry));
    if (order < 0) continue;
    const std::string at = "index entry at offset " + Decimal(EntryOffset(reader, entry));
    if (order == 0) return StoreError::Corrupt(at + " repeats the key before it");
    return StoreError::Corrupt(at + " is out of key order");
  }
  return OkStatus();
}

// Everything VerifyStrict adds to the whole-file CRC. Passing it implies
// that Verify's record checks pass: each location is the start of a record
// whose bounds and CRC the walk has checked exactly as Verify would. The
// walk computes the file CRC too, into `file_crc`, when it runs.
Status CheckStructure(const Reader& reader, std::optional<uint32_t>& file_crc) {
  const Bytes file = reader.file();
  QUORDB_RETURN_IF_ERROR(CheckHeader(file));
  const uint64_t index_offset = reader.index_offset();
  if (index_offset < kDataOffset || index_offset > file.size())
    return StoreError::Corrupt("index_offset " + Decimal(index_offset) + " lies outside " +
                               Decimal(kDataOffset) + " to " + Decimal(file.size()));
  DataSectionPass walk = WalkDataSection(reader);
  file_crc = walk.file_crc;
  if (walk.failure) return std::move(*walk.failure);
  if (walk.records != reader.num_objects())
    return StoreError::Corrupt("data section holds " + Decimal(walk.records) +
                               " records, num_objects is " + Decimal(reader.num_objects()));
  QUORDB_RETURN_IF_ERROR(CheckIndexEnd(reader));
  QUORDB_RETURN_IF_ERROR(CheckKeyOrder(reader));
  if (walk.stray)
    return StoreError::Corrupt(
        "index entry at offset " + Decimal(EntryOffset(reader, walk.stray->entry)) +
        " names location " + Decimal(walk.stray->location) + ", not the start of an object record");
  return OkStatus();
}

}  // namespace

Status VerifyStrict(const Reader& reader) {
  std::optional<uint32_t> file_crc;
  Status structure = CheckStructure(reader, file_crc);
  // Verify's first step: a mismatch is reported whatever else is wrong.
  const Bytes file = reader.file();
  QUORDB_RETURN_IF_ERROR(
      CompareFileCrc(reader.file_crc32(), file_crc ? *file_crc : Crc32(file.subspan(kHeaderSize))));
  if (structure.ok()) return structure;
  // A damaged file may fail Verify's record checks too, and what Verify
  // reports comes first.
  QUORDB_RETURN_IF_ERROR(reader.Verify());
  return structure;
}

Status CheckIndexEnd(const Reader& reader) {
  const uint64_t size = reader.file().size();
  if (reader.index_end() == size) return OkStatus();
  return StoreError::Corrupt("index of num_keys=" + Decimal(reader.num_keys()) +
                             " entries ends at " + Decimal(reader.index_end()) +
                             ", not at the end of the file (" + Decimal(size) + ")");
}

}  // namespace quordb

#include "core/table_verify.h"

#include <string>

#include "core/key_hash.h"
#include "core/lookup_table.h"

namespace quordb {
namespace {

StoreError TableCorrupt(const std::string& what) {
  return StoreError::Corrupt("lookup table: " + what);
}

std::string Decimal(uint64_t value) { return std::to_string(value); }

// Whether `file` holds only zero bytes in [from, to).
bool ZeroBetween(Bytes file, uint64_t from, uint64_t to) {
  for (uint64_t at = from; at < to; ++at)
    if (file[at] != 0) return false;
  return true;
}

Status CheckPadding(Bytes file, const LookupTable& table) {
  const TableTrailer& trailer = table.trailer();
  const TableGeometry& geometry = table.geometry();
  const uint64_t metadata_end =
      geometry.metadata_at + trailer.groups * TagProbe<NearSlot>::kMetadataSize;
  const uint64_t slots_end =
      geometry.slots_at + trailer.groups * TagProbe<NearSlot>::kGroupSize * trailer.slot_size();
  const uint64_t sparse_end = geometry.sparse_at + trailer.sparse_count() * kTableSparseWidth;
  const struct {
    uint64_t from;
    uint64_t to;
  } gaps[] = {{trailer.index_end, geometry.metadata_at},
              {metadata_end, geometry.slots_at},
              {slots_end, geometry.sparse_at},
              {sparse_end, geometry.trailer_at},
              {geometry.trailer_at + 10, geometry.trailer_at + 12}};
  for (const auto& gap : gaps)
    if (!ZeroBetween(file, gap.from, gap.to))
      return TableCorrupt("padding at " + Decimal(gap.from) + " is not zero");
  return OkStatus();
}

// Walks the index and finds each entry's slot; counts the slots found.
template <typename Slot>
Status CheckSlots(const Reader& reader, const LookupTable& table, const TagProbe<Slot>& probe) {
  const Bytes file = reader.file();
  const TableTrailer& trailer = table.trailer();
  const typename Slot::Layout& layout = probe.layout();
  const uint64_t block_mask = (uint64_t{1} << trailer.sparse_shift) - 1;
  uint64_t pos = trailer.index_offset;
  for (uint64_t entry = 0; entry < trailer.num_keys; ++entry) {
    const std::string at = "index entry at offset " + Decimal(pos);
    if (!Fits(trailer.index_end, pos, kIndexEntryOverhead))
      return TableCorrupt("index runs past index_end " + Decimal(trailer.index_end));
    const uint16_t key_length = LoadU16(file.data() + pos);
    if (!Fits(trailer.index_end, pos + kKeyLengthSize, uint64_t{key_length} + kLocationSize))
      return TableCorrupt("index runs past index_end " + Decimal(trailer.index_end));
    const uint64_t member = pos - trailer.index_offset;
    if ((entry & block_mask) == 0 && table.BlockStart(entry >> trailer.sparse_shift) != member)
      return TableCorrupt("sparse array entry " + Decimal(entry >> trailer.sparse_shift) +
                          " does not lead to " + at);
    const std::string_view key = AsChars(file.subspan(pos + kKeyLengthSize, key_length));
    const uint64_t location = LoadU64(file.data() + pos + kKeyLengthSize + key_length);
    const Slot* slot = probe.Find(HashKey(key, trailer.seed), [&](const Slot& held) {
      return layout.MemberOf(held) == member;
    });
    if (slot == nullptr) return TableCorrupt(at + " is not reachable through the table");
    if (layout.LocationOf(*slot) != location)
      return TableCorrupt("the slot of " + at + " holds location " +
                          Decimal(layout.LocationOf(*slot)) + ", the entry " + Decimal(location));
    pos += kIndexEntryOverhead + key_length;
  }
  if (pos != trailer.index_end)
    return TableCorrupt("index of num_keys=" + Decimal(trailer.num_keys) + " entries ends at " +
                        Decimal(pos) + ", not at index_end " + Decimal(trailer.index_end));
  // Each key found a slot naming its own entry, so each a different slot:
  // as many taken slots as keys leaves none that points elsewhere.
  uint64_t taken = 0;
  const Bytes metadata =
      file.subspan(table.geometry().metadata_at, trailer.groups * TagProbe<Slot>::kMetadataSize);
  for (uint64_t i = 0; i < metadata.size(); ++i)
    if (i % TagProbe<Slot>::kMetadataSize != TagProbe<Slot>::kGroupSize &&
        metadata[i] != TagProbe<Slot>::kFreeTag)
      ++taken;
  if (taken != trailer.num_keys)
    return TableCorrupt(Decimal(taken) + " slots taken for " + Decimal(trailer.num_keys) + " keys");
  return OkStatus();
}

}  // namespace

Status CheckTableStrictly(const Reader& reader) {
  const LookupTable* table = reader.table();
  if (table == nullptr) return OkStatus();
  const Bytes file = reader.file();
  const TableGeometry& geometry = table->geometry();
  const uint32_t crc =
      Crc32(file.subspan(geometry.metadata_at, geometry.trailer_at - geometry.metadata_at));
  if (crc != table->trailer().section_crc)
    return TableCorrupt("section CRC32 mismatch  stored=" +
                        FormatCrc(table->trailer().section_crc) + "  computed=" + FormatCrc(crc));
  QUORDB_RETURN_IF_ERROR(CheckPadding(file, *table));
  return table->wide() ? CheckSlots(reader, *table, table->wide_probe())
                       : CheckSlots(reader, *table, table->near());
}

}  // namespace quordb

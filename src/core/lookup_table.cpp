#include "core/lookup_table.h"

#include <bit>
#include <cstring>
#include <system_error>
#include <utility>

#include "core/key_hash.h"

namespace quordb {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the table's arrays are little-endian and used as mapped");
static_assert(sizeof(NearSlot) == 8 && sizeof(WideSlot) == 12);

// Trailer field positions.
constexpr size_t kTrailerVersionAt = 4;
constexpr size_t kTrailerSlotKindAt = 5;
constexpr size_t kTrailerMemberWidthAt = 6;
constexpr size_t kTrailerLocationWidthAt = 7;
constexpr size_t kTrailerHashAt = 8;
constexpr size_t kTrailerSparseShiftAt = 9;
constexpr size_t kTrailerNumKeysAt = 12;
constexpr size_t kTrailerGroupsAt = 16;
constexpr size_t kTrailerSeedAt = 24;
constexpr size_t kTrailerIndexOffsetAt = 32;
constexpr size_t kTrailerIndexEndAt = 40;
constexpr size_t kTrailerSectionOffsetAt = 48;
constexpr size_t kTrailerSectionCrcAt = 56;
constexpr size_t kTrailerCrcAt = 60;

// Wide slots hold 48-bit locations and 32-bit members in every table.
constexpr uint8_t kWideMemberWidth = 32;
constexpr uint8_t kWideLocationWidth = 48;

template <typename T>
T LoadLe(const uint8_t* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <typename T>
void StoreLe(uint8_t* p, T v) noexcept {
  std::memcpy(p, &v, sizeof v);
}

// `at` rounded up to a multiple of `alignment` (a power of two), or nullopt
// when that passes 2^64.
std::optional<uint64_t> AlignUp(uint64_t at, uint64_t alignment) noexcept {
  if (at > UINT64_MAX - (alignment - 1)) return std::nullopt;
  return (at + alignment - 1) & ~(alignment - 1);
}

// `at` + `count` * `width`, or nullopt when that passes 2^64.
std::optional<uint64_t> Past(uint64_t at, uint64_t count, uint64_t width) noexcept {
  if (count > (UINT64_MAX - at) / width) return std::nullopt;
  return at + count * width;
}

StoreError TableCorrupt(const std::string& what) {
  return StoreError::Corrupt("lookup table: " + what);
}

// A seed that depends on the content only, so that a build is reproducible,
// and that differs between files (splitmix64's finaliser).
uint64_t SeedFor(uint32_t content_crc, uint32_t num_keys) noexcept {
  uint64_t z = (uint64_t{content_crc} << 32 | num_keys) + 0x9E3779B97F4A7C15;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
  return z ^ (z >> 31);
}

}  // namespace

std::optional<TableGeometry> GeometryOf(const TableTrailer& trailer) noexcept {
  TableGeometry geometry{};
  geometry.metadata_at = trailer.section_offset;
  const std::optional<uint64_t> metadata_end =
      Past(geometry.metadata_at, trailer.groups, TagProbe<NearSlot>::kMetadataSize);
  if (!metadata_end) return std::nullopt;
  const std::optional<uint64_t> slots_at = AlignUp(*metadata_end, kTableAlignment);
  if (!slots_at || trailer.groups > UINT64_MAX / TagProbe<NearSlot>::kGroupSize)
    return std::nullopt;
  geometry.slots_at = *slots_at;
  const std::optional<uint64_t> slots_end =
      Past(geometry.slots_at, trailer.groups * TagProbe<NearSlot>::kGroupSize, trailer.slot_size());
  if (!slots_end) return std::nullopt;
  const std::optional<uint64_t> sparse_at = AlignUp(*slots_end, kTableAlignment);
  if (!sparse_at) return std::nullopt;
  geometry.sparse_at = *sparse_at;
  const std::optional<uint64_t> sparse_end =
      Past(geometry.sparse_at, trailer.sparse_count(), kTableSparseWidth);
  if (!sparse_end) return std::nullopt;
  const std::optional<uint64_t> trailer_at = AlignUp(*sparse_end, 8);
  if (!trailer_at || *trailer_at > UINT64_MAX - kTableTrailerSize) return std::nullopt;
  geometry.trailer_at = *trailer_at;
  geometry.end = geometry.trailer_at + kTableTrailerSize;
  return geometry;
}

void StoreTrailer(uint8_t* out, const TableTrailer& trailer) noexcept {
  std::memset(out, 0, kTableTrailerSize);
  std::memcpy(out, kTableMagic, sizeof kTableMagic);
  out[kTrailerVersionAt] = kTableVersion;
  out[kTrailerSlotKindAt] = static_cast<uint8_t>(trailer.slot_kind);
  out[kTrailerMemberWidthAt] = trailer.member_width;
  out[kTrailerLocationWidthAt] = trailer.location_width;
  out[kTrailerHashAt] = trailer.hash;
  out[kTrailerSparseShiftAt] = trailer.sparse_shift;
  StoreLe(out + kTrailerNumKeysAt, trailer.num_keys);
  StoreLe(out + kTrailerGroupsAt, trailer.groups);
  StoreLe(out + kTrailerSeedAt, trailer.seed);
  StoreLe(out + kTrailerIndexOffsetAt, trailer.index_offset);
  StoreLe(out + kTrailerIndexEndAt, trailer.index_end);
  StoreLe(out + kTrailerSectionOffsetAt, trailer.section_offset);
  StoreLe(out + kTrailerSectionCrcAt, trailer.section_crc);
  StoreLe(out + kTrailerCrcAt, Crc32({out, kTrailerCrcAt}));
}

Result<TableTrailer> LoadTrailer(Bytes tail) {
  if (tail.size() < kTableTrailerSize) return TableCorrupt("file too small for a trailer");
  const uint8_t* in = tail.data() + tail.size() - kTableTrailerSize;
  if (std::memcmp(in, kTableMagic, sizeof kTableMagic) != 0)
    return TableCorrupt("bad trailer magic");
  if (LoadLe<uint32_t>(in + kTrailerCrcAt) != Crc32({in, kTrailerCrcAt}))
    return TableCorrupt("trailer CRC32 mismatch");
  if (in[kTrailerVersionAt] != kTableVersion)
    return TableCorrupt("unsupported version " + std::to_string(in[kTrailerVersionAt]));
  TableTrailer trailer;
  trailer.slot_kind = static_cast<SlotKind>(in[kTrailerSlotKindAt]);
  trailer.member_width = in[kTrailerMemberWidthAt];
  trailer.location_width = in[kTrailerLocationWidthAt];
  trailer.hash = in[kTrailerHashAt];
  trailer.sparse_shift = in[kTrailerSparseShiftAt];
  trailer.num_keys = LoadLe<uint32_t>(in + kTrailerNumKeysAt);
  trailer.groups = LoadLe<uint64_t>(in + kTrailerGroupsAt);
  trailer.seed = LoadLe<uint64_t>(in + kTrailerSeedAt);
  trailer.index_offset = LoadLe<uint64_t>(in + kTrailerIndexOffsetAt);
  trailer.index_end = LoadLe<uint64_t>(in + kTrailerIndexEndAt);
  trailer.section_offset = LoadLe<uint64_t>(in + kTrailerSectionOffsetAt);
  trailer.section_crc = LoadLe<uint32_t>(in + kTrailerSectionCrcAt);
  if (trailer.hash != kTableHashXxh3)
    return TableCorrupt("unknown hash " + std::to_string(trailer.hash));
  if (trailer.sparse_shift > 31)
    return TableCorrupt("sparse_shift " + std::to_string(trailer.sparse_shift) + " too large");
  if (trailer.slot_kind == SlotKind::kNear) {
    if (trailer.member_width > 32 || trailer.location_width > 32)
      return TableCorrupt("near slot widths " + std::to_string(trailer.member_width) + "/" +
                          std::to_string(trailer.location_width) + " exceed 32 bits");
  } else if (trailer.slot_kind == SlotKind::kWide) {
    if (trailer.member_width != kWideMemberWidth || trailer.location_width != kWideLocationWidth)
      return TableCorrupt("wide slot widths are not 32/48");
  } else {
    return TableCorrupt("unknown slot kind " + std::to_string(in[kTrailerSlotKindAt]));
  }
  return trailer;
}

Status CheckTrailerAgainst(const TableTrailer& trailer, Bytes header, uint64_t file_size) {
  if (trailer.num_keys != LoadU32(header.data() + kNumKeysAt))
    return TableCorrupt("trailer num_keys " + std::to_string(trailer.num_keys) +
                        " differs from the header's " +
                        std::to_string(LoadU32(header.data() + kNumKeysAt)));
  if (trailer.index_offset != LoadU64(header.data() + kIndexOffsetAt))
    return TableCorrupt("trailer index_offset " + std::to_string(trailer.index_offset) +
                        " differs from the header's");
  if (trailer.index_offset < kDataOffset || trailer.index_offset > trailer.index_end ||
      trailer.index_end > trailer.section_offset)
    return TableCorrupt("index_offset, index_end and section_offset out of order");
  // Every entry takes kIndexEntryOverhead bytes at least, and slots name
  // entries by a 32-bit offset.
  const uint64_t index_size = trailer.index_end - trailer.index_offset;
  if (index_size / kIndexEntryOverhead < trailer.num_keys || index_size > UINT32_MAX)
    return TableCorrupt("index of " + std::to_string(index_size) + " bytes cannot hold " +
                        std::to_string(trailer.num_keys) + " entries");
  if (trailer.section_offset % kTableAlignment != 0)
    return TableCorrupt("section_offset " + std::to_string(trailer.section_offset) +
                        " is not aligned");
  if (trailer.groups == 0 || trailer.groups > file_size / TagProbe<NearSlot>::kMetadataSize ||
      trailer.groups * TagProbe<NearSlot>::kGroupSize < trailer.num_keys)
    return TableCorrupt("group count " + std::to_string(trailer.groups) + " does not fit " +
                        std::to_string(trailer.num_keys) + " keys");
  const std::optional<TableGeometry> geometry = GeometryOf(trailer);
  if (!geometry || geometry->end != file_size)
    return TableCorrupt("arrays do not end at the end of the file (" + std::to_string(file_size) +
                        ")");
  return OkStatus();
}

LookupTable::LookupTable(const TableTrailer& trailer, const TableGeometry& geometry,
                         Bytes file) noexcept
    : trailer_(trailer), geometry_(geometry), sparse_(file.data() + geometry.sparse_at) {
  const uint8_t* metadata = file.data() + geometry.metadata_at;
  const uint8_t* slots = file.data() + geometry.slots_at;
  if (wide()) {
    wide_ =
        TagProbe<WideSlot>({}, trailer.groups, reinterpret_cast<const WideSlot*>(slots), metadata);
  } else {
    near_ = TagProbe<NearSlot>(
        NearSlot::Layout::FromWidths(trailer.member_width, trailer.location_width), trailer.groups,
        reinterpret_cast<const NearSlot*>(slots), metadata);
  }
}

Result<std::optional<LookupTable>> LookupTable::Open(Bytes file) {
  if (file.size() < kHeaderSize || !HasTableFlag(file.first(kHeaderSize)))
    return std::optional<LookupTable>();
  Result<TableTrailer> trailer = LoadTrailer(file.subspan(kHeaderSize));
  if (!trailer.ok()) return std::move(trailer).error();
  QUORDB_RETURN_IF_ERROR(
      CheckTrailerAgainst(trailer.value(), file.first(kHeaderSize), file.size()));
  return std::optional<LookupTable>(
      LookupTable(trailer.value(), *GeometryOf(trailer.value()), file));
}

TableBuilder::TableBuilder(uint64_t index_offset, uint64_t index_size, uint32_t num_keys,
                           uint32_t data_crc) {
  trailer_.num_keys = num_keys;
  trailer_.seed = SeedFor(data_crc, num_keys);
  trailer_.index_offset = index_offset;
  trailer_.index_end = index_offset + index_size;
  if (index_offset <= kNearTableLimit) {
    const NearSlot::Layout layout(index_size, index_offset);
    trailer_.slot_kind = SlotKind::kNear;
    trailer_.member_width = static_cast<uint8_t>(layout.member_width());
    trailer_.location_width = static_cast<uint8_t>(layout.location_width());
    trailer_.groups = TagTable<NearSlot>::GroupsFor(num_keys);
  } else {
    trailer_.slot_kind = SlotKind::kWide;
    trailer_.member_width = kWideMemberWidth;
    trailer_.location_width = kWideLocationWidth;
    trailer_.groups = TagTable<WideSlot>::GroupsFor(num_keys);
  }
  sparse_.resize(trailer_.sparse_count() * kTableSparseWidth);
  pending_.reserve(kPendingStretch);
  try {
    placer_ = std::jthread([this, index_size] { PlaceAll(index_size); });
  } catch (const std::system_error&) {
    // No thread to be had: the claims are made on this one, as entries come.
    MakeTable(index_size);
  }
}

TableBuilder::~TableBuilder() { StopPlacing(); }

void TableBuilder::MakeTable(uint64_t index_size) {
  if (trailer_.slot_kind == SlotKind::kWide) {
    wide_ = TagTable<WideSlot>(trailer_.num_keys);
  } else {
    near_ =
        TagTable<NearSlot>(trailer_.num_keys, NearSlot::Layout(index_size, trailer_.index_offset));
  }
}

void TableBuilder::PlaceStretch(std::span<const Pending> pending) noexcept {
  if (trailer_.slot_kind == SlotKind::kWide) {
    Place(wide_, pending);
  } else {
    Place(near_, pending);
  }
}

void TableBuilder::PlaceAll(uint64_t index_size) noexcept {
  try {
    MakeTable(index_size);
  } catch (...) {
    failure_ = std::current_exception();
  }
  std::unique_lock lock(handing_);
  for (;;) {
    handed_.wait(lock, [this] { return !stretches_.empty() || last_handed_; });
    if (stretches_.empty()) return;
    std::vector<Pending> stretch = std::move(stretches_.front());
    lock.unlock();
    if (!failure_) PlaceStretch(stretch);
    lock.lock();
    stretches_.pop_front();
    handed_.notify_all();
  }
}

void TableBuilder::StopPlacing() noexcept {
  {
    std::lock_guard lock(handing_);
    last_handed_ = true;
  }
  handed_.notify_all();
  if (placer_.joinable()) placer_.join();
}

template <typename Slot>
void TableBuilder::Place(TagTable<Slot>& table, std::span<const Pending> pending) noexcept {
  // A slot is asked for kAhead claims ahead, its group's metadata twice as far.
  constexpr size_t kAhead = 16;
  const size_t count = pending.size();
  for (size_t i = 0; i < std::min(count, 2 * kAhead); ++i) table.PrefetchMetadata(pending[i].hash);
  for (size_t i = 0; i < count; ++i) {
    if (i + 2 * kAhead < count) table.PrefetchMetadata(pending[i + 2 * kAhead].hash);
    if (i + kAhead < count) table.PrefetchClaim(pending[i + kAhead].hash);
    const Pending& entry = pending[i];
    table.Claim(entry.hash, [](const Slot&) { return false; }) =
        table.layout().Make(entry.member, entry.location, entry.hash);
  }
}

Status TableBuilder::Add(Bytes entries) {
  constexpr uint32_t kBlockMask = (uint32_t{1} << kTableSparseShift) - 1;
  for (uint64_t at = 0; at < entries.size();) {
    if (added_ == trailer_.num_keys || !quordb::Fits(entries.size(), at, kIndexEntryOverhead))
      return StoreError::General("lookup table: entries past the index");
    const uint16_t key_length = LoadU16(entries.data() + at);
    const uint64_t entry_size = kIndexEntryOverhead + key_length;
    if (!quordb::Fits(entries.size(), at, entry_size))
      return StoreError::General("lookup table: entries not whole");
    const std::string_view key = AsChars(entries.subspan(at + kKeyLengthSize, key_length));
    const uint64_t location = LoadU64(entries.data() + at + kKeyLengthSize + key_length);
    if ((added_ & kBlockMask) == 0)
      StoreLe(sparse_.data() + (added_ >> kTableSparseShift) * kTableSparseWidth,
              static_cast<uint32_t>(pos_));
    pending_.push_back({HashKey(key, trailer_.seed), location, static_cast<uint32_t>(pos_)});
    pos_ += entry_size;
    at += entry_size;
    ++added_;
    if (pending_.size() == kPendingStretch) PlacePending();
  }
  PlacePending();
  return OkStatus();
}

void TableBuilder::PlacePending() {
  if (pending_.empty()) return;
  if (!placer_.joinable()) {
    PlaceStretch(pending_);
    pending_.clear();
    return;
  }
  std::vector<Pending> next;
  next.reserve(kPendingStretch);
  {
    std::unique_lock lock(handing_);
    handed_.wait(lock, [this] { return stretches_.size() < kStretchesAhead; });
    stretches_.push_back(std::exchange(pending_, std::move(next)));
  }
  handed_.notify_all();
}

Status TableBuilder::Finish() {
  StopPlacing();
  if (failure_) std::rethrow_exception(failure_);
  if (added_ != trailer_.num_keys)
    return StoreError::General("lookup table: " + std::to_string(added_) +
                               " entries for an index of " + std::to_string(trailer_.num_keys));
  if (trailer_.index_end != trailer_.index_offset + pos_)
    return StoreError::General("lookup table: the index ends at " +
                               std::to_string(trailer_.index_offset + pos_) + ", not " +
                               std::to_string(trailer_.index_end));
  const uint64_t arrays =
      trailer_.groups * (TagProbe<NearSlot>::kMetadataSize +
                         TagProbe<NearSlot>::kGroupSize * trailer_.slot_size()) +
      trailer_.sparse_count() * kTableSparseWidth;
  trailer_.section_offset = *AlignUp(
      trailer_.index_end, arrays >= kTableHugeFrom ? kTableHugeAlignment : kTableAlignment);
  geometry_ = *GeometryOf(trailer_);
  return OkStatus();
}

void TableBuilder::Seal(uint32_t section_crc) noexcept {
  trailer_.section_crc = section_crc;
  StoreTrailer(trailer_bytes_, trailer_);
}

}  // namespace quordb

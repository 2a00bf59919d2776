#include "core/verify_pass.h"

#include <algorithm>
#include <bit>

#include "core/huge_pages.h"

namespace quordb {
namespace {

// Where the records of a data section start, asked of any location. The
// section is cut into slots of 2^k bytes, no longer than its shortest record,
// so that no slot holds two starts, and each slot keeps one byte: 0 for no
// start, else 1 + the start's offset in the slot. With records of about a
// hundred bytes that is a byte per 64 of the file, small enough to stay in
// cache while the index's locations, in key order, probe it at random. A
// section whose shortest record is far shorter than the others would need a
// table far larger than the list of starts; its locations are looked up in
// the list instead.
template <typename Location>
class RecordStarts {
 public:
  // `starts` ascending, each at least `shortest` bytes from the next; they
  // must outlive this.
  RecordStarts(const HugePageVector<Location>& starts, uint64_t end, uint64_t shortest)
      : starts_(starts),
        end_(end),
        slot_bits_(static_cast<unsigned>(std::bit_width(std::min(shortest, kLongestSlot))) - 1) {
    const uint64_t slots = end > kDataOffset ? ((end - kDataOffset) >> slot_bits_) + 1 : 0;
    if (slots / kMostSlotsPerStart > starts.size()) return;
    slots_.assign(static_cast<size_t>(slots), 0);
    for (const Location start : starts) slots_[SlotOf(start)] = MarkOf(start);
  }

  bool Contains(uint64_t location) const noexcept {
    if (location < kDataOffset || location >= end_) return false;
    if (slots_.empty())
      return std::binary_search(starts_.begin(), starts_.end(), static_cast<Location>(location));
    return slots_[SlotOf(location)] == MarkOf(location);
  }

 private:
  // 1 + an offset in the slot must fit the byte.
  static constexpr uint64_t kLongestSlot = 128;
  // Past this many table bytes per record, the list is searched.
  static constexpr uint64_t kMostSlotsPerStart = 16;

  size_t SlotOf(uint64_t location) const noexcept {
    return static_cast<size_t>((location - kDataOffset) >> slot_bits_);
  }
  uint8_t MarkOf(uint64_t location) const noexcept {
    return static_cast<uint8_t>(((location - kDataOffset) & ((uint64_t{1} << slot_bits_) - 1)) + 1);
  }

  const HugePageVector<Location>& starts_;
  uint64_t end_;
  unsigned slot_bits_;
  HugePageVector<uint8_t> slots_;
};

template <typename Location>
DataSectionPass Walk(const Reader& reader, uint64_t end) {
  const Bytes file = reader.file();
  FileCrcAhead crc(file);
  DataSectionPass pass;
  // num_objects is a hint only: a damaged count must not reserve more than
  // the section can hold.
  HugePageVector<Location> starts;
  starts.reserve(static_cast<size_t>(std::min<uint64_t>(
      reader.num_objects(), end > kDataOffset ? (end - kDataOffset) / kRecordHeadSize : 0)));
  uint64_t shortest = UINT64_MAX;
  for (uint64_t at = kDataOffset; at < end; ++pass.records) {
    uint32_t length = 0;
    if (!RecordEndsBy(file, at, end, &length)) {
      pass.failure = RecordPastEnd(at, end);
      break;
    }
    const uint64_t payload_at = at + kRecordHeadSize;
    crc.Cover(payload_at + length);
    if (Crc32(file.subspan(payload_at, length)) != LoadU32(file.data() + at + 4)) {
      pass.failure = CheckRecord(file, at);
      break;
    }
    starts.push_back(static_cast<Location>(at));
    shortest = std::min<uint64_t>(shortest, kRecordHeadSize + length);
    at = payload_at + length;
  }
  pass.file_crc = crc.Finish();
  if (pass.failure) return pass;
  const RecordStarts<Location> record_starts(starts, end, shortest);
  for (size_t entry = 0; entry < reader.entry_count(); ++entry) {
    const uint64_t location = reader.LocationAt(entry);
    if (!record_starts.Contains(location)) {
      pass.stray = StrayEntry{static_cast<uint32_t>(entry), location};
      break;
    }
  }
  return pass;
}

}  // namespace

void FileCrcAhead::FoldBlock() noexcept {
  const uint64_t length = std::min<uint64_t>(kBlock, file_.size() - done_);
  crc_ = Crc32(file_.subspan(done_, length), crc_);
  done_ += length;
}

DataSectionPass WalkDataSection(const Reader& reader) {
  const uint64_t end = std::min<uint64_t>(reader.index_offset(), reader.file().size());
  // Half the memory for the starts while each fits 32 bits.
  if (end <= uint64_t{UINT32_MAX} + 1) return Walk<uint32_t>(reader, end);
  return Walk<uint64_t>(reader, end);
}

}  // namespace quordb

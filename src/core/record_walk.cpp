#include "core/record_walk.h"

#include <algorithm>
#include <string>

namespace quordb {
namespace {

StoreError StrayLocation(uint32_t entry, uint64_t location) {
  return StoreError::Corrupt("index entry " + std::to_string(entry) + " names location " +
                             std::to_string(location) + ", not the start of an object record");
}

}  // namespace

// num_keys is a u32, so every entry position fits one.
RecordWalk::RecordWalk(const Reader& reader)
    : reader_(reader),
      by_location_(EntriesByValue(static_cast<uint32_t>(reader.entry_count()),
                                  [&reader](uint32_t entry) { return reader.LocationAt(entry); })) {}

Result<std::optional<WalkedRecord>> RecordWalk::Next() {
  const Bytes file = reader_.file();
  // index_offset comes from the file as it is: records must end before it,
  // and it may not be trusted to lie within the file.
  const uint64_t end = std::min<uint64_t>(reader_.index_offset(), file.size());
  if (next_ < by_location_.size() && by_location_[next_].chunk < at_)
    return StrayLocation(by_location_[next_].entry, by_location_[next_].chunk);
  if (at_ >= end) {
    if (next_ < by_location_.size())
      return StrayLocation(by_location_[next_].entry, by_location_[next_].chunk);
    return std::optional<WalkedRecord>();
  }
  if (!Fits(end, at_, kRecordHeadSize) ||
      !Fits(end, at_ + kRecordHeadSize, LoadU32(file.data() + at_)))
    return StoreError::Corrupt("object at " + std::to_string(at_) + " runs past index_offset " +
                               std::to_string(end));
  WalkedRecord record;
  record.location = at_;
  record.payload = file.subspan(at_ + kRecordHeadSize, LoadU32(file.data() + at_));
  entries_.clear();
  for (; next_ < by_location_.size() && by_location_[next_].chunk == at_; ++next_)
    entries_.push_back(by_location_[next_].entry);
  record.entries = entries_;
  at_ += kRecordHeadSize + record.payload.size();
  return std::optional<WalkedRecord>(record);
}

}  // namespace quordb

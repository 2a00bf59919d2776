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

RecordWalk::RecordWalk(const Reader& reader)
    : reader_(reader), by_location_(EntriesByLocation(reader)) {}

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
  uint32_t length = 0;
  if (!RecordEndsBy(file, at_, end, &length)) return RecordPastEnd(at_, end);
  WalkedRecord record;
  record.location = at_;
  record.payload = file.subspan(at_ + kRecordHeadSize, length);
  entries_.clear();
  for (; next_ < by_location_.size() && by_location_[next_].chunk == at_; ++next_)
    entries_.push_back(by_location_[next_].entry);
  record.entries = entries_;
  at_ += kRecordHeadSize + record.payload.size();
  return std::optional<WalkedRecord>(record);
}

}  // namespace quordb

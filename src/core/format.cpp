#include "core/format.h"

#include <libdeflate.h>

#include <cstdio>

namespace quordb {

uint32_t Crc32(Bytes data, uint32_t crc) noexcept {
  // libdeflate follows zlib: a null buffer asks for the initial value, 0,
  // whatever `crc` is. An empty section's view has no storage.
  if (data.empty()) return crc;
  return libdeflate_crc32(crc, data.data(), data.size());
}

std::string FormatCrc(uint32_t crc) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08x", crc);
  return text;
}

std::string LimitMessage(const char* what, uint64_t value, uint64_t limit) {
  return std::string(what) + " " + std::to_string(value) + " exceeds the format's limit of " +
         std::to_string(limit);
}

Status CheckNewObject(uint64_t payload_size, uint64_t object_count) {
  if (payload_size > kMaxPayloadLength)
    return StoreError::General(LimitMessage("payload of", payload_size, kMaxPayloadLength) +
                               " bytes");
  if (object_count >= kMaxCount)
    return StoreError::General(LimitMessage("object count", object_count + 1, kMaxCount));
  return OkStatus();
}

Status CheckObjectId(uint64_t obj_id, uint64_t object_count) {
  if (obj_id >= object_count)
    return StoreError::General("obj_id " + std::to_string(obj_id) + " out of range (have " +
                               std::to_string(object_count) + " objects)");
  return OkStatus();
}

StoreError RecordOutOfBounds(uint64_t location) {
  return StoreError::Corrupt("offset " + std::to_string(location) + " out of bounds");
}

StoreError RecordBeyondEnd(uint64_t location) {
  return StoreError::Corrupt("object at " + std::to_string(location) + " extends beyond file end");
}

StoreError RecordPastEnd(uint64_t location, uint64_t end) {
  return StoreError::Corrupt("object at " + std::to_string(location) + " runs past index_offset " +
                             std::to_string(end));
}

std::optional<StoreError> CheckRecord(Bytes file, uint64_t location) {
  if (!Fits(file.size(), location, kRecordHeadSize))
    return StoreError::Corrupt("object offset " + std::to_string(location) + " out of bounds");
  const uint32_t length = LoadU32(file.data() + location);
  const uint32_t stored_crc = LoadU32(file.data() + location + 4);
  if (!Fits(file.size(), location + kRecordHeadSize, length)) return RecordBeyondEnd(location);
  if (Crc32(file.subspan(location + kRecordHeadSize, length)) != stored_crc)
    return StoreError::Corrupt("object CRC32 mismatch at offset " + std::to_string(location));
  return std::nullopt;
}

Status CheckFileCrc(Bytes file, uint32_t stored) {
  return CompareFileCrc(stored, Crc32(file.subspan(kHeaderSize)));
}

Status CompareFileCrc(uint32_t stored, uint32_t computed) {
  if (computed == stored) return OkStatus();
  return StoreError::Corrupt("file CRC32 mismatch  stored=" + FormatCrc(stored) +
                             "  computed=" + FormatCrc(computed));
}

}  // namespace quordb

#include "core/format.h"

#include <libdeflate.h>

#include <cstdio>

namespace quordb {

uint32_t Crc32(Bytes data, uint32_t crc) noexcept {
  return libdeflate_crc32(crc, data.data(), data.size());
}

std::string FormatCrc(uint32_t crc) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08x", crc);
  return text;
}

Result<Bytes> FetchRecord(Bytes file, uint64_t location) {
  if (!Fits(file.size(), location, kRecordHeadSize))
    return StoreError::Corrupt("offset " + std::to_string(location) + " out of bounds");
  const uint32_t length = LoadU32(file.data() + location);
  const uint64_t payload_at = location + kRecordHeadSize;
  if (!Fits(file.size(), payload_at, length))
    return StoreError::Corrupt("object at " + std::to_string(location) +
                               " extends beyond file end");
  return file.subspan(payload_at, length);
}

}  // namespace quordb

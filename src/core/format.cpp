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

StoreError RecordOutOfBounds(uint64_t location) {
  return StoreError::Corrupt("offset " + std::to_string(location) + " out of bounds");
}

StoreError RecordBeyondEnd(uint64_t location) {
  return StoreError::Corrupt("object at " + std::to_string(location) + " extends beyond file end");
}

}  // namespace quordb

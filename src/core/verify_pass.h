// The verification pass: the whole-file CRC and every record's CRC from one
// sequential read of the file.
//
//   DataSectionPass pass = WalkDataSection(reader);
//   QUORDB_RETURN_IF_ERROR(CompareFileCrc(reader.file_crc32(), pass.file_crc));
//   if (pass.Sound()) return OkStatus();
//
// A record is checked just after the block of the file that holds it has
// gone into the file CRC, so its bytes come from cache and the file is read
// from memory once, where a whole-file CRC followed by a walk of the records
// reads it twice. The walk notes where records start in a table that
// answers for any location at once, and each entry's location is then
// looked up there, so no record is read out of file order.
//
// Reader::Verify and VerifyStrict both walk this way; each keeps its own
// messages, and a walk that is not sound sends Verify back to its checks in
// key order, which say what is wrong as they always have.
//
// Pure functions of the reader's mapping: any number may run at once.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/error.h"
#include "core/format.h"
#include "core/reader.h"

namespace quordb {

// The CRC of a file's bytes after the header, folded in blocks just ahead of
// a walk in file order.
class FileCrcAhead {
 public:
  explicit FileCrcAhead(Bytes file) noexcept : file_(file) {}

  // Folds blocks until the CRC covers the file at least up to `end` (or to
  // its end): the bytes before `end` are then in cache for the walk.
  void Cover(uint64_t end) noexcept {
    while (done_ < end && done_ < file_.size()) FoldBlock();
  }
  // The CRC of everything after the header.
  uint32_t Finish() noexcept {
    Cover(file_.size());
    return crc_;
  }

  // Small enough that a block stays in the first-level cache while the walk
  // reads it again, large enough that the CRC runs at full speed over it.
  static constexpr uint64_t kBlock = 32 * 1024;

 private:
  void FoldBlock() noexcept;

  Bytes file_;
  uint64_t done_ = kHeaderSize;
  uint32_t crc_ = 0;
};

// An index entry that names a location where no record starts.
struct StrayEntry {
  uint32_t entry;  // its position in the sorted key list
  uint64_t location;
};

// What one walk of the data section found.
struct DataSectionPass {
  uint32_t file_crc = 0;
  // Records walked from offset 40 before the walk reached index_offset or
  // stopped at `failure`.
  uint64_t records = 0;
  // The first record, in file order, that runs past index_offset (as
  // RecordPastEnd) or whose payload fails its CRC (as CheckRecord); the walk
  // stops there.
  std::optional<StoreError> failure;
  // The first entry, in key order, whose location starts none of the walked
  // records; looked for only when there is no failure.
  std::optional<StrayEntry> stray;

  // Every named location starts a record whose bounds and CRC hold: the
  // record checks of Reader::Verify would all pass.
  bool Sound() const noexcept { return !failure && !stray; }
};

// Walks the records from offset 40 to index_offset (at most the end of the
// file), checking each and meeting the named locations on the way, and folds
// the whole file into the CRC, damaged or not.
[[nodiscard]] DataSectionPass WalkDataSection(const Reader& reader);

}  // namespace quordb

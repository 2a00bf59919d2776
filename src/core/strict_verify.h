// Strict verification: every byte of a file accounted for.
//
//   Result<std::unique_ptr<Reader>> opened = Reader::Open(path, /*verify=*/true);
//   ...
//   Status checked = VerifyStrict(*opened.value());
//
// Reader::Verify checks the whole-file CRC and the records that keys name,
// and by design overlooks the rest: the header is not covered by the file
// CRC, so a lowered num_keys hides the keys past it, and a damaged record
// that no key names goes unseen once the file CRC is recomputed. VerifyStrict
// first reports whatever Verify reports, then checks the structure:
//
//   - data_offset is 40 and the reserved header bytes are zero;
//   - index_offset lies between 40 and the end of the file;
//   - the records walked from offset 40 end exactly at index_offset, each
//     with a good CRC, referenced or not, and number exactly num_objects;
//   - the walk of num_keys index entries ends exactly at the end of the file;
//   - keys stand in strictly ascending order (so none repeats);
//   - every location is the start of a record found by the walk.
//
// Each failure is a Corrupt error naming the field or offset. Neither call
// touches the interpreter; both may run on any thread while others read.
#pragma once

#include "core/error.h"
#include "core/reader.h"

namespace quordb {

// Verify, then the strict checks above; the first failure found.
[[nodiscard]] Status VerifyStrict(const Reader& reader);

// Whether the index walk of num_keys entries ended at the end of the file.
// Free after open, which has already walked it: a lowered num_keys, which
// no CRC covers, shows here.
[[nodiscard]] Status CheckIndexEnd(const Reader& reader);

}  // namespace quordb

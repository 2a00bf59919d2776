// The strict checks of a file's lookup table, part of VerifyStrict.
//
//   QUORDB_RETURN_IF_ERROR(CheckTableStrictly(reader));
//
// Open trusts the trailer after checking it alone and against the header;
// this walks everything it describes: the arrays' CRC, zero padding, every
// key of the index reachable through the table at its own entry with its
// own location, every kept offset where the walk finds its entry, the walk
// ending at the trailer's index_end, and no slot besides the keys' own.
// Nothing to check for a reader that does not use a table. Touches no
// interpreter; runs on any thread while others read.
#pragma once

#include "core/error.h"
#include "core/reader.h"

namespace quordb {

[[nodiscard]] Status CheckTableStrictly(const Reader& reader);

}  // namespace quordb

// A lookup table as seen from a file's path, without opening the file as a
// reader: what `quordb stats` shows and what `quordb index` does.
//
//   Result<std::optional<TableTrailer>> trailer = ReadTableTrailer("db.qrdb");
//   Result<bool> added = AddTable("db.qrdb");  // false: it had one already
//
// Both touch the interpreter nowhere and may run on any thread.
#pragma once

#include <optional>
#include <string>

#include "core/error.h"
#include "core/lookup_table.h"

namespace quordb {

// The trailer of the file at `path`, checked by itself and against the
// header and the file's size, from those 104 bytes alone; nullopt when the
// header announces no table.
Result<std::optional<TableTrailer>> ReadTableTrailer(const std::string& path);

// Writes the file at `path` again with a lookup table, as a build would:
// the temporary file beside it (locked, so that no build of the same target
// runs meanwhile), a sync, then a rename over `path`. The file is first
// checked as a verified open and its index as the strict check does (the
// walk ends at the end of the file, keys strictly ascending), so that a
// damaged file is never given a table. Gives false, and writes nothing,
// when the file carries a table already.
Result<bool> AddTable(const std::string& path);

}  // namespace quordb

// The temporary file of a build, opened so that builds of one target in
// several processes (or several writers in one) cannot write into one file.
//
//   Result<FileDescriptor> file = OpenBuildTempFile(TempPathFor(target));
//   ... write, fsync, rename the temporary path over the target ...
//   file.value().Close();  // only now may another build take the name
//
// The descriptor holds an exclusive flock on the file until it is closed, so
// close it after the rename. A symlink at the path is never followed.
#pragma once

#include <string>

#include "core/error.h"
#include "core/file_descriptor.h"

namespace quordb {

// Opens `temp_path` write-only, creating it with mode 0666 (before the
// umask), locks it, makes sure the locked file is still the one at the path,
// and empties it. Fails at once, without waiting, when another open
// descriptor holds the lock. Every error reads "open tmp: ...".
[[nodiscard]] Result<FileDescriptor> OpenBuildTempFile(const std::string& temp_path);

}  // namespace quordb

// The target of a build: the temporary file beside it, the rename that puts
// a finished file in its place, and the summary line printed afterwards.
// Shared by Writer and StreamWriter, so that both name, place and report a
// file alike.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/file_descriptor.h"
#include "core/keep_going.h"

namespace quordb {

struct BuildReport {
  // Empty when the summary line reached standard output (or standard output
  // is closed, which drops the line, or no line was asked for); else why
  // writing it failed. The file is in place either way.
  std::string print_error;
};

// The build's temporary file: `target` with the extension of its last
// component replaced by "qrdb.tmp" (appended when it has none); `target`
// itself when it has no normal last component.
std::string TempPathFor(std::string_view target);

// The directory holding `path`'s last component: the one whose sync makes a
// rename durable, and where the temporary file is created.
std::string DirectoryOf(std::string_view path);

// Syncs `file`, written completely under `temp_path` and locked by
// OpenBuildTempFile, renames it over `target`, closes it and syncs the
// directory (best effort: the file is in place by then). On failure the
// descriptor stays open for the caller.
// With `keep_going`, asks it between the sync and the rename, and renames
// nothing when it says to stop.
Status CommitTempFile(FileDescriptor& file, const std::string& temp_path, std::string_view target,
                      const KeepGoing* keep_going = nullptr);

// The summary line of a finished build of `target`, printed to file
// descriptor 1 when `print` is set.
BuildReport ReportBuild(std::string_view target, uint64_t objects, uint64_t keys, bool print);

}  // namespace quordb

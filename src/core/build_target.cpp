#include "core/build_target.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/file_output.h"
#include "core/format.h"

namespace quordb {
namespace {

// Makes the rename itself durable. Best effort: the file is already in place.
void SyncDirectoryOf(std::string_view path) {
  const FileDescriptor dir(::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) (void)::fsync(dir.get());
}

std::string SummaryLine(std::string_view path, uint64_t objects, uint64_t keys, double size_kb) {
  // %.1f rounds the exact binary value, ties to even: 256 bytes show 0.2.
  char size_text[64];
  std::snprintf(size_text, sizeof size_text, "%.1f", size_kb);
  std::string line = "\u2705  ";
  line += path;
  line += "  \u2014  " + std::to_string(objects) + " objects \u00b7 " + std::to_string(keys) +
          " keys \u00b7 " + size_text + " KB\n";
  return line;
}

// Standard output may be closed: the line is then dropped, as for a
// daemonised process. Any other failure is reported to the caller.
std::string PrintToStdout(std::string_view line) {
  const int failure = WriteAll(STDOUT_FILENO, AsBytes(line));
  if (failure == 0 || failure == EBADF) return {};
  if (failure == kAcceptedNothing) return "failed to write whole buffer";
  return OsErrorText(failure);
}

}  // namespace

std::string DirectoryOf(std::string_view path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string TempPathFor(std::string_view target) {
  // Find the last normal component, skipping trailing separators and "."
  // components, as path libraries do.
  size_t end = target.size();
  size_t start = 0;
  for (;;) {
    while (end > 0 && target[end - 1] == '/') --end;
    if (end == 0) return std::string(target);  // empty, or the root directory
    const size_t slash = target.find_last_of('/', end - 1);
    start = slash == std::string_view::npos ? 0 : slash + 1;
    const std::string_view component = target.substr(start, end - start);
    if (component == "..") return std::string(target);
    if (component != ".") break;
    if (start == 0) return std::string(target);  // a leading "." names no file
    end = start;
  }
  const std::string_view name = target.substr(start, end - start);
  const size_t dot = name.find_last_of('.');
  // A leading dot starts a hidden name, not an extension.
  const size_t stem_end = (dot == std::string_view::npos || dot == 0) ? end : start + dot;
  std::string temp(target.substr(0, stem_end));
  temp += ".qrdb.tmp";
  return temp;
}

Status CommitTempFile(FileDescriptor& file, const std::string& temp_path, std::string_view target,
                      const KeepGoing* keep_going) {
  if (::fsync(file.get()) != 0) return StoreError::Os(errno);
  if (keep_going != nullptr && !(*keep_going)()) return StoreError::General("build cancelled");
  // The file stays open, and so locked, until it has its final name: another
  // build may then take the temporary name afresh.
  if (::rename(temp_path.c_str(), std::string(target).c_str()) != 0)
    return StoreError::Os(errno, "rename: ");
  file.Close();
  SyncDirectoryOf(target);
  return OkStatus();
}

BuildReport ReportBuild(std::string_view target, uint64_t objects, uint64_t keys, bool print) {
  if (!print) return {};
  struct stat built;
  const double size_kb = ::stat(std::string(target).c_str(), &built) == 0
                             ? static_cast<double>(built.st_size) / 1024
                             : 0.0;
  return BuildReport{PrintToStdout(SummaryLine(target, objects, keys, size_kb))};
}

}  // namespace quordb

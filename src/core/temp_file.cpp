#include "core/temp_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>

namespace quordb {
namespace {

// How often a file that went away between open and lock is opened afresh.
// Each retry needs another build to finish meanwhile, so a few suffice.
constexpr int kOpenAttempts = 8;

}  // namespace

Result<FileDescriptor> OpenBuildTempFile(const std::string& temp_path) {
  if (temp_path.find('\0') != std::string::npos)
    return StoreError::Io("open tmp: file name contained an unexpected NUL byte");
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    // No O_TRUNC: the file may be another build's, still being written.
    FileDescriptor file(
        ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (file.get() < 0) return StoreError::Os(errno, "open tmp: ");
    int locked;
    do {
      locked = ::flock(file.get(), LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0 && errno == EWOULDBLOCK)
      return StoreError::Os(
          errno, "open tmp: another build of this target is writing " + temp_path + ": ");
    if (locked != 0) return StoreError::Os(errno, "open tmp: ");

    // The build that held the lock before us renames the file away, and yet
    // another may have created a new one under the name since: only the file
    // still at the path is ours to write.
    struct stat open_file;
    struct stat named;
    if (::fstat(file.get(), &open_file) != 0) return StoreError::Os(errno, "open tmp: ");
    if (::lstat(temp_path.c_str(), &named) != 0) {
      if (errno == ENOENT) continue;
      return StoreError::Os(errno, "open tmp: ");
    }
    if (open_file.st_dev != named.st_dev || open_file.st_ino != named.st_ino) continue;
    // A FIFO or a device under the name is written as it is, as O_TRUNC
    // would leave it; only a regular file holds old bytes to drop.
    if (S_ISREG(open_file.st_mode) && ::ftruncate(file.get(), 0) != 0)
      return StoreError::Os(errno, "open tmp: ");
    return file;
  }
  return StoreError::Io("open tmp: " + temp_path +
                        " was replaced each time it was locked: other builds of this target keep "
                        "renaming it");
}

}  // namespace quordb

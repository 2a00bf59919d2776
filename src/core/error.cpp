#include "core/error.h"

#include <cstring>
#include <string_view>

namespace quordb {

std::string OsErrorText(int errnum) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(errnum, buffer, sizeof buffer);
  std::string out(text);
  out += " (os error ";
  out += std::to_string(errnum);
  out += ')';
  return out;
}

StoreError StoreError::Os(int errnum, std::string_view what) {
  std::string message(what);
  message += OsErrorText(errnum);
  return Io(std::move(message));
}

std::string StoreError::Render() const {
  switch (kind_) {
    case Kind::kCorrupt:
      return "QuorCorruptError: " + message_;
    case Kind::kVersion:
      return "QuorVersionError: unsupported version " + std::to_string(version_);
    case Kind::kIo:
      return "QuorIOError: " + message_;
    case Kind::kGeneral:
      return "QuorError: " + message_;
  }
  return message_;
}

}  // namespace quordb

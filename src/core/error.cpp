#include "core/error.h"

#include <cstdio>
#include <cstring>
#include <string_view>

namespace quordb {
namespace {

// The key in single quotes, each byte outside printable ASCII as \xNN:
// readable in the engine's own messages whatever the bytes. A binding shows
// keys in its language's form instead.
std::string QuotedKey(std::string_view key) {
  std::string out = "'";
  for (const char c : key) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\' || c == '\'') {
      out += '\\';
      out += c;
    } else if (byte >= 0x20 && byte < 0x7f) {
      out += c;
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    }
  }
  out += '\'';
  return out;
}

}  // namespace

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

StoreError::StoreError(const StoreError& other)
    : kind_(other.kind_),
      message_(other.message_),
      version_(other.version_),
      duplicate_key_(other.duplicate_key_
                         ? std::make_unique<const DuplicateKey>(*other.duplicate_key_)
                         : nullptr) {}

StoreError& StoreError::operator=(const StoreError& other) {
  if (this != &other) *this = StoreError(other);
  return *this;
}

StoreError StoreError::Duplicate(std::string_view key, uint64_t first, uint64_t second) {
  StoreError error = General(DuplicateKeyMessage(QuotedKey(key), first, second));
  error.duplicate_key_ =
      std::make_unique<const DuplicateKey>(DuplicateKey{std::string(key), first, second});
  return error;
}

std::string DuplicateKeyMessage(std::string_view shown_key, uint64_t first, uint64_t second) {
  std::string message = "key ";
  message += shown_key;
  message += " already names object " + std::to_string(first) + "; object " +
             std::to_string(second) + " cannot take it";
  return message;
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

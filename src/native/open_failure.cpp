#include "native/open_failure.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "core/file_descriptor.h"
#include "core/format.h"
#include "glue/py_ref.h"
#include "native/error_classes.h"

namespace quordb::native {
namespace {

using glue::PyRef;

// The first bytes of the file at `path`, as many as the magic has (fewer in
// a shorter file); empty when there are none or they cannot be read.
std::string HeadOf(const std::string& path) {
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) return {};
  char head[sizeof kMagic];
  ssize_t got;
  do {
    got = ::pread(file.get(), head, sizeof head, 0);
  } while (got < 0 && errno == EINTR);
  return got > 0 ? std::string(head, static_cast<size_t>(got)) : std::string();
}

// `head` as Python shows text: quoted, escaped as repr() escapes a str, and
// each byte that is not UTF-8 as \xNN, as repr() shows it in bytes. Null
// with an error set.
std::optional<std::string> Shown(const std::string& head) {
  // Decoded with surrogateescape, each such byte is a lone surrogate U+DC80
  // to U+DCFF, which no UTF-8 decodes to and which repr() writes \udcNN.
  const PyRef text = PyRef::Steal(
      PyUnicode_DecodeUTF8(head.data(), static_cast<Py_ssize_t>(head.size()), "surrogateescape"));
  const PyRef shown = PyRef::Steal(text ? PyObject_Repr(text.get()) : nullptr);
  Py_ssize_t length = 0;
  const char* utf8 = shown ? PyUnicode_AsUTF8AndSize(shown.get(), &length) : nullptr;
  if (utf8 == nullptr) return std::nullopt;
  const std::string_view repr(utf8, static_cast<size_t>(length));
  std::string out;
  for (size_t i = 0; i < repr.size(); ++i) {
    out += repr[i];
    if (repr[i] != '\\' || i + 1 == repr.size()) continue;
    // An escape: its second character is never the start of another one.
    if (repr.substr(i + 1, 3) == "udc") {
      out += 'x';
      i += 3;
    } else {
      out += repr[++i];
    }
  }
  return out;
}

}  // namespace

OpenFailure::OpenFailure(std::string path, StoreError error)
    : path_(std::move(path)), error_(std::move(error)) {
  // A directory opens, then fails to map ("No such device"), which says nothing of
  // what went wrong: it is most often a shard set given to the single-file reader.
  struct stat status {};
  if (error_.kind() == StoreError::Kind::kIo && ::stat(path_.c_str(), &status) == 0 &&
      S_ISDIR(status.st_mode)) {
    error_ = StoreError::Io(path_ +
                            " is a directory, not a quordb file (quordb.open and "
                            "ShardedReader open a shard set)");
    return;
  }
  if (error_.kind() != StoreError::Kind::kCorrupt) return;
  std::string head = HeadOf(path_);
  // An empty file, or the start of one cut short, may still be a damaged
  // quordb file: its own message says more.
  if (!head.empty() && std::memcmp(head.data(), kMagic, head.size()) != 0)
    foreign_head_ = std::move(head);
}

std::nullptr_t OpenFailure::Raise() const {
  if (!foreign_head_) return SetStoreError(error_);
  const std::optional<std::string> shown = Shown(*foreign_head_);
  if (!shown) return nullptr;
  return SetStoreError(
      StoreError::Corrupt(path_ + " is not a quordb file (it starts with " + *shown + ")"));
}

}  // namespace quordb::native

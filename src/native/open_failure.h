// Why a file could not be opened for reading, as quordb._native says it. A
// file whose first bytes cannot begin a quordb file is named as no quordb
// file at all, with those bytes shown as text, rather than by the check that
// refused it ("bad magic [123, 34, 80, 97]"), and a directory as one:
//
//   QuorCorruptError: data.json is not a quordb file (it starts with '{"id')
//   QuorIOError: sets/users is a directory, not a quordb file (quordb.open and ...)
//
//   Result<std::unique_ptr<Reader>> opened = Reader::Open(path, verify);  // without the lock
//   if (!opened.ok()) failure.emplace(path, std::move(opened).error());   // still without it
//   ...
//   return failure->Raise();                                                // with the lock
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <optional>
#include <string>

#include "core/error.h"

namespace quordb::native {

class OpenFailure {
 public:
  // Opening `path` failed with `error`. For a corrupt file, reads the file's
  // first bytes, so call it without the interpreter lock.
  OpenFailure(std::string path, StoreError error);

  // Sets the exception; needs the interpreter lock. Returns null.
  std::nullptr_t Raise() const;

 private:
  std::string path_;
  StoreError error_;
  // The file's first bytes, when they cannot begin a quordb file.
  std::optional<std::string> foreign_head_;
};

}  // namespace quordb::native

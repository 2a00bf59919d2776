// The classes quordb._native raises engine errors as: quordb._errors'
// CorruptError, VersionError and StoreIOError, which derive from the
// RuntimeError and OSError that quordb._quordb raises for the same errors,
// ValueError for a caller's mistake, and DuplicateKeyError (a ValueError) for
// a key the writer's policy refused to let another object take.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "core/error.h"

namespace quordb::native {

// Imports quordb._errors and keeps its classes, for every module object the
// process makes (they are as process-wide as the class objects that raise
// them). Called when the module is executed; 0, or -1 with an error set.
int LoadErrorClasses();

// Sets the exception for `error` as quordb._native raises it. Returns null,
// for `return SetStoreError(...)` from a method. A refused duplicate key
// comes as DuplicateKeyError(message, key, first, second), its key str when
// it is UTF-8 (else bytes) and shown in the message as repr() shows it.
std::nullptr_t SetStoreError(const StoreError& error);

}  // namespace quordb::native

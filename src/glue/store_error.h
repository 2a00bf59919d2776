// The one place where engine errors become Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string_view>

#include "core/error.h"

namespace quordb::glue {

// The class an engine error is raised as, for each kind of error. Borrowed
// references, to classes that live as long as the module that raises them.
struct ErrorClasses {
  PyObject* corrupt;
  PyObject* version;
  PyObject* io;
  PyObject* general;  // a caller's mistake

  PyObject* For(StoreError::Kind kind) const noexcept;
};

// RuntimeError for a corrupt file or an unsupported version, OSError for the
// system's failures, ValueError for a caller's mistake: what quordb._quordb
// raises.
ErrorClasses BuiltinErrorClasses() noexcept;

// Sets the exception for `error`, of its kind's class in `classes`, with the
// rendered text as its single argument. Returns null, for
// `return SetStoreError(...)` from a method.
std::nullptr_t SetStoreError(const StoreError& error, const ErrorClasses& classes);

// Sets the exception for a summary line that could not be printed. Its class
// derives from BaseException directly, so ordinary `except Exception`
// handlers do not swallow it, and is private to the module.
std::nullptr_t SetPrintError(std::string_view stream, std::string_view error);

}  // namespace quordb::glue

// The one place where engine errors become Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string_view>

#include "core/error.h"

namespace quordb::glue {

// Sets the exception for `error`: RuntimeError for a corrupt file or an
// unsupported version, OSError for the system's failures, ValueError for a
// caller's mistake; the rendered text is its single argument. Returns null,
// for `return SetStoreError(...)` from a method.
std::nullptr_t SetStoreError(const StoreError& error);

// Sets the exception for a summary line that could not be printed. Its class
// derives from BaseException directly, so ordinary `except Exception`
// handlers do not swallow it, and is private to the module.
std::nullptr_t SetPrintError(std::string_view stream, std::string_view error);

}  // namespace quordb::glue

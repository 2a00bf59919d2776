// The classes quordb._native raises engine errors as.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "core/error.h"

namespace quordb::native {

// Sets the exception for `error` as quordb._native raises it. Returns null,
// for `return SetStoreError(...)` from a method.
std::nullptr_t SetStoreError(const StoreError& error);

}  // namespace quordb::native

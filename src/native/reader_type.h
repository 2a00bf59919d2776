// quordb._native.Reader as other units of the module take it: a function
// that looks up keys in several readers at once (a shard set's) reaches
// their engines here. The interpreter lock must be held for every call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "native/reader_scan_type.h"

namespace quordb::native {

// Whether `object` is a quordb._native.Reader (or of a subclass). False,
// with no error set, also when the class cannot be made.
bool IsReader(PyObject* object);

// A copy of the engine of `reader`, a Reader; null once it is closed. The
// copy outlives a close() or refresh() on another thread.
SharedReader ReaderEngine(PyObject* reader) noexcept;

// Sets the ValueError that a closed Reader's methods raise; returns null.
PyObject* RaiseReaderClosed();

}  // namespace quordb::native

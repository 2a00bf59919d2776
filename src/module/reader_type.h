// The _QuorReader class: reads a database through a read-only mapping.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quordb::module {

// The class object, created on first need and kept for the life of the
// process. Borrowed; null with an exception set if creation fails.
PyTypeObject* ReaderType();

}  // namespace quordb::module

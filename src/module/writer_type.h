// The _QuorWriter class: builds a database from pre-encoded objects and keys.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quordb::module {

// The class object, created on first need and kept for the life of the
// process. Borrowed; null with an exception set if creation fails.
PyTypeObject* WriterType();

}  // namespace quordb::module

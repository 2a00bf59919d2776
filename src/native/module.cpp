// quordb._native: the package's own native layer over the engine in
// src/core. Unlike quordb._quordb, whose surface is fixed, this module is free
// to stream, batch and release the interpreter lock; python/quordb builds on
// it. Each class, and each group of functions, lives in a unit of its own
// and adds itself here, after the error classes it raises are loaded.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "glue/entry_point.h"
#include "native/error_classes.h"
#include "native/types.h"

namespace quordb::native {
namespace {

int ExecModule(PyObject* module) {
  return glue::CatchBoundary(
      [&]() -> int {
        // Class objects are created once per process, as in quordb._quordb.
        if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
          PyErr_SetString(PyExc_ImportError,
                          "quordb._native cannot be imported in a sub-interpreter");
          return -1;
        }
        if (LoadErrorClasses() < 0) return -1;
        for (const AddTypes add : kAddTypes)
          if (add(module) < 0) return -1;
        return 0;
      },
      -1);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(ExecModule)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "quordb's own native layer: streaming builds and the reader behind quordb.QuorReader.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quordb::native

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&quordb::native::kModuleDef); }

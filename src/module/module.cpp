// The module's entry: PyInit__quordb and the execution step that fills a new
// module object with the two classes and the version.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "glue/arguments.h"
#include "glue/entry_point.h"
#include "glue/py_ref.h"
#include "module/reader_type.h"
#include "module/writer_type.h"

namespace quordb::module {
namespace {

using glue::CatchBoundary;
using glue::PyRef;
using glue::SetNotInstanceError;

// Appends `name` to the module's __all__ (creating the list if missing) and
// binds it to `value`.
int ModuleAdd(PyObject* module, PyObject* name, PyObject* value) {
  PyRef all = PyRef::Steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::Steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  } else if (!PyList_Check(all.get())) {
    SetNotInstanceError(all.get(), "list");
    return -1;
  }
  if (PyList_Append(all.get(), name) < 0) return -1;
  return PyObject_SetAttr(module, name, value);
}

int ModuleAddString(PyObject* module, const char* name, PyObject* value) {
  PyRef key = PyRef::Steal(PyUnicode_FromString(name));
  return key ? ModuleAdd(module, key.get(), value) : -1;
}

int ExecModule(PyObject* module) {
  return CatchBoundary(
      [&]() -> int {
        if (!PyModule_Check(module)) {
          SetNotInstanceError(module, "module");
          return -1;
        }
        // The classes are created once for the whole process; another
        // interpreter must not share them.
        if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
          PyErr_SetString(PyExc_ImportError,
                          "quordb._quordb cannot be imported in a sub-interpreter");
          return -1;
        }
        PyTypeObject* writer = WriterType();
        if (writer == nullptr ||
            ModuleAddString(module, "_QuorWriter", reinterpret_cast<PyObject*>(writer)) < 0)
          return -1;
        PyTypeObject* reader = ReaderType();
        if (reader == nullptr ||
            ModuleAddString(module, "_QuorReader", reinterpret_cast<PyObject*>(reader)) < 0)
          return -1;
        PyRef version_name = PyRef::Steal(PyUnicode_FromString("__version__"));
        PyRef version = PyRef::Steal(PyUnicode_FromString(QUORDB_VERSION));
        if (!version_name || !version) return -1;
        return ModuleAdd(module, version_name.get(), version.get());
      },
      -1);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(ExecModule)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_quordb",
    "quordb._quordb \u2014 native extension module entry-point",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quordb::module

PyMODINIT_FUNC PyInit__quordb(void) { return PyModuleDef_Init(&quordb::module::kModuleDef); }

#include "native/error_classes.h"

#include "glue/py_ref.h"
#include "glue/store_error.h"

namespace quordb::native {
namespace {

using glue::PyRef;

// Owned references once loaded, replaced when the module is executed again
// and never released, as the class objects that raise them are not: a
// static destructor would run after the interpreter is gone.
glue::ErrorClasses loaded{};

// `errors.name`, which must derive from `base`. New reference; null with an
// error set.
PyRef ClassOf(PyObject* errors, const char* name, PyObject* base) {
  PyRef cls = PyRef::Steal(PyObject_GetAttrString(errors, name));
  if (!cls) return cls;
  const int derives = PyType_Check(cls.get()) ? PyObject_IsSubclass(cls.get(), base) : 0;
  if (derives == 1) return cls;
  if (derives == 0)
    PyErr_Format(PyExc_ImportError, "quordb._errors.%s must derive from %s", name,
                 reinterpret_cast<PyTypeObject*>(base)->tp_name);
  return {};
}

}  // namespace

int LoadErrorClasses() {
  const PyRef errors = PyRef::Steal(PyImport_ImportModule("quordb._errors"));
  if (!errors) return -1;
  PyRef corrupt = ClassOf(errors.get(), "CorruptError", PyExc_RuntimeError);
  PyRef version = ClassOf(errors.get(), "VersionError", PyExc_RuntimeError);
  PyRef io = ClassOf(errors.get(), "StoreIOError", PyExc_OSError);
  if (!corrupt || !version || !io) return -1;
  for (PyObject* held : {loaded.corrupt, loaded.version, loaded.io}) Py_XDECREF(held);
  loaded = {corrupt.release(), version.release(), io.release(), PyExc_ValueError};
  return 0;
}

std::nullptr_t SetStoreError(const StoreError& error) { return glue::SetStoreError(error, loaded); }

}  // namespace quordb::native

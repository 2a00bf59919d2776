#include "native/error_classes.h"

#include <string>

#include "glue/py_ref.h"
#include "glue/store_error.h"

namespace quordb::native {
namespace {

using glue::PyRef;

// Owned references once loaded, replaced when the module is executed again
// and never released, as the class objects that raise them are not: a
// static destructor would run after the interpreter is gone.
glue::ErrorClasses loaded{};
PyObject* duplicate_key_class = nullptr;

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

std::nullptr_t SetDuplicateKeyError(const DuplicateKey& duplicate) {
  PyRef key = PyRef::Steal(PyUnicode_DecodeUTF8(
      duplicate.key.data(), static_cast<Py_ssize_t>(duplicate.key.size()), nullptr));
  if (!key && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    PyErr_Clear();
    key = PyRef::Steal(PyBytes_FromStringAndSize(duplicate.key.data(),
                                                 static_cast<Py_ssize_t>(duplicate.key.size())));
  }
  if (!key) return nullptr;
  const PyRef shown = PyRef::Steal(PyObject_Repr(key.get()));
  if (!shown) return nullptr;
  Py_ssize_t shown_length = 0;
  const char* shown_text = PyUnicode_AsUTF8AndSize(shown.get(), &shown_length);
  if (shown_text == nullptr) return nullptr;
  const std::string text =
      StoreError::General(DuplicateKeyMessage({shown_text, static_cast<size_t>(shown_length)},
                                              duplicate.first, duplicate.second))
          .Render();
  PyObject* exception = PyObject_CallFunction(duplicate_key_class, "s#OKK", text.data(),
                                              static_cast<Py_ssize_t>(text.size()), key.get(),
                                              static_cast<unsigned long long>(duplicate.first),
                                              static_cast<unsigned long long>(duplicate.second));
  if (exception != nullptr) PyErr_SetRaisedException(exception);
  return nullptr;
}

}  // namespace

int LoadErrorClasses() {
  const PyRef errors = PyRef::Steal(PyImport_ImportModule("quordb._errors"));
  if (!errors) return -1;
  PyRef corrupt = ClassOf(errors.get(), "CorruptError", PyExc_RuntimeError);
  PyRef version = ClassOf(errors.get(), "VersionError", PyExc_RuntimeError);
  PyRef io = ClassOf(errors.get(), "StoreIOError", PyExc_OSError);
  PyRef duplicate_key = ClassOf(errors.get(), "DuplicateKeyError", PyExc_ValueError);
  if (!corrupt || !version || !io || !duplicate_key) return -1;
  for (PyObject* held : {loaded.corrupt, loaded.version, loaded.io, duplicate_key_class})
    Py_XDECREF(held);
  loaded = {corrupt.release(), version.release(), io.release(), PyExc_ValueError};
  duplicate_key_class = duplicate_key.release();
  return 0;
}

std::nullptr_t SetStoreError(const StoreError& error) {
  if (const DuplicateKey* duplicate = error.duplicate_key())
    return SetDuplicateKeyError(*duplicate);
  return glue::SetStoreError(error, loaded);
}

}  // namespace quordb::native

#include "glue/store_error.h"

#include <string>

namespace quordb::glue {
namespace {

// Created once for the process, like the classes.
PyObject* PrintErrorClass() {
  static PyObject* cls = nullptr;
  if (cls == nullptr)
    cls = PyErr_NewExceptionWithDoc("quordb._quordb.PrintError",
                                    "A build's summary line could not be written.",
                                    PyExc_BaseException, nullptr);
  return cls;
}

}  // namespace

PyObject* ErrorClasses::For(StoreError::Kind kind) const noexcept {
  switch (kind) {
    case StoreError::Kind::kCorrupt:
      return corrupt;
    case StoreError::Kind::kVersion:
      return version;
    case StoreError::Kind::kIo:
      return io;
    case StoreError::Kind::kGeneral:
      return general;
  }
  return general;
}

ErrorClasses BuiltinErrorClasses() noexcept {
  return {PyExc_RuntimeError, PyExc_RuntimeError, PyExc_OSError, PyExc_ValueError};
}

std::nullptr_t SetStoreError(const StoreError& error, const ErrorClasses& classes) {
  const std::string text = error.Render();
  PyObject* message =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return nullptr;
  // Built from one argument, so OSError stays OSError (not a subclass picked
  // by errno) and errno, strerror and filename stay None.
  PyObject* exception = PyObject_CallOneArg(classes.For(error.kind()), message);
  Py_DECREF(message);
  if (exception != nullptr) PyErr_SetRaisedException(exception);
  return nullptr;
}

std::nullptr_t SetPrintError(std::string_view stream, std::string_view error) {
  PyObject* cls = PrintErrorClass();
  if (cls == nullptr) return nullptr;
  const std::string text = "failed printing to " + std::string(stream) + ": " + std::string(error);
  PyErr_SetString(cls, text.c_str());
  return nullptr;
}

}  // namespace quordb::glue

// An owning reference and the single catch boundary of an entry point.
//
// Convention: a raw PyObject* is borrowed; an owned reference is a PyRef.
// Functions returning a raw pointer that the caller owns say "new reference".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

namespace quordb::glue {

class PyRef {  // owns one reference; moved-from is null
 public:
  PyRef() noexcept = default;
  static PyRef Steal(PyObject* p) noexcept { return PyRef(p); }
  static PyRef Borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    PyRef old(std::exchange(p_, std::exchange(o.p_, nullptr)));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Runs `body` so that no C++ exception reaches the interpreter: running out
// of memory becomes MemoryError. Every entry point from Python goes through
// one of these.
template <typename Body>
auto CatchBoundary(Body&& body, decltype(body()) failure) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "quordb: unexpected internal error");
  }
  return failure;
}

// A METH_FASTCALL | METH_KEYWORDS function as a method table entry.
template <auto Function>
PyCFunction FastcallMethod() noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

}  // namespace quordb::glue

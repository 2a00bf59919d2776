// An owning reference to a Python object.
//
// Convention: a raw PyObject* is borrowed; an owned reference is a PyRef.
// Functions returning a raw pointer that the caller owns say "new reference".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

}  // namespace quordb::glue

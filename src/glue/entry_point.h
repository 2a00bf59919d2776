// Every call from the interpreter enters through one of these: the single
// catch boundary, and the matching of arguments that comes before any body.
//
//   PyObject* ShardOf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
//     static const Signature signature{"shard_of()", kShardOfNames, 2};
//     return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) { ... });
//   }
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <new>

#include "glue/arguments.h"

namespace quordb::glue {

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

namespace detail {
template <size_t N, typename Body, typename... Passed>
PyObject* CallMatching(const Signature<N>& signature, Body& body, Passed... passed) {
  return CatchBoundary(
      [&]() -> PyObject* {
        std::array<PyObject*, N> matched;
        if (!MatchArguments(signature, passed..., matched)) return nullptr;
        return body(matched.data());
      },
      nullptr);
}
}  // namespace detail

// Runs `body(matched)` for a METH_FASTCALL | METH_KEYWORDS function with the
// parameters of `signature`, inside the catch boundary; `matched` holds one
// borrowed argument per parameter, null for an omitted optional one.
template <size_t N, typename Body>
PyObject* CallFunction(const Signature<N>& signature, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, Body&& body) {
  return detail::CallMatching(signature, body, args, nargs, kwnames);
}

// The same for a class's tp_new, which receives a tuple and a dict.
template <size_t N, typename Body>
PyObject* CallConstructor(const Signature<N>& signature, PyObject* args, PyObject* kwargs,
                          Body&& body) {
  return detail::CallMatching(signature, body, args, kwargs);
}

// A METH_FASTCALL | METH_KEYWORDS function as a method table entry.
template <auto Function>
PyCFunction FastcallMethod() noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

}  // namespace quordb::glue

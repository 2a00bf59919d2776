// The shape shared by both classes: an instance owning one engine state and
// a borrow flag, and the fixed order of every method call: match the
// arguments, check the receiver, take access, then run the body.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <memory>
#include <new>

#include "glue/arguments.h"
#include "glue/borrow_flag.h"
#include "glue/py_ref.h"

namespace quordb::glue {

enum class AccessKind { kShared, kExclusive };

// `Class` names the engine state and the class object:
//   using State = ...;  static PyTypeObject* Type();  static constexpr const char* kName;
template <typename Class>
struct Instance {
  PyObject_HEAD BorrowFlag borrow;
  typename Class::State* state;

  static Instance* From(PyObject* self) noexcept { return reinterpret_cast<Instance*>(self); }

  // A new instance of `type` owning `state`. New reference; on failure the
  // state is released with the unique_ptr.
  static PyObject* New(PyTypeObject* type, std::unique_ptr<typename Class::State> state) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&From(self)->borrow) BorrowFlag();
    From(self)->state = state.release();
    return self;
  }

  static void Dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete From(self)->state;
    From(self)->borrow.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);
  }

  // Runs `body(state, matched)` for a method with the parameters of
  // `signature`, inside the catch boundary and holding the access it needs;
  // `matched` holds one argument per parameter.
  template <size_t N, typename Body>
  static PyObject* Call(const Signature<N>& signature, AccessKind kind, PyObject* self,
                        PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
    return CatchBoundary(
        [&]() -> PyObject* {
          std::array<PyObject*, N> matched;
          if (!MatchArguments(signature, args, nargs, kwnames, matched)) return nullptr;
          return CallMatched(kind, self, [&](typename Class::State& state) {
            return body(state, matched.data());
          });
        },
        nullptr);
  }

  // The same for a method without parameters (the interpreter has already
  // rejected any argument) or a type slot.
  template <typename Body>
  static PyObject* CallNoArgs(AccessKind kind, PyObject* self, Body&& body) {
    return CatchBoundary([&]() -> PyObject* { return CallMatched(kind, self, body); }, nullptr);
  }

 private:
  template <typename Body>
  static PyObject* CallMatched(AccessKind kind, PyObject* self, Body&& body) {
    if (!PyObject_TypeCheck(self, Class::Type())) {
      SetNotInstanceError(self, Class::kName);
      return nullptr;
    }
    const Access access = kind == AccessKind::kShared ? Access::Shared(From(self)->borrow)
                                                      : Access::Exclusive(From(self)->borrow);
    if (!access.ok()) return nullptr;
    return body(*From(self)->state);
  }
};

}  // namespace quordb::glue

// The classes whose instances own one engine each and guard it with a borrow
// flag (both classes of quordb._quordb, and quordb._native.StreamWriter),
// and the fixed order of every method call: match the arguments, check the
// receiver, take access, then run the body.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <utility>

#include "glue/arguments.h"
#include "glue/borrow_flag.h"
#include "glue/entry_point.h"
#include "glue/heap_object.h"

namespace quordb::glue {

enum class AccessKind { kShared, kExclusive };

// `Class` names the engine and the class:
//   using Engine = Writer;
//   static constexpr const char* kName = "_QuorWriter";
//   static PyType_Spec kSpec;  // sized sizeof(Instance<Class>::Object)
template <typename Class>
struct Instance {
  using Engine = typename Class::Engine;
  struct State {
    explicit State(std::unique_ptr<Engine> owned) noexcept : engine(std::move(owned)) {}
    std::unique_ptr<Engine> engine;
    BorrowFlag borrow;
  };
  static constexpr PyType_Spec& kSpec = Class::kSpec;
  using Object = HeapObject<Instance>;

  // The class object (see HeapObject::Type).
  static PyTypeObject* Type() { return Object::Type(); }

  // A new instance of `type` owning `engine`. New reference; on failure the
  // engine is released with the unique_ptr.
  static PyObject* New(PyTypeObject* type, std::unique_ptr<Engine> engine) {
    return Object::New(type, std::move(engine));
  }

  // Runs `body(engine, matched)` for a method with the parameters of
  // `signature`, inside the catch boundary and holding the access it needs;
  // `matched` holds one argument per parameter.
  template <size_t N, typename Body>
  static PyObject* Call(const Signature<N>& signature, AccessKind kind, PyObject* self,
                        PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
    return CallFunction(signature, args, nargs, kwnames, [&](PyObject** matched) {
      return CallMatched(kind, self, [&](Engine& engine) { return body(engine, matched); });
    });
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
    if (!PyObject_TypeCheck(self, Type())) {
      SetNotInstanceError(self, Class::kName);
      return nullptr;
    }
    State& state = Object::StateOf(self);
    const Access access = kind == AccessKind::kShared ? Access::Shared(state.borrow)
                                                      : Access::Exclusive(state.borrow);
    if (!access.ok()) return nullptr;
    return body(*state.engine);
  }
};

}  // namespace quordb::glue

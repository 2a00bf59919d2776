// The scaffold of every class of both extension modules: an instance holds
// one C++ value, its State, made in place with the instance and destroyed
// with it; the class object is made from its spec once per process.
//
//   struct ScanClass {
//     struct State { std::shared_ptr<const Reader> reader; size_t next; };
//     static PyType_Spec kSpec;  // defined after its slots, sized sizeof(HeapObject<ScanClass>)
//   };
//   using ScanObject = HeapObject<ScanClass>;
//   PyObject* scan = ScanObject::New(ScanObject::Type(), std::move(reader), 0);
//   ScanObject::StateOf(scan).next += 1;
//   {Py_tp_dealloc, reinterpret_cast<void*>(ScanObject::Dealloc)},
//
// Class objects are made once for the whole process, so a module that uses
// them must refuse to load in a sub-interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

namespace quordb::glue {

template <typename Class>
struct HeapObject {
  using State = typename Class::State;

  PyObject_HEAD State state;

  static State& StateOf(PyObject* self) noexcept {
    return reinterpret_cast<HeapObject*>(self)->state;
  }

  // The class object, made from Class::kSpec on first need and kept for the
  // life of the process. Borrowed; null with an exception set if making it
  // fails (the next call tries again).
  static PyTypeObject* Type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&Class::kSpec));
    return type;
  }

  // A new instance of `type` (the class or a subclass) whose State is made
  // from `args`. New reference; null with MemoryError set.
  template <typename... Args>
  static PyObject* New(PyTypeObject* type, Args&&... args) {
    // Made after the allocation, so it must not fail: the values it takes
    // were made, and could fail, before.
    static_assert(noexcept(State{std::declval<Args>()...}));
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) new (&StateOf(self)) State{std::forward<Args>(args)...};
    return self;
  }

  // The class's tp_dealloc.
  static void Dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    StateOf(self).~State();
    type->tp_free(self);
    // An instance of a heap type holds a reference to its class.
    Py_DECREF(type);
  }
};

}  // namespace quordb::glue

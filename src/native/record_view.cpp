#include "native/record_view.h"

#include <utility>

#include "glue/heap_object.h"

namespace quordb::native {
namespace {

using glue::PyRef;

struct RecordViewClass {
  struct State {
    // Keeps the mapping that `payload` lies in.
    SharedReader engine;
    Bytes payload;
    // Buffers handed out and not yet released.
    Py_ssize_t exports;
  };
  static PyType_Spec kSpec;
};
using RecordViewObject = glue::HeapObject<RecordViewClass>;

RecordViewClass::State& StateOf(PyObject* view) noexcept { return RecordViewObject::StateOf(view); }

int GetBuffer(PyObject* self, Py_buffer* buffer, int flags) {
  RecordViewClass::State& view = StateOf(self);
  // The mapping is read-only: a request for a writable buffer fails here.
  void* data = const_cast<uint8_t*>(view.payload.data());
  if (PyBuffer_FillInfo(buffer, self, data, static_cast<Py_ssize_t>(view.payload.size()),
                        /*readonly=*/1, flags) < 0)
    return -1;
  ++view.exports;
  return 0;
}

void ReleaseBuffer(PyObject* self, Py_buffer*) { --StateOf(self).exports; }

// Whether nothing but its holder refers to `view`, so that it may be pointed
// at another record.
bool Unshared(PyObject* view) noexcept {
  return Py_REFCNT(view) == 1 && StateOf(view).exports == 0;
}

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(RecordViewObject::Dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(GetBuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(ReleaseBuffer)},
    {Py_tp_doc, const_cast<char*>("The stored bytes of one record, read in place in the file's "
                                  "mapping, which stays mapped while the view lives.")},
    {0, nullptr},
};

PyType_Spec RecordViewClass::kSpec = {
    "quordb._native.RecordView",
    sizeof(RecordViewObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

PyObject* RecordViews::Decode(PyObject* decode, const SharedReader& engine, Bytes payload) {
  PyRef view = std::move(spare_);
  if (view && Unshared(view.get())) {
    RecordViewClass::State& state = StateOf(view.get());
    if (state.engine != engine) state.engine = engine;
    state.payload = payload;
  } else {
    PyTypeObject* type = RecordViewObject::Type();
    if (type == nullptr) return nullptr;
    view = PyRef::Steal(RecordViewObject::New(type, SharedReader(engine), payload, Py_ssize_t{0}));
    if (!view) return nullptr;
  }
  PyObject* arguments[] = {nullptr, view.get()};
  PyObject* decoded =
      PyObject_Vectorcall(decode, arguments + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  // A decode that failed may still hold the view (in a traceback's frame);
  // the check covers that too.
  if (!spare_ && Unshared(view.get())) spare_ = std::move(view);
  return decoded;
}

}  // namespace quordb::native

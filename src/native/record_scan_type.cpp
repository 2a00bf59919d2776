// quordb._native.RecordScan: a file's records in stored order, each with the
// keys that name it, which is what `quordb dump` writes so that `quordb load`
// can make the same file again.
//
// The scan owns its own engine: it opens the file once and walks it to the
// end; nothing it hands out refers into the mapping. Calls hold the
// interpreter lock, except the open (the whole-file CRC) and the sort of the
// index by location, which run without it.
#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/reader.h"
#include "core/record_walk.h"
#include "glue/arguments.h"
#include "glue/py_ref.h"
#include "glue/results.h"
#include "glue/store_error.h"
#include "glue/lock_released.h"
#include "native/types.h"

namespace quordb::native {
namespace {

using glue::CatchBoundary;
using glue::ConvertPath;
using glue::ConvertVerify;
using glue::KeyForm;
using glue::KeyObject;
using glue::LockReleased;
using glue::MatchArguments;
using glue::PayloadBytes;
using glue::PyRef;
using glue::SetStoreError;
using glue::Signature;

constexpr Py_ssize_t kDefaultChunk = 4096;

struct Walking {
  // Declared first: the walk borrows it.
  std::unique_ptr<Reader> reader;
  RecordWalk walk;
  explicit Walking(std::unique_ptr<Reader> opened)
      : reader(std::move(opened)), walk(*reader) {}
};

struct ScanState {
  // Null once the last record has been handed out, which lets go of the file.
  std::unique_ptr<Walking> walking;
  size_t chunk = kDefaultChunk;
};

struct ScanObject {
  PyObject_HEAD ScanState state;
};

ScanState& StateOf(PyObject* self) noexcept {
  return reinterpret_cast<ScanObject*>(self)->state;
}

// New reference: (payload, [key, ...]), each key a str when its bytes are
// UTF-8, else the bytes.
PyObject* RecordTuple(const Reader& reader, const WalkedRecord& record) {
  PyRef payload = PyRef::Steal(PayloadBytes(record.payload));
  if (!payload) return nullptr;
  PyRef keys = PyRef::Steal(PyList_New(static_cast<Py_ssize_t>(record.entries.size())));
  if (!keys) return nullptr;
  for (size_t i = 0; i < record.entries.size(); ++i) {
    PyObject* key = KeyObject(reader.KeyAt(record.entries[i]), KeyForm::kExact);
    if (key == nullptr) return nullptr;
    PyList_SET_ITEM(keys.get(), static_cast<Py_ssize_t>(i), key);
  }
  return PyTuple_Pack(2, payload.get(), keys.get());
}

constexpr const char* kNewNames[] = {"path", "verify", "chunk"};

PyObject* ScanNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return CatchBoundary(
      [&]() -> PyObject* {
        static const Signature signature{"RecordScan.__new__()", kNewNames, 1};
        PyObject* matched[std::size(kNewNames)];
        if (!MatchArguments(signature, args, kwargs, matched)) return nullptr;
        std::string_view path;
        if (!ConvertPath(matched[0], &path)) return nullptr;
        bool verify = true;
        if (!ConvertVerify(matched[1], &verify)) return nullptr;
        Py_ssize_t chunk = kDefaultChunk;
        if (matched[2] != nullptr) {
          chunk = PyLong_AsSsize_t(matched[2]);
          if (chunk == -1 && PyErr_Occurred()) return nullptr;
          if (chunk < 1) {
            PyErr_SetString(PyExc_ValueError, "chunk must be at least 1");
            return nullptr;
          }
        }
        std::unique_ptr<Walking> walking;
        std::optional<StoreError> failure;
        {
          const LockReleased released(true);
          Result<std::unique_ptr<Reader>> opened = Reader::Open(std::string(path), verify);
          if (opened.ok())
            walking = std::make_unique<Walking>(std::move(opened).value());
          else
            failure = std::move(opened).error();
        }
        if (failure) return SetStoreError(*failure);
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        ScanState* state = new (&StateOf(self)) ScanState();
        state->walking = std::move(walking);
        state->chunk = static_cast<size_t>(chunk);
        return self;
      },
      nullptr);
}

void ScanDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  StateOf(self).~ScanState();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* ScanNext(PyObject* self) {
  return CatchBoundary(
      [&]() -> PyObject* {
        ScanState& scan = StateOf(self);
        if (!scan.walking) return nullptr;
        PyRef list = PyRef::Steal(PyList_New(0));
        if (!list) return nullptr;
        while (static_cast<size_t>(PyList_GET_SIZE(list.get())) < scan.chunk) {
          Result<std::optional<WalkedRecord>> next = scan.walking->walk.Next();
          if (!next.ok()) {
            scan.walking.reset();
            return SetStoreError(next.error());
          }
          if (!next.value()) {
            scan.walking.reset();
            break;
          }
          PyRef record = PyRef::Steal(RecordTuple(*scan.walking->reader, *next.value()));
          if (!record || PyList_Append(list.get(), record.get()) < 0) return nullptr;
        }
        if (PyList_GET_SIZE(list.get()) == 0) return nullptr;
        return list.release();
      },
      nullptr);
}

PyType_Slot kScanSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ScanNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ScanDealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(ScanNext)},
    {Py_tp_doc,
     const_cast<char*>("RecordScan(path, verify=True, chunk=4096)\n--\n\n"
                       "An iterator of lists of (payload, keys) for every record of the file "
                       "at `path`, in stored order, at most `chunk` per list: `keys` are the "
                       "keys that name the record, in key order (str when their bytes are "
                       "UTF-8, else bytes), and empty for a record no key names. An index entry that names no record start is "
                       "QuorCorruptError when the walk reaches it.")},
    {0, nullptr},
};

PyType_Spec kScanSpec = {
    "quordb._native.RecordScan", sizeof(ScanObject), 0, Py_TPFLAGS_DEFAULT, kScanSlots,
};

}  // namespace

int AddRecordScanTypes(PyObject* module) {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kScanSpec));
  if (type == nullptr) return -1;
  return PyModule_AddObjectRef(module, "RecordScan", reinterpret_cast<PyObject*>(type));
}

}  // namespace quordb::native

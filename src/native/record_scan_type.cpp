// quordb._native.RecordScan: a file's records in stored order, each with the
// keys that name it, which is what `quordb dump` writes so that `quordb load`
// can make the same file again.
//
// The scan owns its own engine: it opens the file once and walks it to the
// end; nothing it hands out refers into the mapping. Calls hold the
// interpreter lock, except the open (the whole-file CRC) and the sort of the
// index by location, which run without it.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/reader.h"
#include "core/record_walk.h"
#include "glue/arguments.h"
#include "glue/entry_point.h"
#include "glue/heap_object.h"
#include "glue/lock_released.h"
#include "glue/py_ref.h"
#include "glue/results.h"
#include "native/error_classes.h"
#include "native/open_failure.h"
#include "native/types.h"

namespace quordb::native {
namespace {

using glue::CallConstructor;
using glue::CatchBoundary;
using glue::ConvertChunk;
using glue::ConvertOpenArguments;
using glue::KeyForm;
using glue::KeyObject;
using glue::LockReleased;
using glue::OpenArguments;
using glue::PayloadBytes;
using glue::PyRef;
using glue::Signature;

struct Walking {
  // Declared first: the walk borrows it.
  std::unique_ptr<Reader> reader;
  RecordWalk walk;
  explicit Walking(std::unique_ptr<Reader> opened) : reader(std::move(opened)), walk(*reader) {}
};

struct RecordScanClass {
  struct State {
    // Null once the last record has been handed out, which lets go of the file.
    std::unique_ptr<Walking> walking;
    size_t chunk;
  };
  static PyType_Spec kSpec;
};
using RecordScan = glue::HeapObject<RecordScanClass>;

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
  static const Signature signature{"RecordScan.__new__()", kNewNames, 1};
  return CallConstructor(signature, args, kwargs, [&](PyObject** matched) -> PyObject* {
    OpenArguments open;
    if (!ConvertOpenArguments(matched[0], matched[1], &open)) return nullptr;
    size_t chunk = 0;
    if (!ConvertChunk(matched[2], &chunk)) return nullptr;
    std::unique_ptr<Walking> walking;
    std::optional<OpenFailure> failure;
    {
      const LockReleased released(true);
      std::string path(open.path);
      Result<std::unique_ptr<Reader>> opened =
          Reader::Open(path, open.verify, {.map_table = true, .check_records = true});
      if (opened.ok())
        walking = std::make_unique<Walking>(std::move(opened).value());
      else
        failure.emplace(std::move(path), std::move(opened).error());
    }
    if (failure) return failure->Raise();
    return RecordScan::New(type, std::move(walking), chunk);
  });
}

PyObject* ScanNext(PyObject* self) {
  return CatchBoundary(
      [&]() -> PyObject* {
        RecordScanClass::State& scan = RecordScan::StateOf(self);
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
    {Py_tp_dealloc, reinterpret_cast<void*>(RecordScan::Dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(ScanNext)},
    {Py_tp_doc,
     const_cast<char*>("RecordScan(path, verify=True, chunk=4096)\n--\n\n"
                       "An iterator of lists of (payload, keys) for every record of the file "
                       "at `path`, in stored order, at most `chunk` per list: `keys` are the "
                       "keys that name the record, in key order (str when their bytes are "
                       "UTF-8, else bytes), and empty for a record no key names. An index entry "
                       "that names no record start is "
                       "QuorCorruptError when the walk reaches it.")},
    {0, nullptr},
};

PyType_Spec RecordScanClass::kSpec = {
    "quordb._native.RecordScan", sizeof(RecordScan), 0, Py_TPFLAGS_DEFAULT, kScanSlots,
};

}  // namespace

int AddRecordScanTypes(PyObject* module) {
  PyTypeObject* type = RecordScan::Type();
  if (type == nullptr) return -1;
  return PyModule_AddObjectRef(module, "RecordScan", reinterpret_cast<PyObject*>(type));
}

}  // namespace quordb::native

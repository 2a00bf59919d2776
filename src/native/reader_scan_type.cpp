#include "native/reader_scan_type.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "glue/entry_point.h"
#include "glue/heap_object.h"
#include "glue/lock_released.h"
#include "glue/py_ref.h"
#include "glue/results.h"
#include "native/error_classes.h"
#include "native/record_view.h"

namespace quordb::native {
namespace {

using glue::BuildList;
using glue::CatchBoundary;
using glue::KeyForm;
using glue::KeyObject;
using glue::LockReleased;
using glue::PayloadBytes;
using glue::PrefetchPayload;
using glue::PyRef;

// Below this many entries a chunk's fetch is too short to be worth handing
// the interpreter lock to another thread and taking it back.
constexpr size_t kLockFreeChunk = 256;
// A decoding scan fetches and decodes this many entries at a time, so that
// the decoder reads records that the fetch has just brought into the cache.
constexpr size_t kDecodeStep = 256;

struct ReaderScanClass {
  struct State {
    // Null once exhausted, which lets go of the file early.
    SharedReader reader;
    size_t next;
    size_t end;
    size_t chunk;
    ScanKind kind;
    // What values are decoded by; null for their stored bytes.
    PyRef decode;
    RecordViews views;
  };
  static PyType_Spec kSpec;
};
using ReaderScan = glue::HeapObject<ReaderScanClass>;

// The payloads of `range`, fetched without the lock when it is long. False
// with an error set.
bool FetchPayloads(const Reader& reader, EntryRange range, std::vector<Bytes>* payloads) {
  payloads->clear();
  std::optional<Status> fetched;
  {
    LockReleased released(range.end - range.first >= kLockFreeChunk);
    fetched = reader.VisitPayloads(range, [&](size_t, Bytes payload) {
      payloads->push_back(payload);
      return true;
    });
  }
  if (!fetched->ok()) SetStoreError(fetched->error());
  return fetched->ok();
}

// The list of keys, payloads or pairs for the entries of `range`. Records
// are fetched first, without the lock for a long chunk; the objects are made
// after. New reference.
PyObject* Chunk(const Reader& reader, EntryRange range, ScanKind kind) {
  const size_t count = range.end - range.first;
  if (kind == ScanKind::kKeys)
    return BuildList(
        count, [&](size_t i) { return KeyObject(reader.KeyAt(range.first + i), KeyForm::kExact); });
  std::vector<Bytes> payloads;
  payloads.reserve(count);
  if (!FetchPayloads(reader, range, &payloads)) return nullptr;
  return BuildList(count, [&](size_t i) {
    if (i + kPrefetchDistance < count) PrefetchPayload(payloads[i + kPrefetchDistance]);
    if (kind == ScanKind::kValues) return PayloadBytes(payloads[i]);
    return glue::Pair(reader.KeyAt(range.first + i), KeyForm::kExact, payloads[i]);
  });
}

// The list of decoded values or (key, value) pairs for the entries of
// `range`, `decode(view)` of each record in place. New reference.
PyObject* DecodedChunk(const SharedReader& reader, EntryRange range, ScanKind kind,
                       PyObject* decode, RecordViews& views) {
  const size_t count = range.end - range.first;
  std::vector<Bytes> payloads;
  payloads.reserve(std::min(count, kDecodeStep));
  return BuildList(count, [&](size_t i) -> PyObject* {
    if (i % kDecodeStep == 0 &&
        !FetchPayloads(*reader, {range.first + i, range.first + std::min(count, i + kDecodeStep)},
                       &payloads))
      return nullptr;
    PyRef decoded = PyRef::Steal(views.Decode(decode, reader, payloads[i % kDecodeStep]));
    if (!decoded || kind == ScanKind::kValues) return decoded.release();
    const PyRef key = PyRef::Steal(KeyObject(reader->KeyAt(range.first + i), KeyForm::kExact));
    if (!key) return nullptr;
    return PyTuple_Pack(2, key.get(), decoded.get());
  });
}

PyObject* ScanNext(PyObject* self) {
  return CatchBoundary(
      [&]() -> PyObject* {
        ReaderScanClass::State& scan = ReaderScan::StateOf(self);
        if (!scan.reader) return nullptr;
        // Claim the chunk before any release of the lock, so that two
        // threads sharing this scan never take the same one.
        const EntryRange range{scan.next, scan.next + std::min(scan.chunk, scan.end - scan.next)};
        scan.next = range.end;
        const SharedReader reader = scan.reader;
        if (scan.next == scan.end) scan.reader.reset();
        if (range.first == range.end) return nullptr;
        if (!scan.decode || scan.kind == ScanKind::kKeys) return Chunk(*reader, range, scan.kind);
        // Held for the chunk: a decoder may run code that reaches this scan.
        const PyRef decode = PyRef::Borrow(scan.decode.get());
        PyObject* chunk = DecodedChunk(reader, range, scan.kind, decode.get(), scan.views);
        if (chunk == nullptr) {  // a scan that failed ends there
          scan.reader.reset();
          scan.next = scan.end;
        }
        // Exhausted, it keeps no file mapped through its spare view.
        if (!scan.reader) scan.views.Clear();
        return chunk;
      },
      nullptr);
}

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(ReaderScan::Dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(ScanNext)},
    {Py_tp_doc, const_cast<char*>("An iterator over a key range, yielding lists of its entries, "
                                  "a chunk at a time, from the file it was made on.")},
    {0, nullptr},
};

PyType_Spec ReaderScanClass::kSpec = {
    "quordb._native.ReaderScan",
    sizeof(ReaderScan),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

bool ConvertScanKind(PyObject* what, ScanKind* out) {
  if (PyUnicode_Check(what)) {
    for (const auto& [name, kind] :
         {std::pair{"keys", ScanKind::kKeys}, std::pair{"values", ScanKind::kValues},
          std::pair{"items", ScanKind::kItems}}) {
      if (PyUnicode_CompareWithASCIIString(what, name) == 0) {
        *out = kind;
        return true;
      }
    }
  }
  PyErr_SetString(PyExc_ValueError, "what must be 'keys', 'values' or 'items'");
  return false;
}

PyObject* NewReaderScan(SharedReader reader, EntryRange range, ScanKind kind, size_t chunk,
                        PyObject* decode) {
  PyTypeObject* type = ReaderScan::Type();
  if (type == nullptr) return nullptr;
  return ReaderScan::New(type, std::move(reader), range.first, std::max(range.first, range.end),
                         chunk, kind, PyRef::Borrow(decode), RecordViews());
}

}  // namespace quordb::native

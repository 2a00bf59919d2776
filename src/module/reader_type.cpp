#include "module/reader_type.h"

#include <memory>
#include <string>
#include <vector>

#include "core/reader.h"
#include "glue/arguments.h"
#include "glue/entry_point.h"
#include "glue/instance.h"
#include "glue/py_ref.h"
#include "glue/results.h"
#include "glue/store_error.h"

namespace quordb::module {
namespace {

using glue::AccessKind;
using glue::BuildList;
using glue::BuiltinErrorClasses;
using glue::CallConstructor;
using glue::ConvertKey;
using glue::ConvertOpenArguments;
using glue::FastcallMethod;
using glue::HandOut;
using glue::Instance;
using glue::KeyBytes;
using glue::KeyForm;
using glue::KeyObject;
using glue::NewUnfilledList;
using glue::OpenArguments;
using glue::Pair;
using glue::PayloadBytes;
using glue::PrefetchPayload;
using glue::PyRef;
using glue::SetStoreError;
using glue::Signature;
using glue::StatsDict;

struct ReaderClass {
  using Engine = Reader;
  static constexpr const char* kName = "_QuorReader";
  static PyType_Spec kSpec;
};
using ReaderInstance = Instance<ReaderClass>;

// Pairs for the entries of `range`, each made as its record is fetched.
// New reference.
PyObject* PairList(const Reader& reader, EntryRange range) {
  PyRef list = NewUnfilledList(range.end - range.first);
  if (!list) return nullptr;
  bool made = true;
  const Status walked = reader.VisitPayloads(range, [&](size_t entry, Bytes payload) {
    PyObject* pair = Pair(reader.KeyAt(entry), KeyForm::kReplaced, payload);
    made = pair != nullptr;
    if (made) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(entry - range.first), pair);
    return made;
  });
  if (!walked.ok()) return SetStoreError(walked.error(), BuiltinErrorClasses());
  return made ? HandOut(std::move(list)) : nullptr;
}

constexpr const char* kKeyName[] = {"key"};
constexpr const char* kPrefixName[] = {"prefix"};
constexpr const char* kExitNames[] = {"_exc_type", "_exc_val", "_exc_tb"};
constexpr const char* kOpenNames[] = {"path", "verify"};

PyObject* ReaderNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature signature{"_QuorReader.__new__()", kOpenNames, 1};
  return CallConstructor(signature, args, kwargs, [&](PyObject** matched) -> PyObject* {
    OpenArguments open;
    if (!ConvertOpenArguments(matched[0], matched[1], &open)) return nullptr;
    Result<std::unique_ptr<Reader>> opened = Reader::Open(std::string(open.path), open.verify);
    if (!opened.ok()) return SetStoreError(opened.error(), BuiltinErrorClasses());
    return ReaderInstance::New(type, std::move(opened).value());
  });
}

PyObject* ReaderRepr(PyObject* self) {
  return ReaderInstance::CallNoArgs(
      AccessKind::kShared, self, [](const Reader& reader) -> PyObject* {
        const std::string text = "_QuorReader('" + reader.path() +
                                 "', keys=" + std::to_string(reader.num_keys()) +
                                 ", objects=" + std::to_string(reader.num_objects()) + ")";
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
      });
}

PyObject* GetRaw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"_QuorReader.get_raw()", kKeyName, 1};
  return ReaderInstance::Call(signature, AccessKind::kShared, self, args, nargs, kwnames,
                              [](const Reader& reader, PyObject** matched) -> PyObject* {
                                KeyBytes key;
                                if (!ConvertKey(matched[0], &key)) return nullptr;
                                Result<std::optional<Bytes>> payload = reader.Get(key.view());
                                if (!payload.ok())
                                  return SetStoreError(payload.error(), BuiltinErrorClasses());
                                if (!payload.value()) Py_RETURN_NONE;
                                return PayloadBytes(*payload.value());
                              });
}

PyObject* Exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"_QuorReader.exists()", kKeyName, 1};
  return ReaderInstance::Call(signature, AccessKind::kShared, self, args, nargs, kwnames,
                              [](const Reader& reader, PyObject** matched) -> PyObject* {
                                KeyBytes key;
                                if (!ConvertKey(matched[0], &key)) return nullptr;
                                return PyBool_FromLong(reader.Exists(key.view()));
                              });
}

PyObject* PrefixRaw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"_QuorReader.prefix_raw()", kPrefixName, 1};
  return ReaderInstance::Call(signature, AccessKind::kShared, self, args, nargs, kwnames,
                              [](const Reader& reader, PyObject** matched) -> PyObject* {
                                KeyBytes prefix;
                                if (!ConvertKey(matched[0], &prefix)) return nullptr;
                                return PairList(reader, reader.PrefixRange(prefix.view()));
                              });
}

PyObject* Keys(PyObject* self, PyObject*) {
  return ReaderInstance::CallNoArgs(
      AccessKind::kShared, self, [](const Reader& reader) -> PyObject* {
        return BuildList(reader.entry_count(),
                         [&](size_t i) { return KeyObject(reader.KeyAt(i), KeyForm::kReplaced); });
      });
}

PyObject* ItemsRaw(PyObject* self, PyObject*) {
  return ReaderInstance::CallNoArgs(AccessKind::kShared, self,
                                    [](const Reader& reader) -> PyObject* {
                                      return PairList(reader, {0, reader.entry_count()});
                                    });
}

PyObject* ObjectsRaw(PyObject* self, PyObject*) {
  return ReaderInstance::CallNoArgs(
      AccessKind::kShared, self, [](const Reader& reader) -> PyObject* {
        Result<std::vector<Bytes>> payloads = reader.DistinctObjects();
        if (!payloads.ok()) return SetStoreError(payloads.error(), BuiltinErrorClasses());
        const std::vector<Bytes>& list = payloads.value();
        return BuildList(list.size(), [&](size_t i) {
          if (i + kPrefetchDistance < list.size()) PrefetchPayload(list[i + kPrefetchDistance]);
          return PayloadBytes(list[i]);
        });
      });
}

PyObject* Stats(PyObject* self, PyObject*) {
  return ReaderInstance::CallNoArgs(
      AccessKind::kShared, self,
      [](const Reader& reader) -> PyObject* { return StatsDict(reader.Stats()); });
}

PyObject* Verify(PyObject* self, PyObject*) {
  return ReaderInstance::CallNoArgs(
      AccessKind::kShared, self, [](const Reader& reader) -> PyObject* {
        const Status verified = reader.Verify();
        if (!verified.ok()) return SetStoreError(verified.error(), BuiltinErrorClasses());
        Py_RETURN_TRUE;
      });
}

PyObject* Close(PyObject* self, PyObject*) {
  return ReaderInstance::CallNoArgs(AccessKind::kShared, self,
                                    [](const Reader&) -> PyObject* { Py_RETURN_NONE; });
}

PyObject* Enter(PyObject* self, PyObject*) {
  return ReaderInstance::CallNoArgs(AccessKind::kShared, self,
                                    [&](const Reader&) -> PyObject* { return Py_NewRef(self); });
}

PyObject* Exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"_QuorReader.__exit__()", kExitNames, 3};
  return ReaderInstance::Call(signature, AccessKind::kShared, self, args, nargs, kwnames,
                              [](const Reader&, PyObject**) -> PyObject* { Py_RETURN_FALSE; });
}

PyMethodDef kReaderMethods[] = {
    {"get_raw", FastcallMethod<GetRaw>(), METH_FASTCALL | METH_KEYWORDS,
     "get_raw($self, key)\n--\n\nO(1) exact-match lookup. Returns raw msgpack bytes or `None`."},
    {"exists", FastcallMethod<Exists>(), METH_FASTCALL | METH_KEYWORDS,
     "exists($self, key)\n--\n\nKey presence check \u2014 no I/O beyond the in-memory hash index."},
    {"prefix_raw", FastcallMethod<PrefixRaw>(), METH_FASTCALL | METH_KEYWORDS,
     "prefix_raw($self, prefix)\n--\n\nSorted prefix scan. Returns `list[tuple[str, bytes]]`."},
    {"keys", Keys, METH_NOARGS, "keys($self)\n--\n\nAll keys in sorted order."},
    {"items_raw", ItemsRaw, METH_NOARGS,
     "items_raw($self)\n--\n\nAll `(key, raw_bytes)` pairs in sorted key order."},
    {"objects_raw", ObjectsRaw, METH_NOARGS,
     "objects_raw($self)\n--\n\nUnique objects only (deduplicated by file offset)."},
    {"stats", Stats, METH_NOARGS, "stats($self)\n--\n\nReturn file metadata as a `dict`."},
    {"verify", Verify, METH_NOARGS,
     "verify($self)\n--\n\nDeep CRC32 integrity check (whole-file + per-object)."},
    {"close", Close, METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", Enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", FastcallMethod<Exit>(), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kReaderSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ReaderNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ReaderInstance::Object::Dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(ReaderRepr)},
    {Py_tp_methods, kReaderMethods},
    {Py_tp_doc,
     const_cast<char*>("_QuorReader(path, verify=True)\n--\n\n"
                       "Low-level reader \u2014 returns raw msgpack bytes.\n"
                       "**Use `quordb.QuorReader` (Python wrapper) instead of this directly.**\n\n"
                       "Thread-safe for reads: the index is immutable after construction and the\n"
                       "mmap is read-only.  Share one instance freely across threads.")},
    {0, nullptr},
};

PyType_Spec ReaderClass::kSpec = {
    "builtins._QuorReader", sizeof(ReaderInstance::Object), 0, Py_TPFLAGS_DEFAULT, kReaderSlots,
};

}  // namespace

PyTypeObject* ReaderType() { return ReaderInstance::Type(); }

}  // namespace quordb::module

#include "module/reader_type.h"

#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "core/reader.h"
#include "module/arguments.h"
#include "module/instance.h"
#include "module/py_ref.h"
#include "module/store_error.h"

namespace quordb::module {
namespace {

struct ReaderClass {
  using State = Reader;
  static PyTypeObject* Type() { return ReaderType(); }
  static constexpr const char* kName = "_QuorReader";
};
using ReaderInstance = Instance<ReaderClass>;

// Key text: UTF-8 with every maximal ill-formed subsequence replaced by
// U+FFFD, which is what the interpreter's decoder does in "replace" mode.
// New reference.
PyObject* KeyText(std::string_view key) {
  bool ascii = true;
  for (const char c : key) ascii &= static_cast<unsigned char>(c) < 0x80;
  if (ascii) {
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(key.size()), 127);
    if (text != nullptr && !key.empty()) std::memcpy(PyUnicode_DATA(text), key.data(), key.size());
    return text;
  }
  return PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "replace");
}

PyObject* PayloadBytes(Bytes payload) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(payload.data()),
                                   static_cast<Py_ssize_t>(payload.size()));
}

// New reference: (key text, payload bytes).
PyObject* Pair(std::string_view key, Bytes payload) {
  PyRef text = PyRef::Steal(KeyText(key));
  if (!text) return nullptr;
  PyRef bytes = PyRef::Steal(PayloadBytes(payload));
  if (!bytes) return nullptr;
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) return nullptr;
  PyTuple_SET_ITEM(pair, 0, text.release());
  PyTuple_SET_ITEM(pair, 1, bytes.release());
  // A pair of a str and a bytes can never be part of a cycle. Left tracked,
  // a long listing makes the collector walk every pair made so far, again
  // and again as the list grows; the interpreter would untrack such a tuple
  // itself, but only when a collection reaches it.
  PyObject_GC_UnTrack(pair);
  return pair;
}

// A list of `count` empty slots, hidden from the collector until it is
// filled: making a long listing sets off collections, and each would walk the
// list again.
PyRef NewUnfilledList(size_t count) {
  PyRef list = PyRef::Steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (list) PyObject_GC_UnTrack(list.get());
  return list;
}

// New reference to a list from NewUnfilledList, now full.
PyObject* HandOut(PyRef list) {
  PyObject_GC_Track(list.get());
  return list.release();
}

// A list of `count` elements made by `element(i)`; nothing is handed out if
// any element fails. New reference.
template <typename MakeElement>
PyObject* BuildList(size_t count, MakeElement&& element) {
  PyRef list = NewUnfilledList(count);
  if (!list) return nullptr;
  for (size_t i = 0; i < count; ++i) {
    PyObject* item = element(i);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return HandOut(std::move(list));
}

// Pairs for the entries of `range`, each made as its record is fetched.
// New reference.
PyObject* PairList(const Reader& reader, EntryRange range) {
  PyRef list = NewUnfilledList(range.end - range.first);
  if (!list) return nullptr;
  bool made = true;
  const Status walked = reader.VisitPayloads(range, [&](size_t entry, Bytes payload) {
    PyObject* pair = Pair(reader.KeyAt(entry), payload);
    made = pair != nullptr;
    if (made) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(entry - range.first), pair);
    return made;
  });
  if (!walked.ok()) return SetStoreError(walked.error());
  return made ? HandOut(std::move(list)) : nullptr;
}

// The payloads were fetched in key order, so copying them jumps around the
// file: ask for one a little ahead of the copy.
void PrefetchPayload(const std::vector<Bytes>& payloads, size_t i) {
  if (i >= payloads.size() || payloads[i].empty()) return;
  __builtin_prefetch(payloads[i].data());
  __builtin_prefetch(payloads[i].data() + payloads[i].size() - 1);
}

constexpr const char* kKeyName[] = {"key"};
constexpr const char* kPrefixName[] = {"prefix"};
constexpr const char* kExitNames[] = {"_exc_type", "_exc_val", "_exc_tb"};
constexpr const char* kOpenNames[] = {"path", "verify"};

PyObject* ReaderNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return CatchBoundary(
      [&]() -> PyObject* {
        static const Signature signature{"_QuorReader.__new__()", kOpenNames, 1};
        PyObject* matched[std::size(kOpenNames)];
        if (!MatchArguments(signature, args, kwargs, matched)) return nullptr;
        std::string_view path;
        if (!ConvertPath(matched[0], &path)) return nullptr;
        bool verify = true;
        if (!ConvertVerify(matched[1], &verify)) return nullptr;
        Result<std::unique_ptr<Reader>> opened = Reader::Open(std::string(path), verify);
        if (!opened.ok()) return SetStoreError(opened.error());
        return ReaderInstance::New(type, std::move(opened).value());
      },
      nullptr);
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
                                if (!payload.ok()) return SetStoreError(payload.error());
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
        return BuildList(reader.entry_count(), [&](size_t i) { return KeyText(reader.KeyAt(i)); });
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
        if (!payloads.ok()) return SetStoreError(payloads.error());
        const std::vector<Bytes>& list = payloads.value();
        return BuildList(list.size(), [&](size_t i) {
          PrefetchPayload(list, i + kPrefetchDistance);
          return PayloadBytes(list[i]);
        });
      });
}

// Sets `dict[name] = value`, stealing `value`. False with an error set.
bool SetItem(PyObject* dict, const char* name, PyObject* value) {
  PyRef owned = PyRef::Steal(value);
  return owned && PyDict_SetItemString(dict, name, owned.get()) == 0;
}

PyObject* Stats(PyObject* self, PyObject*) {
  return ReaderInstance::CallNoArgs(
      AccessKind::kShared, self, [](const Reader& reader) -> PyObject* {
        const ReaderStats stats = reader.Stats();
        PyRef dict = PyRef::Steal(PyDict_New());
        if (!dict) return nullptr;
        const bool filled =
            SetItem(dict.get(), "path", KeyText(stats.path)) &&
            SetItem(dict.get(), "version", PyLong_FromLong(stats.version)) &&
            SetItem(dict.get(), "num_keys", PyLong_FromUnsignedLong(stats.num_keys)) &&
            SetItem(dict.get(), "num_objects", PyLong_FromUnsignedLong(stats.num_objects)) &&
            SetItem(dict.get(), "index_offset", PyLong_FromUnsignedLongLong(stats.index_offset)) &&
            SetItem(dict.get(), "data_offset", PyLong_FromUnsignedLongLong(stats.data_offset)) &&
            SetItem(dict.get(), "file_size_kb", PyFloat_FromDouble(stats.file_size_kb)) &&
            SetItem(dict.get(), "file_crc32",
                    PyUnicode_FromStringAndSize(stats.file_crc32.data(),
                                                static_cast<Py_ssize_t>(stats.file_crc32.size())));
        return filled ? dict.release() : nullptr;
      });
}

PyObject* Verify(PyObject* self, PyObject*) {
  return ReaderInstance::CallNoArgs(AccessKind::kShared, self,
                                    [](const Reader& reader) -> PyObject* {
                                      const Status verified = reader.Verify();
                                      if (!verified.ok()) return SetStoreError(verified.error());
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
    {Py_tp_dealloc, reinterpret_cast<void*>(ReaderInstance::Dealloc)},
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

PyType_Spec kReaderSpec = {
    "builtins._QuorReader", sizeof(ReaderInstance), 0, Py_TPFLAGS_DEFAULT, kReaderSlots,
};

}  // namespace

PyTypeObject* ReaderType() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kReaderSpec));
  return type;
}

}  // namespace quordb::module

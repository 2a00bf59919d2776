// quordb._native.Reader, the reader under quordb.QuorReader.
//
// Ownership: a Reader holds its engine through a shared_ptr, read and
// replaced only while the interpreter lock is held. Every call copies it
// before it may release the lock, and every scan holds a copy of its own, so
// close() or refresh() on another thread never frees an engine in use: the
// old file stays mapped until the last call or scan on it is done.
#include "native/reader_type.h"

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/reader.h"
#include "core/strict_verify.h"
#include "glue/arguments.h"
#include "glue/entry_point.h"
#include "glue/heap_object.h"
#include "glue/lock_released.h"
#include "glue/results.h"
#include "native/error_classes.h"
#include "native/key_batch.h"
#include "native/open_failure.h"
#include "native/reader_scan_type.h"
#include "native/record_view.h"
#include "native/types.h"

namespace quordb::native {
namespace {

using glue::BuildList;
using glue::CallConstructor;
using glue::CallFunction;
using glue::CatchBoundary;
using glue::ConvertChunk;
using glue::ConvertKey;
using glue::ConvertOpenArguments;
using glue::FastcallMethod;
using glue::KeyBytes;
using glue::LockReleased;
using glue::OpenArguments;
using glue::PayloadBytes;
using glue::PrefetchPayload;
using glue::Signature;

constexpr const char* kClosedMessage = "I/O operation on a closed reader";

// The file a path names: a rebuild renames a new file over the path, which
// changes this.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> IdentityOf(const std::string& path) noexcept {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return FileIdentity{status.st_dev, status.st_ino};
}

// An engine opened on `path`, or why it could not be, with the identity of
// the file taken before it was opened: if a rename falls between the two,
// the next refresh reopens the same file once, which is harmless, and never
// misses a newer one.
struct Opened {
  std::unique_ptr<Reader> reader;  // null when opening failed
  std::optional<OpenFailure> failure;
  std::optional<FileIdentity> identity;
};

// The package's reader maps a file's lookup table and checks every record
// it hands out.
constexpr ReadOptions kPackageReading{.map_table = true, .check_records = true};

// With `verify`, also the free part of the strict checks: open has walked
// the index, and a lowered num_keys, which no CRC covers, leaves bytes after
// it.
Opened OpenWithoutLock(const std::string& path, bool verify) {
  LockReleased released(true);
  Opened opened{nullptr, std::nullopt, IdentityOf(path)};
  Result<std::unique_ptr<Reader>> reader = Reader::Open(path, verify, kPackageReading);
  if (!reader.ok()) {
    opened.failure.emplace(path, std::move(reader).error());
    return opened;
  }
  if (verify) {
    Status index_end = CheckIndexEnd(*reader.value());
    if (!index_end.ok()) {
      opened.failure.emplace(path, std::move(index_end).error());
      return opened;
    }
  }
  opened.reader = std::move(reader).value();
  return opened;
}

// --- the reader object --------------------------------------------------------------

struct ReaderClass {
  struct State {
    // Null once closed.
    SharedReader engine;
    std::string path;
    bool verify;
    std::optional<FileIdentity> identity;
    // The view its lookups decode through; let go of with the engine.
    RecordViews views;
  };
  static PyType_Spec kSpec;
};
using ReaderObject = glue::HeapObject<ReaderClass>;

ReaderClass::State& StateOf(PyObject* self) noexcept { return ReaderObject::StateOf(self); }

// A copy of the engine of an open reader; null with ValueError set once closed.
SharedReader EngineOf(PyObject* self) {
  SharedReader engine = ReaderEngine(self);
  if (!engine) RaiseReaderClosed();
  return engine;
}

// Runs `body(engine, matched)` for a method with N parameters, inside the
// catch boundary, on a copy of the engine that outlives any close().
template <size_t N, typename Body>
PyObject* Call(const Signature<N>& signature, PyObject* self, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return CallFunction(signature, args, nargs, kwnames, [&](PyObject** matched) -> PyObject* {
    const SharedReader engine = EngineOf(self);
    if (!engine) return nullptr;
    return body(engine, matched);
  });
}

// The same for a method without parameters.
template <typename Body>
PyObject* CallNoArgs(PyObject* self, Body&& body) {
  return CatchBoundary(
      [&]() -> PyObject* {
        const SharedReader engine = EngineOf(self);
        if (!engine) return nullptr;
        return body(engine);
      },
      nullptr);
}

// A range bound: null or None is no bound. False with an error set.
bool ConvertBound(PyObject* bound, std::optional<KeyBytes>* out) {
  if (bound == nullptr || bound == Py_None) return true;
  return ConvertKey(bound, &out->emplace());
}

// A scan's decoder: null or None is none, for the stored bytes.
PyObject* Decoder(PyObject* decode) noexcept { return decode == Py_None ? nullptr : decode; }

// --- methods ------------------------------------------------------------------------

constexpr const char* kOpenNames[] = {"path", "verify"};
constexpr const char* kKeyName[] = {"key"};
constexpr const char* kKeysName[] = {"keys"};
constexpr const char* kDecodedNames[] = {"key", "decode", "default"};
constexpr const char* kDecodedManyNames[] = {"keys", "decode", "default"};
constexpr const char* kScanNames[] = {"what", "start", "stop", "chunk", "decode"};
constexpr const char* kScanPrefixNames[] = {"what", "prefix", "chunk", "decode"};
constexpr const char* kExitNames[] = {"exc_type", "exc_val", "exc_tb"};

PyObject* ReaderNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature signature{"Reader.__new__()", kOpenNames, 1};
  return CallConstructor(signature, args, kwargs, [&](PyObject** matched) -> PyObject* {
    OpenArguments open;
    if (!ConvertOpenArguments(matched[0], matched[1], &open)) return nullptr;
    std::string path(open.path);
    Opened opened = OpenWithoutLock(path, open.verify);
    if (opened.failure) return opened.failure->Raise();
    return ReaderObject::New(type, SharedReader(std::move(opened.reader)), std::move(path),
                             open.verify, opened.identity, RecordViews());
  });
}

PyObject* ReaderRepr(PyObject* self) {
  return CatchBoundary(
      [&]() -> PyObject* {
        const ReaderClass::State& state = StateOf(self);
        std::string text = "<quordb._native.Reader '" + state.path + "'";
        text +=
            state.engine ? " keys=" + std::to_string(state.engine->num_keys()) + ">" : " closed>";
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
      },
      nullptr);
}

Py_ssize_t ReaderLength(PyObject* self) {
  return CatchBoundary(
      [&]() -> Py_ssize_t {
        const SharedReader engine = EngineOf(self);
        return engine ? static_cast<Py_ssize_t>(engine->num_keys()) : -1;
      },
      -1);
}

PyObject* GetRaw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"Reader.get_raw()", kKeyName, 1};
  return Call(signature, self, args, nargs, kwnames,
              [](const SharedReader& engine, PyObject** matched) -> PyObject* {
                KeyBytes key;
                bool failed = false;
                if (!LookupKey(matched[0], &key, &failed)) {
                  if (failed) return nullptr;
                  Py_RETURN_NONE;
                }
                Result<std::optional<Bytes>> payload = engine->Get(key.view());
                if (!payload.ok()) return SetStoreError(payload.error());
                if (!payload.value()) Py_RETURN_NONE;
                return PayloadBytes(*payload.value());
              });
}

// What a lookup of an absent `key` gives: `fallback`, or KeyError(key) when
// there is none. New reference, or null with the error set.
PyObject* Absent(PyObject* key, PyObject* fallback) {
  if (fallback != nullptr) return Py_NewRef(fallback);
  // Made as an instance: a tuple given as the value would become its args.
  PyObject* error = PyObject_CallOneArg(PyExc_KeyError, key);
  if (error == nullptr) return nullptr;
  PyErr_SetObject(PyExc_KeyError, error);
  Py_DECREF(error);
  return nullptr;
}

PyObject* Get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"Reader.get()", kDecodedNames, 2};
  return Call(signature, self, args, nargs, kwnames,
              [&](const SharedReader& engine, PyObject** matched) -> PyObject* {
                KeyBytes key;
                bool failed = false;
                if (!LookupKey(matched[0], &key, &failed))
                  return failed ? nullptr : Absent(matched[0], matched[2]);
                Result<std::optional<Bytes>> payload = engine->Get(key.view());
                if (!payload.ok()) return SetStoreError(payload.error());
                if (!payload.value()) return Absent(matched[0], matched[2]);
                PyObject* decoded =
                    StateOf(self).views.Decode(matched[1], engine, *payload.value());
                // Closed or refreshed while it decoded: its spare view must
                // not keep the old file mapped.
                if (StateOf(self).engine != engine) StateOf(self).views.Clear();
                return decoded;
              });
}

PyObject* Exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"Reader.exists()", kKeyName, 1};
  return Call(signature, self, args, nargs, kwnames,
              [](const SharedReader& engine, PyObject** matched) -> PyObject* {
                KeyBytes key;
                bool failed = false;
                if (!LookupKey(matched[0], &key, &failed))
                  return failed ? nullptr : Py_NewRef(Py_False);
                return PyBool_FromLong(engine->Exists(key.view()));
              });
}

PyObject* GetManyRaw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"Reader.get_many_raw()", kKeysName, 1};
  return Call(signature, self, args, nargs, kwnames,
              [](const SharedReader& engine, PyObject** matched) -> PyObject* {
                KeyBatch batch;
                if (!batch.Collect(matched[0])) return nullptr;
                std::vector<std::optional<Bytes>> payloads(batch.views().size());
                std::optional<Status> fetched;
                {
                  LockReleased released(batch.size() >= kLockFreeBatch);
                  fetched = engine->GetMany(batch.views(), payloads);
                }
                if (!fetched->ok()) return SetStoreError(fetched->error());
                return PayloadList(
                    batch, [&](size_t j) -> const std::optional<Bytes>& { return payloads[j]; });
              });
}

// A batch is looked up and decoded this many keys at a time, so that the
// decoder reads records that the lookup has just brought into the cache.
constexpr size_t kDecodeChunk = 256;

PyObject* GetMany(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"Reader.get_many()", kDecodedManyNames, 2};
  return Call(signature, self, args, nargs, kwnames,
              [](const SharedReader& engine, PyObject** matched) -> PyObject* {
                KeyBatch batch;
                if (!batch.Collect(matched[0])) return nullptr;
                const std::span<const std::string_view> keys = batch.views();
                std::vector<std::optional<Bytes>> payloads(keys.size());
                const auto look_up = [&](size_t first, size_t count) {
                  std::optional<Status> fetched;
                  {
                    LockReleased released(batch.size() >= kLockFreeBatch);
                    fetched = engine->GetMany(keys.subspan(first, count),
                                              std::span(payloads).subspan(first, count));
                  }
                  if (!fetched->ok()) SetStoreError(fetched->error());
                  return fetched->ok();
                };
                return DecodedList(
                    batch, matched[1], matched[2] == nullptr ? Py_None : matched[2], kDecodeChunk,
                    look_up, [&](size_t) -> const SharedReader& { return engine; },
                    [&](size_t j) -> const std::optional<Bytes>& { return payloads[j]; });
              });
}

PyObject* ExistsMany(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"Reader.exists_many()", kKeysName, 1};
  return Call(signature, self, args, nargs, kwnames,
              [](const SharedReader& engine, PyObject** matched) -> PyObject* {
                KeyBatch batch;
                if (!batch.Collect(matched[0])) return nullptr;
                std::vector<std::optional<uint64_t>> locations(batch.views().size());
                {
                  LockReleased released(batch.size() >= kLockFreeBatch);
                  engine->FindMany(batch.views(), locations);
                }
                return BatchList(
                    batch, [&](size_t j) { return PyBool_FromLong(locations[j].has_value()); },
                    [] { return Py_NewRef(Py_False); });
              });
}

PyObject* Scan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"Reader.scan()", kScanNames, 1, 4};
  return Call(signature, self, args, nargs, kwnames,
              [](const SharedReader& engine, PyObject** matched) -> PyObject* {
                ScanKind kind;
                std::optional<KeyBytes> start, stop;
                size_t chunk = 0;
                if (!ConvertScanKind(matched[0], &kind) || !ConvertBound(matched[1], &start) ||
                    !ConvertBound(matched[2], &stop) || !ConvertChunk(matched[3], &chunk))
                  return nullptr;
                const EntryRange range{
                    start ? engine->LowerBound(start->view()) : 0,
                    stop ? engine->LowerBound(stop->view()) : engine->entry_count()};
                return NewReaderScan(engine, range, kind, chunk, Decoder(matched[4]));
              });
}

PyObject* ScanPrefix(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"Reader.scan_prefix()", kScanPrefixNames, 2, 3};
  return Call(signature, self, args, nargs, kwnames,
              [](const SharedReader& engine, PyObject** matched) -> PyObject* {
                ScanKind kind;
                KeyBytes prefix;
                size_t chunk = 0;
                if (!ConvertScanKind(matched[0], &kind) || !ConvertKey(matched[1], &prefix) ||
                    !ConvertChunk(matched[2], &chunk))
                  return nullptr;
                return NewReaderScan(engine, engine->PrefixRange(prefix.view()), kind, chunk,
                                     Decoder(matched[3]));
              });
}

PyObject* ObjectsRaw(PyObject* self, PyObject*) {
  return CallNoArgs(self, [](const SharedReader& engine) -> PyObject* {
    std::optional<Result<std::vector<Bytes>>> payloads;
    {
      LockReleased released(true);
      payloads = engine->DistinctObjects();
    }
    if (!payloads->ok()) return SetStoreError(payloads->error());
    const std::vector<Bytes>& list = payloads->value();
    return BuildList(list.size(), [&](size_t i) {
      if (i + kPrefetchDistance < list.size()) PrefetchPayload(list[i + kPrefetchDistance]);
      return PayloadBytes(list[i]);
    });
  });
}

PyObject* Stats(PyObject* self, PyObject*) {
  return CallNoArgs(self,
                    [](const SharedReader& engine) { return glue::StatsDict(engine->Stats()); });
}

// True when `check(reader)`, run without the interpreter lock, passes.
template <typename Check>
PyObject* CheckWithoutLock(PyObject* self, Check&& check) {
  return CallNoArgs(self, [&](const SharedReader& engine) -> PyObject* {
    std::optional<Status> checked;
    {
      LockReleased released(true);
      checked = check(*engine);
    }
    if (!checked->ok()) return SetStoreError(checked->error());
    Py_RETURN_TRUE;
  });
}

PyObject* Verify(PyObject* self, PyObject*) {
  return CheckWithoutLock(self, [](const Reader& reader) { return reader.Verify(); });
}

PyObject* VerifyStrictly(PyObject* self, PyObject*) {
  return CheckWithoutLock(self, [](const Reader& reader) { return VerifyStrict(reader); });
}

PyObject* Refresh(PyObject* self, PyObject*) {
  return CallNoArgs(self, [&](const SharedReader&) -> PyObject* {
    // Copied under the lock: another thread may refresh at the same time.
    const std::string path = StateOf(self).path;
    const std::optional<FileIdentity> known = StateOf(self).identity;
    std::optional<FileIdentity> current;
    {
      LockReleased released(true);
      current = IdentityOf(path);
    }
    if (current && current == known) Py_RETURN_FALSE;
    Opened opened = OpenWithoutLock(path, StateOf(self).verify);
    if (opened.failure) return opened.failure->Raise();
    ReaderClass::State& state = StateOf(self);
    if (!state.engine) return RaiseReaderClosed();  // closed while the new file was opened
    // The old engine goes when its last call or scan is done.
    state.engine = std::move(opened.reader);
    state.identity = opened.identity;
    state.views.Clear();
    Py_RETURN_TRUE;
  });
}

PyObject* Close(PyObject* self, PyObject*) {
  return CatchBoundary(
      [&]() -> PyObject* {
        StateOf(self).engine.reset();
        StateOf(self).views.Clear();
        Py_RETURN_NONE;
      },
      nullptr);
}

PyObject* Enter(PyObject* self, PyObject*) {
  return CallNoArgs(self, [&](const SharedReader&) { return Py_NewRef(self); });
}

PyObject* Exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"Reader.__exit__()", kExitNames, 3};
  return CallFunction(signature, args, nargs, kwnames, [&](PyObject**) -> PyObject* {
    StateOf(self).engine.reset();
    StateOf(self).views.Clear();
    Py_RETURN_FALSE;
  });
}

PyObject* GetClosed(PyObject* self, void*) { return PyBool_FromLong(!StateOf(self).engine); }

PyObject* GetPath(PyObject* self, void*) {
  const std::string& path = StateOf(self).path;
  return PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), nullptr);
}

// A table, so that more methods are one line each.
PyMethodDef kReaderMethods[] = {
    {"get_raw", FastcallMethod<GetRaw>(), METH_FASTCALL | METH_KEYWORDS,
     "get_raw($self, key)\n--\n\nThe stored bytes of `key`'s object, or None. An object "
     "that can name no key (not str or bytes) is simply absent."},
    {"get", FastcallMethod<Get>(), METH_FASTCALL | METH_KEYWORDS,
     "get($self, key, decode, default=<KeyError>)\n--\n\n`decode(view)` of a read-only buffer "
     "over `key`'s stored bytes in the file's mapping, which stays mapped while anything holds "
     "the view; `default` when `key` is absent, or KeyError(key) without one."},
    {"exists", FastcallMethod<Exists>(), METH_FASTCALL | METH_KEYWORDS,
     "exists($self, key)\n--\n\nWhether `key` is present."},
    {"get_many_raw", FastcallMethod<GetManyRaw>(), METH_FASTCALL | METH_KEYWORDS,
     "get_many_raw($self, keys)\n--\n\nThe stored bytes, or None, for every key of the "
     "iterable `keys`: the lookups of the whole batch overlap, without the interpreter lock."},
    {"get_many", FastcallMethod<GetMany>(), METH_FASTCALL | METH_KEYWORDS,
     "get_many($self, keys, decode, default=None)\n--\n\nget() for every key of the iterable "
     "`keys`, `default` for an absent one: the lookups as get_many_raw() makes them, a few hundred "
     "at a time, each followed by the decoding of its records in place."},
    {"exists_many", FastcallMethod<ExistsMany>(), METH_FASTCALL | METH_KEYWORDS,
     "exists_many($self, keys)\n--\n\nWhether each key of the iterable `keys` is present."},
    {"scan", FastcallMethod<Scan>(), METH_FASTCALL | METH_KEYWORDS,
     "scan($self, what, start=None, stop=None, chunk=4096, *, decode=None)\n--\n\nAn iterator of "
     "lists of keys, payloads or (key, payload) pairs (`what` is 'keys', 'values' or 'items'), "
     "in key order from `start` (inclusive) to `stop` (exclusive), at most `chunk` per list. "
     "Keys are str when their bytes are UTF-8, else bytes. With `decode`, a payload is "
     "`decode(view)` of the record in place, as get() gives it, and the scan ends at the first "
     "that fails. It reads the file open when it was made."},
    {"scan_prefix", FastcallMethod<ScanPrefix>(), METH_FASTCALL | METH_KEYWORDS,
     "scan_prefix($self, what, prefix, chunk=4096, *, decode=None)\n--\n\nAs scan(), over the "
     "keys whose bytes start with `prefix`."},
    {"objects_raw", ObjectsRaw, METH_NOARGS,
     "objects_raw($self, /)\n--\n\nEvery stored object that some key names, once each."},
    {"stats", Stats, METH_NOARGS, "stats($self, /)\n--\n\nFile metadata as a dict."},
    {"verify", Verify, METH_NOARGS,
     "verify($self, /)\n--\n\nChecks the whole-file CRC-32 and every named object's CRC-32, "
     "without the interpreter lock. Returns True."},
    {"verify_strict", VerifyStrictly, METH_NOARGS,
     "verify_strict($self, /)\n--\n\nverify(), then every record whether named or not, the "
     "header fields against the sections they describe, the key order and that every location "
     "starts a record, without the interpreter lock. Returns True."},
    {"refresh", Refresh, METH_NOARGS,
     "refresh($self, /)\n--\n\nReopens the path if another file has been renamed over it since "
     "it was opened; returns whether it switched. Scans already made finish on the old file."},
    {"close", Close, METH_NOARGS,
     "close($self, /)\n--\n\nLets go of the file; scans already made finish on it."},
    {"__enter__", Enter, METH_NOARGS, "__enter__($self, /)\n--\n\n"},
    {"__exit__", FastcallMethod<Exit>(), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, exc_type, exc_val, exc_tb)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kReaderGetSet[] = {
    {"closed", GetClosed, nullptr, "Whether close() has been called.", nullptr},
    {"path", GetPath, nullptr, "The path as opened.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kReaderSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ReaderNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ReaderObject::Dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(ReaderRepr)},
    {Py_mp_length, reinterpret_cast<void*>(ReaderLength)},
    {Py_tp_methods, kReaderMethods},
    {Py_tp_getset, kReaderGetSet},
    {Py_tp_doc,
     const_cast<char*>("Reader(path, verify=True)\n--\n\n"
                       "A read-only .qrdb file: stored bytes by key, lossless key listings in "
                       "chunks, batched lookups. Opening, verify, batches and long chunks run "
                       "without the interpreter lock. Share one instance across threads freely.")},
    {0, nullptr},
};

PyType_Spec ReaderClass::kSpec = {
    "quordb._native.Reader", sizeof(ReaderObject), 0, Py_TPFLAGS_DEFAULT, kReaderSlots,
};

}  // namespace

bool IsReader(PyObject* object) {
  PyTypeObject* type = ReaderObject::Type();
  if (type == nullptr) {
    PyErr_Clear();
    return false;
  }
  return PyObject_TypeCheck(object, type);
}

SharedReader ReaderEngine(PyObject* reader) noexcept { return StateOf(reader).engine; }

PyObject* RaiseReaderClosed() {
  PyErr_SetString(PyExc_ValueError, kClosedMessage);
  return nullptr;
}

int AddReaderTypes(PyObject* module) {
  PyTypeObject* type = ReaderObject::Type();
  if (type == nullptr) return -1;
  return PyModule_AddObjectRef(module, "Reader", reinterpret_cast<PyObject*>(type));
}

}  // namespace quordb::native

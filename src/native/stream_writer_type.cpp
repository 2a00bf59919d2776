// quordb._native.StreamWriter: the streaming build behind quordb.QuorWriter
// when the target is known up front. Adds hold the interpreter lock (they are
// short) but write a full buffer out without it; finish releases it for the
// sort, the index, the sync and the rename, taking it back every few MiB to
// check for signals, so that Ctrl-C cancels the build before the rename.
//
// Also the module functions check_payload (whether encoded msgpack reads back)
// and temp_path_for (a target's temporary file).
#include <boost/container/small_vector.hpp>
#include <memory>
#include <string>

#include "core/stream_writer.h"
#include "glue/arguments.h"
#include "glue/instance.h"
#include "glue/py_ref.h"
#include "glue/store_error.h"
#include "native/msgpack_keys.h"
#include "native/types.h"

namespace quordb::native {
namespace {

using glue::AccessKind;
using glue::CatchBoundary;
using glue::FastcallMethod;
using glue::PyRef;
using glue::Signature;

PyTypeObject* StreamWriterType();

struct StreamWriterClass {
  using State = StreamWriter;
  static PyTypeObject* Type() { return StreamWriterType(); }
  static constexpr const char* kName = "StreamWriter";
};
using StreamWriterInstance = glue::Instance<StreamWriterClass>;

// The keys of one add, as views: on the stack for the usual few, so that an
// add allocates nothing for them.
using KeyViews = boost::container::small_vector<Bytes, 8>;

// Refuses `payload` with TypeError unless it is msgpack whose map keys all
// decode to hashable values.
bool CheckPayload(std::string_view payload) {
  switch (CheckMapKeys(payload)) {
    case MsgpackKeys::kReadable:
      return true;
    case MsgpackKeys::kUnhashableKey:
      PyErr_SetString(PyExc_TypeError,
                      "cannot store an object with a map key that is a tuple, a list or a map: "
                      "msgpack stores it as an array or a map, which reads back as a list or a "
                      "dict and cannot be a dict key");
      return false;
    case MsgpackKeys::kMalformed:
      break;
  }
  PyErr_SetString(PyExc_ValueError, "payload is not one well-formed msgpack value");
  return false;
}

// One key of add(): str (its UTF-8), bytes, bytearray or a contiguous memoryview. The view lives as
// long as the key object does, unchanged.
bool ConvertAddKey(PyObject* key, std::string_view* out) {
  if (PyUnicode_Check(key)) {
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &length);
    if (utf8 == nullptr) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError,
                   "key %R cannot be stored: it holds a lone surrogate, which has no UTF-8 form",
                   key);
      return false;
    }
    *out = {utf8, static_cast<size_t>(length)};
  } else if (PyBytes_Check(key)) {
    *out = {PyBytes_AS_STRING(key), static_cast<size_t>(PyBytes_GET_SIZE(key))};
  } else if (PyByteArray_Check(key)) {
    *out = {PyByteArray_AS_STRING(key), static_cast<size_t>(PyByteArray_GET_SIZE(key))};
  } else if (PyMemoryView_Check(key) &&
             PyBuffer_IsContiguous(PyMemoryView_GET_BUFFER(key), 'C')) {
    const Py_buffer* view = PyMemoryView_GET_BUFFER(key);
    *out = {static_cast<const char*>(view->buf), static_cast<size_t>(view->len)};
  } else {
    PyRef name = PyRef::Steal(PyType_GetName(Py_TYPE(key)));
    if (!name) return false;
    PyErr_Format(PyExc_TypeError, "each key must be str or bytes, not '%U'", name.get());
    return false;
  }
  return true;
}

// Whether `object` may be iterated; if not, TypeError "{what}, not '{type}'".
bool CheckIterable(PyObject* object, const char* what) {
  if (Py_TYPE(object)->tp_iter != nullptr || PySequence_Check(object)) return true;
  PyRef name = PyRef::Steal(PyType_GetName(Py_TYPE(object)));
  if (name) PyErr_Format(PyExc_TypeError, "%s, not '%U'", what, name.get());
  return false;
}

// `keys` as add() walks them: one key, or a list or tuple of keys, as they
// are; any other iterable as a new list. Null, with TypeError, for anything
// else.
PyRef ListedKeys(PyObject* keys) {
  if (PyUnicode_Check(keys) || PyBytes_Check(keys) || PyByteArray_Check(keys) ||
      PyMemoryView_Check(keys) || PyList_CheckExact(keys) || PyTuple_CheckExact(keys))
    return PyRef::Borrow(keys);
  if (!CheckIterable(keys, "keys must be a str or bytes key or an iterable of them")) return {};
  return PyRef::Steal(PySequence_List(keys));
}

// The checks of an add, made before anything is stored: `payload` reads back,
// and `keys` (one key, or a non-empty list or tuple of keys, as ListedKeys
// gives them) are each a key ConvertAddKey takes, of a length the format can
// hold.
bool ConvertAdd(std::string_view payload, PyObject* keys, KeyViews* out) {
  out->clear();
  auto convert = [out](PyObject* key) {
    std::string_view bytes;
    if (!ConvertAddKey(key, &bytes)) return false;
    if (Status fits = CheckKeyLength(AsBytes(bytes)); !fits.ok()) {
      glue::SetStoreError(fits.error());
      return false;
    }
    out->push_back(AsBytes(bytes));
    return true;
  };
  if (PyList_CheckExact(keys) || PyTuple_CheckExact(keys)) {
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(keys);
    if (count == 0) {
      PyErr_SetString(PyExc_ValueError, "add() needs at least one key for the object");
      return false;
    }
    out->reserve(static_cast<size_t>(count));
    PyObject** items = PySequence_Fast_ITEMS(keys);
    for (Py_ssize_t i = 0; i < count; ++i)
      if (!convert(items[i])) return false;
  } else if (!convert(keys)) {
    return false;
  }
  return CheckPayload(payload);
}

PyObject* StreamWriterNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return CatchBoundary(
      [&]() -> PyObject* {
        static constexpr const char* kNames[] = {"path"};
        static const Signature signature{"StreamWriter.__new__()", kNames, 1};
        PyObject* matched[1];
        if (!MatchArguments(signature, args, kwargs, matched)) return nullptr;
        std::string_view path;
        if (!glue::ConvertPath(matched[0], &path)) return nullptr;
        Result<std::unique_ptr<StreamWriter>> created = StreamWriter::Create(path);
        if (!created.ok()) return glue::SetStoreError(created.error());
        return StreamWriterInstance::New(type, std::move(created).value());
      },
      nullptr);
}

PyObject* StreamWriterRepr(PyObject* self) {
  return StreamWriterInstance::CallNoArgs(AccessKind::kShared, self, [](StreamWriter& writer) {
    const char* state = writer.finished() ? "finished" : writer.failed() ? "aborted" : "open";
    // The target came from a str as UTF-8, so it decodes back.
    PyRef path = PyRef::Steal(PyUnicode_DecodeUTF8(
        writer.target().data(), static_cast<Py_ssize_t>(writer.target().size()), nullptr));
    if (!path) return static_cast<PyObject*>(nullptr);
    return PyUnicode_FromFormat("StreamWriter(path=%R, objects=%llu, keys=%llu, %s)", path.get(),
                                static_cast<unsigned long long>(writer.object_count()),
                                static_cast<unsigned long long>(writer.key_count()), state);
  });
}

// How a full buffer goes out: written before the call returns, or handed
// over to be written while the call goes on (the call settles it before it
// returns, so that no write is under way when Python code may fork).
enum class Flush { kNow, kHandOver };

// Runs `step` of `writer` without the interpreter lock; false, with the
// error set, when it fails.
template <typename Step>
bool Unlocked(StreamWriter& writer, Step step) {
  Status done = OkStatus();
  Py_BEGIN_ALLOW_THREADS;
  done = step(writer);
  Py_END_ALLOW_THREADS;
  if (done.ok()) return true;
  glue::SetStoreError(done.error());
  return false;
}

// Writes the buffer out when the next record would not fit into it.
bool MakeRoomFor(StreamWriter& writer, size_t payload_size, Flush flush) {
  if (!writer.NeedsRoomFor(payload_size)) return true;
  return Unlocked(writer, [flush](StreamWriter& w) {
    return flush == Flush::kNow ? w.MakeRoom() : w.HandOverBuffer();
  });
}

constexpr const char* kAddNames[] = {"raw_bytes", "keys"};
constexpr const char* kRawBytesName[] = {"raw_bytes"};
constexpr const char* kAddKeyNames[] = {"key", "obj_id"};
constexpr const char* kFinishNames[] = {"print_summary"};

// Adds one object, already encoded, under `keys` (anything ListedKeys takes),
// all or nothing.
bool AddPair(StreamWriter& writer, PyObject* raw_bytes, PyObject* keys, Flush flush,
             KeyViews* key_bytes, uint64_t* id) {
  std::string_view payload;
  if (!glue::ConvertRawBytes(raw_bytes, &payload)) return false;
  const PyRef listed = ListedKeys(keys);
  if (!listed || !ConvertAdd(payload, listed.get(), key_bytes) ||
      !MakeRoomFor(writer, payload.size(), flush))
    return false;
  Result<uint64_t> added = writer.Add(AsBytes(payload), *key_bytes);
  if (!added.ok()) {
    glue::SetStoreError(added.error());
    return false;
  }
  *id = added.value();
  return true;
}

PyObject* Add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"StreamWriter.add()", kAddNames, 2};
  return StreamWriterInstance::Call(
      signature, AccessKind::kExclusive, self, args, nargs, kwnames,
      [](StreamWriter& writer, PyObject** matched) -> PyObject* {
        KeyViews key_bytes;
        uint64_t id = 0;
        if (!AddPair(writer, matched[0], matched[1], Flush::kNow, &key_bytes, &id))
          return nullptr;
        return PyLong_FromUnsignedLongLong(id);
      });
}

constexpr const char* kAddManyNames[] = {"items", "encode"};
// Items added between checks for signals, when the items are no generator
// that would check them itself.
constexpr uint64_t kSignalCheckEvery = 4096;

// One (object, keys) item of add_many: a tuple of two, or any iterable of
// two, refused as unpacking it in Python would be.
bool UnpackPair(PyObject* item, PyRef* pair) {
  if (!CheckIterable(item, "each item must be an (object, keys) pair")) return false;
  *pair = PyTuple_CheckExact(item) ? PyRef::Borrow(item) : PyRef::Steal(PySequence_Tuple(item));
  if (!*pair) return false;
  if (PyTuple_GET_SIZE(pair->get()) == 2) return true;
  PyErr_Format(PyExc_ValueError, "each item must be an (object, keys) pair, not %zd values",
               PyTuple_GET_SIZE(pair->get()));
  return false;
}

PyObject* AddMany(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"StreamWriter.add_many()", kAddManyNames, 1};
  return StreamWriterInstance::Call(
      signature, AccessKind::kExclusive, self, args, nargs, kwnames,
      [](StreamWriter& writer, PyObject** matched) -> PyObject* {
        PyObject* encode = matched[1] == Py_None ? nullptr : matched[1];
        const PyRef iterator = PyRef::Steal(PyObject_GetIter(matched[0]));
        if (!iterator) return nullptr;
        KeyViews key_bytes;
        uint64_t added = 0;
        const auto add_all = [&] {
          while (PyRef item = PyRef::Steal(PyIter_Next(iterator.get()))) {
            PyRef pair;
            if (!UnpackPair(item.get(), &pair)) return false;
            PyObject* obj = PyTuple_GET_ITEM(pair.get(), 0);
            const PyRef encoded = encode == nullptr
                                      ? PyRef::Borrow(obj)
                                      : PyRef::Steal(PyObject_CallOneArg(encode, obj));
            uint64_t id = 0;
            if (!encoded || !AddPair(writer, encoded.get(), PyTuple_GET_ITEM(pair.get(), 1),
                                     Flush::kHandOver, &key_bytes, &id))
              return false;
            if (++added % kSignalCheckEvery == 0 && PyErr_CheckSignals() < 0) return false;
          }
          return !PyErr_Occurred();
        };
        const bool all_added = add_all();
        // A failed write handed over fails the build, after the pairs before it.
        if (!Unlocked(writer, [](StreamWriter& w) { return w.Settle(); }) || !all_added)
          return static_cast<PyObject*>(nullptr);
        return PyLong_FromUnsignedLongLong(added);
      });
}

PyObject* AddObjectRaw(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  static const Signature signature{"StreamWriter.add_object_raw()", kRawBytesName, 1};
  return StreamWriterInstance::Call(
      signature, AccessKind::kExclusive, self, args, nargs, kwnames,
      [](StreamWriter& writer, PyObject** matched) -> PyObject* {
        std::string_view payload;
        if (!glue::ConvertRawBytes(matched[0], &payload)) return nullptr;
        if (!MakeRoomFor(writer, payload.size(), Flush::kNow)) return nullptr;
        Result<uint64_t> id = writer.AddObject(AsBytes(payload));
        if (!id.ok()) return glue::SetStoreError(id.error());
        return PyLong_FromUnsignedLongLong(id.value());
      });
}

PyObject* AddKey(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"StreamWriter.add_key()", kAddKeyNames, 2};
  return StreamWriterInstance::Call(
      signature, AccessKind::kExclusive, self, args, nargs, kwnames,
      [](StreamWriter& writer, PyObject** matched) -> PyObject* {
        uint64_t obj_id = 0;
        if (!glue::ConvertObjectId(matched[1], &obj_id)) return nullptr;
        std::string_view key;
        if (!ConvertAddKey(matched[0], &key)) return nullptr;
        const Status added = writer.AddKey(AsBytes(key), obj_id);
        if (!added.ok()) return glue::SetStoreError(added.error());
        Py_RETURN_NONE;
      });
}

PyObject* Finish(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"StreamWriter.finish()", kFinishNames, 0};
  return StreamWriterInstance::Call(
      signature, AccessKind::kExclusive, self, args, nargs, kwnames,
      [](StreamWriter& writer, PyObject** matched) -> PyObject* {
        const int print_summary = matched[0] == nullptr ? 0 : PyObject_IsTrue(matched[0]);
        if (print_summary < 0) return nullptr;
        // The lock is taken back only to check for signals; a handler that
        // raises (Ctrl-C) cancels the build, with its exception set.
        PyThreadState* released = PyEval_SaveThread();
        const KeepGoing keep_going = [&released] {
          PyEval_RestoreThread(released);
          const bool go_on = PyErr_CheckSignals() == 0;
          released = PyEval_SaveThread();
          return go_on;
        };
        Result<BuildReport> report = [&] {
          try {
            return writer.Finish(print_summary != 0, &keep_going);
          } catch (...) {
            PyEval_RestoreThread(released);
            throw;
          }
        }();
        PyEval_RestoreThread(released);
        if (!report.ok()) {
          if (writer.cancelled() && PyErr_Occurred()) return nullptr;
          return glue::SetStoreError(report.error());
        }
        if (!report.value().print_error.empty())
          return glue::SetPrintError("stdout", report.value().print_error);
        Py_RETURN_NONE;
      });
}

PyObject* Abort(PyObject* self, PyObject*) {
  return StreamWriterInstance::CallNoArgs(AccessKind::kExclusive, self,
                                          [](StreamWriter& writer) -> PyObject* {
                                            writer.Abort();
                                            Py_RETURN_NONE;
                                          });
}

template <typename Value>
PyObject* Getter(PyObject* self, Value value) {
  return StreamWriterInstance::CallNoArgs(AccessKind::kShared, self, value);
}

PyGetSetDef kGetSet[] = {
    {"object_count",
     [](PyObject* self, void*) {
       return Getter(self, [](StreamWriter& w) {
         return PyLong_FromUnsignedLongLong(w.object_count());
       });
     },
     nullptr, "Objects added so far.", nullptr},
    {"key_count",
     [](PyObject* self, void*) {
       return Getter(self,
                     [](StreamWriter& w) { return PyLong_FromUnsignedLongLong(w.key_count()); });
     },
     nullptr,
     "Keys added so far, a key added again counting again until finish(), which leaves the\n"
     "number of distinct keys written.",
     nullptr},
    {"finished",
     [](PyObject* self, void*) {
       return Getter(self, [](StreamWriter& w) { return PyBool_FromLong(w.finished()); });
     },
     nullptr, "True once the file is in place.", nullptr},
    {"aborted",
     [](PyObject* self, void*) {
       return Getter(self, [](StreamWriter& w) { return PyBool_FromLong(w.failed()); });
     },
     nullptr, "True once the build failed, was cancelled or aborted.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"add", FastcallMethod<Add>(), METH_FASTCALL | METH_KEYWORDS,
     "add($self, raw_bytes, keys)\n--\n\n"
     "Store msgpack *raw_bytes* under *keys* (a key, or an iterable of keys) and return\n"
     "the object ID. Checks every key and that the payload reads back before storing\n"
     "anything: a failure changes nothing."},
    {"add_many", FastcallMethod<AddMany>(), METH_FASTCALL | METH_KEYWORDS,
     "add_many($self, items, encode=None)\n--\n\n"
     "add() for each (raw_bytes, keys) pair of the iterable *items*, in order, or with\n"
     "*encode*, for each (object, keys) pair, storing encode(object). Returns how many were\n"
     "added. A failing item raises, with the items before it stored and the rest not."},
    {"add_object_raw", FastcallMethod<AddObjectRaw>(), METH_FASTCALL | METH_KEYWORDS,
     "add_object_raw($self, raw_bytes)\n--\n\nStore *raw_bytes* as they are; return the ID."},
    {"add_key", FastcallMethod<AddKey>(), METH_FASTCALL | METH_KEYWORDS,
     "add_key($self, key, obj_id)\n--\n\nMap *key* (str or bytes) to *obj_id*."},
    {"finish", FastcallMethod<Finish>(), METH_FASTCALL | METH_KEYWORDS,
     "finish($self, print_summary=False)\n--\n\n"
     "Write the index and the header, sync and rename the file over the target. A signal\n"
     "handler that raises (Ctrl-C) cancels the build before the rename."},
    {"abort", Abort, METH_NOARGS,
     "abort($self)\n--\n\nRemove the temporary file unless the build finished."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(StreamWriterNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(StreamWriterInstance::Dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(StreamWriterRepr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(
                    "StreamWriter(path)\n--\n\n"
                    "A build of *path* that writes each record to the temporary file as it\n"
                    "is added and keeps only keys and locations in memory. Dropping it\n"
                    "before finish() removes the temporary file.")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "quordb._native.StreamWriter", sizeof(StreamWriterInstance), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

PyTypeObject* StreamWriterType() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec));
  return type;
}

PyObject* CheckPayloadFunction(PyObject*, PyObject* raw_bytes) {
  return CatchBoundary(
      [&]() -> PyObject* {
        std::string_view payload;
        if (!glue::ConvertRawBytes(raw_bytes, &payload) || !CheckPayload(payload))
          return nullptr;
        Py_RETURN_NONE;
      },
      nullptr);
}

constexpr const char* kCheckAddNames[] = {"raw_bytes", "keys"};

PyObject* CheckAddFunction(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return CatchBoundary(
      [&]() -> PyObject* {
        static const Signature signature{"check_add()", kCheckAddNames, 2};
        PyObject* matched[2];
        if (!MatchArguments(signature, args, nargs, kwnames, matched)) return nullptr;
        std::string_view payload;
        if (!glue::ConvertRawBytes(matched[0], &payload)) return nullptr;
        PyRef listed = ListedKeys(matched[1]);
        KeyViews keys;
        if (!listed || !ConvertAdd(payload, listed.get(), &keys)) return nullptr;
        return listed.release();
      },
      nullptr);
}

PyObject* TempPathForFunction(PyObject*, PyObject* path) {
  return CatchBoundary(
      [&]() -> PyObject* {
        std::string_view target;
        if (!glue::ConvertPath(path, &target)) return nullptr;
        const std::string temp = TempPathFor(target);
        return PyUnicode_DecodeUTF8(temp.data(), static_cast<Py_ssize_t>(temp.size()), nullptr);
      },
      nullptr);
}

PyMethodDef kFunctions[] = {
    {"check_payload", CheckPayloadFunction, METH_O,
     "check_payload(raw_bytes, /)\n--\n\n"
     "Raise TypeError when msgpack *raw_bytes* would not read back (a map key that is an\n"
     "array or a map), ValueError when they are no msgpack value."},
    {"check_add", FastcallMethod<CheckAddFunction>(), METH_FASTCALL | METH_KEYWORDS,
     "check_add(raw_bytes, keys)\n--\n\n"
     "Raise what StreamWriter.add would raise for these arguments before storing anything,\n"
     "for writers that add in several steps. Returns the keys as checked: the one key, a\n"
     "list or tuple as given, or any other iterable's keys as a new list."},
    {"temp_path_for", TempPathForFunction, METH_O,
     "temp_path_for(path, /)\n--\n\nThe temporary file a build of *path* writes."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int AddStreamWriterTypes(PyObject* module) {
  PyTypeObject* type = StreamWriterType();
  if (type == nullptr) return -1;
  if (PyModule_AddFunctions(module, kFunctions) < 0) return -1;
  return PyModule_AddObjectRef(module, "StreamWriter", reinterpret_cast<PyObject*>(type));
}

}  // namespace quordb::native

// quordb._native.StreamWriter: the streaming build behind quordb.QuorWriter
// when the target is known up front. Adds hold the interpreter lock (they are
// short) but write a full buffer out without it; finish releases it for the
// sort, the index, the sync and the rename, taking it back every few MiB to
// check for signals, so that Ctrl-C cancels the build before the rename.
#include <memory>
#include <string>

#include "core/stream_writer.h"
#include "glue/arguments.h"
#include "glue/entry_point.h"
#include "glue/instance.h"
#include "glue/lock_released.h"
#include "glue/py_ref.h"
#include "glue/store_error.h"
#include "native/add_checks.h"
#include "native/error_classes.h"
#include "native/types.h"
#include "native/write_target.h"

namespace quordb::native {
namespace {

using glue::AccessKind;
using glue::CallConstructor;
using glue::FastcallMethod;
using glue::LockReleased;
using glue::LockRetaken;
using glue::PyRef;
using glue::Signature;

struct StreamWriterClass {
  using Engine = StreamWriter;
  static constexpr const char* kName = "StreamWriter";
  static PyType_Spec kSpec;
};
using StreamWriterInstance = glue::Instance<StreamWriterClass>;

constexpr const char* kPathName[] = {"path"};

PyObject* StreamWriterNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature signature{"StreamWriter.__new__()", kPathName, 1};
  return CallConstructor(signature, args, kwargs, [&](PyObject** matched) -> PyObject* {
    std::string_view path;
    if (!glue::ConvertPath(matched[0], &path)) return nullptr;
    Result<std::unique_ptr<StreamWriter>> created = CreateStreamWriter(path);
    if (!created.ok()) return SetStoreError(created.error());
    return StreamWriterInstance::New(type, std::move(created).value());
  });
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
  {
    // A throw inside (HandOverBuffer may run out of memory) retakes the lock
    // before it reaches the catch boundary.
    LockReleased released(true);
    done = step(writer);
  }
  if (done.ok()) return true;
  SetStoreError(done.error());
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
  if (!listed || !CheckAdd(payload, listed.get(), key_bytes) ||
      !MakeRoomFor(writer, payload.size(), flush))
    return false;
  Result<uint64_t> added = writer.Add(AsBytes(payload), *key_bytes);
  if (!added.ok()) {
    SetStoreError(added.error());
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
        if (!AddPair(writer, matched[0], matched[1], Flush::kNow, &key_bytes, &id)) return nullptr;
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

// One item of add_many, encoded with `encode` (unless null) and added.
bool AddItem(StreamWriter& writer, PyObject* item, PyObject* encode, KeyViews* key_bytes) {
  PyRef pair;
  if (!UnpackPair(item, &pair)) return false;
  PyObject* obj = PyTuple_GET_ITEM(pair.get(), 0);
  const PyRef encoded =
      encode == nullptr ? PyRef::Borrow(obj) : PyRef::Steal(PyObject_CallOneArg(encode, obj));
  uint64_t id = 0;
  return encoded && AddPair(writer, encoded.get(), PyTuple_GET_ITEM(pair.get(), 1),
                            Flush::kHandOver, key_bytes, &id);
}

// Gives the exception being raised the attribute pair_index = `position`,
// where its object takes attributes; it is raised unchanged otherwise.
void SetPairIndex(uint64_t position) {
  PyObject* raised = PyErr_GetRaisedException();
  const PyRef index = PyRef::Steal(PyLong_FromUnsignedLongLong(position));
  if (!index || PyObject_SetAttrString(raised, "pair_index", index.get()) < 0) PyErr_Clear();
  PyErr_SetRaisedException(raised);
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
        // Also the position of the pair being added.
        uint64_t added = 0;
        const auto add_all = [&] {
          while (PyRef item = PyRef::Steal(PyIter_Next(iterator.get()))) {
            if (!AddItem(writer, item.get(), encode, &key_bytes)) {
              SetPairIndex(added);
              return false;
            }
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

PyObject* AddObjectRaw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"StreamWriter.add_object_raw()", kRawBytesName, 1};
  return StreamWriterInstance::Call(signature, AccessKind::kExclusive, self, args, nargs, kwnames,
                                    [](StreamWriter& writer, PyObject** matched) -> PyObject* {
                                      std::string_view payload;
                                      if (!glue::ConvertRawBytes(matched[0], &payload))
                                        return nullptr;
                                      if (!MakeRoomFor(writer, payload.size(), Flush::kNow))
                                        return nullptr;
                                      Result<uint64_t> id = writer.AddObject(AsBytes(payload));
                                      if (!id.ok()) return SetStoreError(id.error());
                                      return PyLong_FromUnsignedLongLong(id.value());
                                    });
}

PyObject* AddKey(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"StreamWriter.add_key()", kAddKeyNames, 2};
  return StreamWriterInstance::Call(signature, AccessKind::kExclusive, self, args, nargs, kwnames,
                                    [](StreamWriter& writer, PyObject** matched) -> PyObject* {
                                      uint64_t obj_id = 0;
                                      if (!glue::ConvertObjectId(matched[1], &obj_id))
                                        return nullptr;
                                      std::string_view key;
                                      if (!ConvertAddKey(matched[0], &key)) return nullptr;
                                      const Status added = writer.AddKey(AsBytes(key), obj_id);
                                      if (!added.ok()) return SetStoreError(added.error());
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
        Result<BuildReport> report = [&] {
          LockReleased released(true);
          // The lock is taken back only to check for signals; a handler that
          // raises (Ctrl-C) cancels the build, with its exception set.
          const KeepGoing keep_going = [&released] {
            const LockRetaken retaken(released);
            return PyErr_CheckSignals() == 0;
          };
          return writer.Finish(print_summary != 0, &keep_going);
        }();
        if (!report.ok()) {
          if (writer.cancelled() && PyErr_Occurred()) return nullptr;
          return SetStoreError(report.error());
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
       return Getter(self,
                     [](StreamWriter& w) { return PyLong_FromUnsignedLongLong(w.object_count()); });
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
     "added. A failing item raises, with the items before it stored and the rest not; the\n"
     "exception's pair_index is the failing item's position (from 0) in *items*."},
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
    {Py_tp_dealloc, reinterpret_cast<void*>(StreamWriterInstance::Object::Dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(StreamWriterRepr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc,
     const_cast<char*>("StreamWriter(path)\n--\n\n"
                       "A build of *path* that writes each record to the temporary file as it\n"
                       "is added and keeps only keys and locations in memory. Dropping it\n"
                       "before finish() removes the temporary file.")},
    {0, nullptr},
};

PyType_Spec StreamWriterClass::kSpec = {
    "quordb._native.StreamWriter",
    sizeof(StreamWriterInstance::Object),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

int AddStreamWriterTypes(PyObject* module) {
  PyTypeObject* type = StreamWriterInstance::Type();
  if (type == nullptr) return -1;
  return PyModule_AddObjectRef(module, "StreamWriter", reinterpret_cast<PyObject*>(type));
}

}  // namespace quordb::native

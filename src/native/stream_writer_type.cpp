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
#include "native/writer_adds.h"

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
  static bool MakeRoomFor(StreamWriter& writer, size_t payload_size, Flush flush);
  static bool Settle(StreamWriter& writer);
};
using StreamWriterInstance = glue::Instance<StreamWriterClass>;
using Adds = WriterAdds<StreamWriterClass>;

constexpr const char* kNewNames[] = {"path", "on_duplicate"};

PyObject* StreamWriterNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature signature{"StreamWriter.__new__()", kNewNames, 1};
  return CallConstructor(signature, args, kwargs, [&](PyObject** matched) -> PyObject* {
    std::string_view path;
    if (!glue::ConvertPath(matched[0], &path)) return nullptr;
    OnDuplicate on_duplicate;
    if (!glue::ConvertOnDuplicate(matched[1], &on_duplicate)) return nullptr;
    Result<std::unique_ptr<StreamWriter>> created = CreateStreamWriter(path, on_duplicate);
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
bool StreamWriterClass::MakeRoomFor(StreamWriter& writer, size_t payload_size, Flush flush) {
  if (!writer.NeedsRoomFor(payload_size)) return true;
  return Unlocked(writer, [flush](StreamWriter& w) {
    return flush == Flush::kNow ? w.MakeRoom() : w.HandOverBuffer();
  });
}

bool StreamWriterClass::Settle(StreamWriter& writer) {
  return Unlocked(writer, [](StreamWriter& w) { return w.Settle(); });
}

constexpr const char* kFinishNames[] = {"print_summary", "table"};

PyObject* Finish(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"StreamWriter.finish()", kFinishNames, 0};
  return StreamWriterInstance::Call(
      signature, AccessKind::kExclusive, self, args, nargs, kwnames,
      [](StreamWriter& writer, PyObject** matched) -> PyObject* {
        const int print_summary = matched[0] == nullptr ? 0 : PyObject_IsTrue(matched[0]);
        if (print_summary < 0) return nullptr;
        const int with_table = matched[1] == nullptr ? 1 : PyObject_IsTrue(matched[1]);
        if (with_table < 0) return nullptr;
        Result<BuildReport> report = [&] {
          LockReleased released(true);
          // The lock is taken back only to check for signals; a handler that
          // raises (Ctrl-C) cancels the build, with its exception set.
          const KeepGoing keep_going = [&released] {
            const LockRetaken retaken(released);
            return PyErr_CheckSignals() == 0;
          };
          return writer.Finish(print_summary != 0, &keep_going, with_table != 0);
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
    {"object_count", Adds::Count<&StreamWriter::object_count>, nullptr, "Objects added so far.",
     nullptr},
    {"key_count", Adds::Count<&StreamWriter::key_count>, nullptr,
     "Keys added so far, a key added again counting again until finish() (except under\n"
     "on_duplicate=\"error\"), which leaves the number of distinct keys written.",
     nullptr},
    {"replaced_count", Adds::Count<&StreamWriter::replaced_count>, nullptr,
     "Keys that a later add for another object took over (under on_duplicate=\"first\",\n"
     "the claims dropped instead). Repeats are found when the keys are sorted, so the\n"
     "count is final only after finish(); under \"error\" it stays 0.",
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
    {"add", FastcallMethod<Adds::Add>(), METH_FASTCALL | METH_KEYWORDS, kAddDoc},
    {"add_many", FastcallMethod<Adds::AddMany>(), METH_FASTCALL | METH_KEYWORDS, kAddManyDoc},
    {"add_packed", FastcallMethod<Adds::AddPacked>(), METH_FASTCALL | METH_KEYWORDS, kAddPackedDoc},
    {"add_text_columns", FastcallMethod<Adds::AddTextColumns>(), METH_FASTCALL | METH_KEYWORDS,
     kAddTextColumnsDoc},
    {"add_object_raw", FastcallMethod<Adds::AddObjectRaw>(), METH_FASTCALL | METH_KEYWORDS,
     kAddObjectRawDoc},
    {"add_key", FastcallMethod<Adds::AddKey>(), METH_FASTCALL | METH_KEYWORDS, kAddKeyDoc},
    {"finish", FastcallMethod<Finish>(), METH_FASTCALL | METH_KEYWORDS,
     "finish($self, print_summary=False, table=True)\n--\n\n"
     "Write the index (with *table*, a lookup table after it) and the header, sync and\n"
     "rename the file over the target. A signal handler that raises (Ctrl-C) cancels the\n"
     "build before the rename."},
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
     const_cast<char*>("StreamWriter(path, on_duplicate='last')\n--\n\n"
                       "A build of *path* that writes each record to the temporary file as it\n"
                       "is added and keeps only keys and locations in memory. Dropping it\n"
                       "before finish() removes the temporary file. A key added again for\n"
                       "another object names the later one (\"last\"), keeps naming the\n"
                       "first (\"first\"), or is refused with DuplicateKeyError (\"error\",\n"
                       "which finds each key as it is added: some 20 bytes more per key).")},
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

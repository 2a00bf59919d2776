#include "module/writer_type.h"

#include <string>

#include "core/writer.h"
#include "module/arguments.h"
#include "module/borrow_flag.h"
#include "module/py_ref.h"
#include "module/store_error.h"

namespace quordb::module {
namespace {

struct WriterObject {
  PyObject_HEAD
  BorrowFlag borrow;
  Writer* writer;
};

constexpr const char* kClassName = "_QuorWriter";

WriterObject* AsWriter(PyObject* self) { return reinterpret_cast<WriterObject*>(self); }

// The receiver check of a method called on something else.
bool IsWriter(PyObject* self) {
  if (PyObject_TypeCheck(self, WriterType())) return true;
  SetNotInstanceError(self, kClassName);
  return false;
}

PyObject* WriterNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return CatchBoundary(
      [&]() -> PyObject* {
        static constexpr const char* kNames[] = {nullptr};
        static const Signature signature{"_QuorWriter.__new__()", {kNames, 0}, 0};
        if (!MatchArguments(signature, args, kwargs, nullptr)) return nullptr;
        auto writer = std::make_unique<Writer>();
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        new (&AsWriter(self)->borrow) BorrowFlag();
        AsWriter(self)->writer = writer.release();
        return self;
      },
      nullptr);
}

void WriterDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete AsWriter(self)->writer;
  AsWriter(self)->borrow.~BorrowFlag();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* WriterRepr(PyObject* self) {
  return CatchBoundary(
      [&]() -> PyObject* {
        const Access access = Access::Shared(AsWriter(self)->borrow);
        if (!access.ok()) return nullptr;
        const Writer& writer = *AsWriter(self)->writer;
        return PyUnicode_FromFormat("_QuorWriter(objects=%llu, keys=%llu)",
                                    static_cast<unsigned long long>(writer.object_count()),
                                    static_cast<unsigned long long>(writer.key_count()));
      },
      nullptr);
}

PyObject* AddObjectRaw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return CatchBoundary(
      [&]() -> PyObject* {
        static constexpr const char* kNames[] = {"raw_bytes"};
        static const Signature signature{"_QuorWriter.add_object_raw()", kNames, 1};
        PyObject* matched[1];
        if (!MatchArguments(signature, args, nargs, kwnames, matched)) return nullptr;
        if (!IsWriter(self)) return nullptr;
        const Access access = Access::Exclusive(AsWriter(self)->borrow);
        if (!access.ok()) return nullptr;
        std::string_view payload;
        if (!ConvertRawBytes(matched[0], &payload)) return nullptr;
        Result<uint64_t> id = AsWriter(self)->writer->AddObject(AsBytes(payload));
        if (!id.ok()) {
          SetStoreError(id.error());
          return nullptr;
        }
        return PyLong_FromUnsignedLongLong(id.value());
      },
      nullptr);
}

PyObject* AddKey(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return CatchBoundary(
      [&]() -> PyObject* {
        static constexpr const char* kNames[] = {"key", "obj_id"};
        static const Signature signature{"_QuorWriter.add_key()", kNames, 2};
        PyObject* matched[2];
        if (!MatchArguments(signature, args, nargs, kwnames, matched)) return nullptr;
        if (!IsWriter(self)) return nullptr;
        const Access access = Access::Exclusive(AsWriter(self)->borrow);
        if (!access.ok()) return nullptr;
        // The ID is converted before the key, so a call with both wrong reports the ID.
        uint64_t obj_id = 0;
        if (!ConvertObjectId(matched[1], &obj_id)) return nullptr;
        KeyBytes key;
        if (!ConvertKey(matched[0], &key)) return nullptr;
        const Status added = AsWriter(self)->writer->AddKey(AsBytes(key.view()), obj_id);
        if (!added.ok()) {
          SetStoreError(added.error());
          return nullptr;
        }
        Py_RETURN_NONE;
      },
      nullptr);
}

PyObject* Build(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return CatchBoundary(
      [&]() -> PyObject* {
        static constexpr const char* kNames[] = {"path"};
        static const Signature signature{"_QuorWriter.build()", kNames, 1};
        PyObject* matched[1];
        if (!MatchArguments(signature, args, nargs, kwnames, matched)) return nullptr;
        if (!IsWriter(self)) return nullptr;
        const Access access = Access::Shared(AsWriter(self)->borrow);
        if (!access.ok()) return nullptr;
        std::string_view path;
        if (!ConvertPath(matched[0], &path)) return nullptr;
        Result<BuildReport> report = AsWriter(self)->writer->Build(path);
        if (!report.ok()) {
          SetStoreError(report.error());
          return nullptr;
        }
        if (!report.value().print_error.empty()) {
          SetPrintError("stdout", report.value().print_error);
          return nullptr;
        }
        Py_RETURN_NONE;
      },
      nullptr);
}

PyMethodDef kWriterMethods[] = {
    {"add_object_raw", FastcallMethod<AddObjectRaw>(),
     METH_FASTCALL | METH_KEYWORDS,
     "add_object_raw($self, raw_bytes)\n--\n\n"
     "Store pre-encoded *raw_bytes* (msgpack). Returns the object ID."},
    {"add_key", FastcallMethod<AddKey>(),
     METH_FASTCALL | METH_KEYWORDS,
     "add_key($self, key, obj_id)\n--\n\nMap *key* (str or bytes) to *obj_id*."},
    {"build", FastcallMethod<Build>(),
     METH_FASTCALL | METH_KEYWORDS,
     "build($self, path)\n--\n\n"
     "Atomically write the `.qrdb` file: tmp \u2192 fsync \u2192 rename."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kWriterSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(WriterNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(WriterDealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(WriterRepr)},
    {Py_tp_methods, kWriterMethods},
    {Py_tp_doc, const_cast<char*>(
                    "_QuorWriter()\n--\n\n"
                    "Low-level writer \u2014 accepts pre-serialised msgpack bytes per object.\n"
                    "**Use `quordb.QuorWriter` (Python wrapper) instead of this directly.**")},
    {0, nullptr},
};

PyType_Spec kWriterSpec = {
    "builtins._QuorWriter",
    sizeof(WriterObject),
    0,
    Py_TPFLAGS_DEFAULT,
    kWriterSlots,
};

}  // namespace

PyTypeObject* WriterType() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kWriterSpec));
  return type;
}

}  // namespace quordb::module

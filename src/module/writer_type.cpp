#include "module/writer_type.h"

#include <string>

#include "core/writer.h"
#include "glue/arguments.h"
#include "glue/entry_point.h"
#include "glue/instance.h"
#include "glue/store_error.h"

namespace quordb::module {
namespace {

using glue::AccessKind;
using glue::BuiltinErrorClasses;
using glue::CallConstructor;
using glue::ConvertKey;
using glue::ConvertObjectId;
using glue::ConvertPath;
using glue::ConvertRawBytes;
using glue::FastcallMethod;
using glue::Instance;
using glue::KeyBytes;
using glue::SetPrintError;
using glue::SetStoreError;
using glue::Signature;

struct WriterClass {
  using Engine = Writer;
  static constexpr const char* kName = "_QuorWriter";
  static PyType_Spec kSpec;
};
using WriterInstance = Instance<WriterClass>;

PyObject* WriterNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature signature{"_QuorWriter.__new__()"};
  return CallConstructor(signature, args, kwargs, [&](PyObject**) {
    return WriterInstance::New(type, std::make_unique<Writer>());
  });
}

PyObject* WriterRepr(PyObject* self) {
  return WriterInstance::CallNoArgs(AccessKind::kShared, self, [](Writer& writer) {
    return PyUnicode_FromFormat("_QuorWriter(objects=%llu, keys=%llu)",
                                static_cast<unsigned long long>(writer.object_count()),
                                static_cast<unsigned long long>(writer.key_count()));
  });
}

constexpr const char* kRawBytesName[] = {"raw_bytes"};
constexpr const char* kAddKeyNames[] = {"key", "obj_id"};
constexpr const char* kPathName[] = {"path"};

PyObject* AddObjectRaw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"_QuorWriter.add_object_raw()", kRawBytesName, 1};
  return WriterInstance::Call(signature, AccessKind::kExclusive, self, args, nargs, kwnames,
                              [](Writer& writer, PyObject** matched) -> PyObject* {
                                std::string_view payload;
                                if (!ConvertRawBytes(matched[0], &payload)) return nullptr;
                                Result<uint64_t> id = writer.AddObject(AsBytes(payload));
                                if (!id.ok())
                                  return SetStoreError(id.error(), BuiltinErrorClasses());
                                return PyLong_FromUnsignedLongLong(id.value());
                              });
}

PyObject* AddKey(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"_QuorWriter.add_key()", kAddKeyNames, 2};
  return WriterInstance::Call(signature, AccessKind::kExclusive, self, args, nargs, kwnames,
                              [](Writer& writer, PyObject** matched) -> PyObject* {
                                // The ID is converted before the key, so a call with both wrong
                                // reports the ID.
                                uint64_t obj_id = 0;
                                if (!ConvertObjectId(matched[1], &obj_id)) return nullptr;
                                KeyBytes key;
                                if (!ConvertKey(matched[0], &key)) return nullptr;
                                const Status added = writer.AddKey(AsBytes(key.view()), obj_id);
                                if (!added.ok())
                                  return SetStoreError(added.error(), BuiltinErrorClasses());
                                Py_RETURN_NONE;
                              });
}

PyObject* Build(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"_QuorWriter.build()", kPathName, 1};
  return WriterInstance::Call(signature, AccessKind::kShared, self, args, nargs, kwnames,
                              [](Writer& writer, PyObject** matched) -> PyObject* {
                                std::string_view path;
                                if (!ConvertPath(matched[0], &path)) return nullptr;
                                Result<BuildReport> report = writer.Build(path);
                                if (!report.ok())
                                  return SetStoreError(report.error(), BuiltinErrorClasses());
                                if (!report.value().print_error.empty())
                                  return SetPrintError("stdout", report.value().print_error);
                                Py_RETURN_NONE;
                              });
}

PyMethodDef kWriterMethods[] = {
    {"add_object_raw", FastcallMethod<AddObjectRaw>(), METH_FASTCALL | METH_KEYWORDS,
     "add_object_raw($self, raw_bytes)\n--\n\n"
     "Store pre-encoded *raw_bytes* (msgpack). Returns the object ID."},
    {"add_key", FastcallMethod<AddKey>(), METH_FASTCALL | METH_KEYWORDS,
     "add_key($self, key, obj_id)\n--\n\nMap *key* (str or bytes) to *obj_id*."},
    {"build", FastcallMethod<Build>(), METH_FASTCALL | METH_KEYWORDS,
     "build($self, path)\n--\n\n"
     "Atomically write the `.qrdb` file: tmp \u2192 fsync \u2192 rename."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kWriterSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(WriterNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(WriterInstance::Object::Dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(WriterRepr)},
    {Py_tp_methods, kWriterMethods},
    {Py_tp_doc,
     const_cast<char*>("_QuorWriter()\n--\n\n"
                       "Low-level writer \u2014 accepts pre-serialised msgpack bytes per object.\n"
                       "**Use `quordb.QuorWriter` (Python wrapper) instead of this directly.**")},
    {0, nullptr},
};

PyType_Spec WriterClass::kSpec = {
    "builtins._QuorWriter", sizeof(WriterInstance::Object), 0, Py_TPFLAGS_DEFAULT, kWriterSlots,
};

}  // namespace

PyTypeObject* WriterType() { return WriterInstance::Type(); }

}  // namespace quordb::module

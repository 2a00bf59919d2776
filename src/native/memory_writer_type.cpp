// quordb._native.MemoryWriter: the in-memory build behind quordb.QuorWriter
// when no target is given up front. It holds every object until build(),
// which may be called again, to any path, with more adds between; the file
// and the summary line are those quordb._quordb._QuorWriter writes from the
// same adds. Adds take StreamWriter's arguments and follow its rules, and
// build releases the interpreter lock while it writes.
#include <memory>
#include <string_view>

#include "core/writer.h"
#include "glue/arguments.h"
#include "glue/entry_point.h"
#include "glue/instance.h"
#include "glue/lock_released.h"
#include "glue/store_error.h"
#include "native/error_classes.h"
#include "native/types.h"
#include "native/writer_adds.h"

namespace quordb::native {
namespace {

using glue::AccessKind;
using glue::CallConstructor;
using glue::FastcallMethod;
using glue::Signature;

struct MemoryWriterClass {
  using Engine = Writer;
  static constexpr const char* kName = "MemoryWriter";
  static PyType_Spec kSpec;
  // Records go to memory: there is never a buffer to write out.
  static bool MakeRoomFor(Writer&, size_t, Flush) noexcept { return true; }
  static bool Settle(Writer&) noexcept { return true; }
};
using MemoryWriterInstance = glue::Instance<MemoryWriterClass>;
using Adds = WriterAdds<MemoryWriterClass>;

constexpr const char* kNewNames[] = {"on_duplicate"};
constexpr const char* kBuildNames[] = {"path", "print_summary", "table"};

PyObject* MemoryWriterNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature signature{"MemoryWriter.__new__()", kNewNames, 0};
  return CallConstructor(signature, args, kwargs, [&](PyObject** matched) -> PyObject* {
    OnDuplicate on_duplicate;
    if (!glue::ConvertOnDuplicate(matched[0], &on_duplicate)) return nullptr;
    return MemoryWriterInstance::New(type, std::make_unique<Writer>(on_duplicate));
  });
}

PyObject* MemoryWriterRepr(PyObject* self) {
  return MemoryWriterInstance::CallNoArgs(AccessKind::kShared, self, [](Writer& writer) {
    return PyUnicode_FromFormat("MemoryWriter(objects=%llu, keys=%llu)",
                                static_cast<unsigned long long>(writer.object_count()),
                                static_cast<unsigned long long>(writer.key_count()));
  });
}

PyObject* Build(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"MemoryWriter.build()", kBuildNames, 1};
  return MemoryWriterInstance::Call(
      signature, AccessKind::kShared, self, args, nargs, kwnames,
      [](Writer& writer, PyObject** matched) -> PyObject* {
        std::string_view path;
        if (!glue::ConvertPath(matched[0], &path)) return nullptr;
        const int print_summary = matched[1] == nullptr ? 0 : PyObject_IsTrue(matched[1]);
        if (print_summary < 0) return nullptr;
        const int with_table = matched[2] == nullptr ? 1 : PyObject_IsTrue(matched[2]);
        if (with_table < 0) return nullptr;
        Result<BuildReport> report = [&] {
          // Shared access keeps adds out meanwhile; the path's view lives
          // with its argument.
          const glue::LockReleased released(true);
          return writer.Build(path, print_summary != 0, with_table != 0);
        }();
        if (!report.ok()) return SetStoreError(report.error());
        if (!report.value().print_error.empty())
          return glue::SetPrintError("stdout", report.value().print_error);
        Py_RETURN_NONE;
      });
}

PyGetSetDef kGetSet[] = {
    {"object_count", Adds::Count<&Writer::object_count>, nullptr, "Objects added so far.", nullptr},
    {"key_count", Adds::Count<&Writer::key_count>, nullptr, "Distinct keys added so far.", nullptr},
    {"replaced_count", Adds::Count<&Writer::replaced_count>, nullptr,
     "Keys that a later add for another object took over so far (under\n"
     "on_duplicate=\"first\", the claims dropped instead); under \"error\" it stays 0.",
     nullptr},
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
    {"build", FastcallMethod<Build>(), METH_FASTCALL | METH_KEYWORDS,
     "build($self, path, print_summary=False, table=True)\n--\n\n"
     "Write everything added so far to *path*: the temporary file, a sync, then the\n"
     "rename. The writer keeps its content, to be built again or added to. With *table*,\n"
     "a lookup table follows the index, so that readers open the file without reading it."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(MemoryWriterNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(MemoryWriterInstance::Object::Dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(MemoryWriterRepr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc,
     const_cast<char*>(
         "MemoryWriter(on_duplicate='last')\n--\n\n"
         "A build held in memory until build(path), which writes the bytes\n"
         "quordb._quordb._QuorWriter writes from the same adds (with table=False). A key added\n"
         "again for another object names the later one (\"last\"), keeps\n"
         "naming the first (\"first\"), or is refused with DuplicateKeyError\n"
         "(\"error\").")},
    {0, nullptr},
};

PyType_Spec MemoryWriterClass::kSpec = {
    "quordb._native.MemoryWriter",
    sizeof(MemoryWriterInstance::Object),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

int AddMemoryWriterTypes(PyObject* module) {
  PyTypeObject* type = MemoryWriterInstance::Type();
  if (type == nullptr) return -1;
  return PyModule_AddObjectRef(module, "MemoryWriter", reinterpret_cast<PyObject*>(type));
}

}  // namespace quordb::native

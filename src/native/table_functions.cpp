// quordb._native's functions for the lookup table a file carries:
// table_info(path), which reads the header and trailer only, and
// add_table(path), which writes the file again with a table. Both run
// without the interpreter lock and fail as opening the file would.
#include <optional>
#include <string>
#include <utility>

#include "core/table_file.h"
#include "glue/arguments.h"
#include "glue/entry_point.h"
#include "glue/lock_released.h"
#include "native/open_failure.h"
#include "native/types.h"

namespace quordb::native {
namespace {

using glue::CallFunction;
using glue::FastcallMethod;
using glue::LockReleased;
using glue::Signature;

constexpr const char* kPathName[] = {"path"};

// New reference: the trailer's facts as a dict.
PyObject* TrailerDict(const TableTrailer& trailer) {
  const TableGeometry geometry = *GeometryOf(trailer);
  return Py_BuildValue("{s:s,s:K,s:K,s:K,s:K,s:K,s:I}", "slots",
                       trailer.slot_kind == SlotKind::kNear ? "near" : "wide", "table_bytes",
                       static_cast<unsigned long long>(geometry.end - trailer.index_end),
                       "section_offset", static_cast<unsigned long long>(trailer.section_offset),
                       "groups", static_cast<unsigned long long>(trailer.groups), "index_end",
                       static_cast<unsigned long long>(trailer.index_end), "seed",
                       static_cast<unsigned long long>(trailer.seed), "sparse_every",
                       static_cast<unsigned>(1u << trailer.sparse_shift));
}

PyObject* TableInfo(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"table_info()", kPathName, 1};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    std::string_view path_view;
    if (!glue::ConvertPath(matched[0], &path_view)) return nullptr;
    const std::string path(path_view);
    std::optional<Result<std::optional<TableTrailer>>> read;
    std::optional<OpenFailure> failure;
    {
      LockReleased released(true);
      read.emplace(ReadTableTrailer(path));
      if (!read->ok()) failure.emplace(path, read->error());
    }
    if (failure) return failure->Raise();
    if (!read->value()) Py_RETURN_NONE;
    return TrailerDict(*read->value());
  });
}

PyObject* AddTableFunction(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"add_table()", kPathName, 1};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    std::string_view path_view;
    if (!glue::ConvertPath(matched[0], &path_view)) return nullptr;
    const std::string path(path_view);
    std::optional<Result<bool>> added;
    std::optional<OpenFailure> failure;
    {
      LockReleased released(true);
      added.emplace(AddTable(path));
      if (!added->ok()) failure.emplace(path, added->error());
    }
    if (failure) return failure->Raise();
    return PyBool_FromLong(added->value());
  });
}

PyMethodDef kFunctions[] = {
    {"table_info", FastcallMethod<TableInfo>(), METH_FASTCALL | METH_KEYWORDS,
     "table_info(path)\n--\n\nThe lookup table the file at *path* carries, as a dict (slots, "
     "table_bytes, section_offset, groups, index_end, seed, sparse_every), or None. Reads the "
     "header and the trailer only."},
    {"add_table", FastcallMethod<AddTableFunction>(), METH_FASTCALL | METH_KEYWORDS,
     "add_table(path)\n--\n\nWrites the file at *path* again with a lookup table, through its "
     "temporary file and a rename, after checking it. False when it carries one already."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int AddTableFunctions(PyObject* module) { return PyModule_AddFunctions(module, kFunctions); }

}  // namespace quordb::native

#include "native/write_target.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "core/build_target.h"
#include "glue/arguments.h"
#include "glue/entry_point.h"
#include "native/types.h"

namespace quordb::native {
namespace {

PyObject* TempPathForFunction(PyObject*, PyObject* path) {
  return glue::CatchBoundary(
      [&]() -> PyObject* {
        std::string_view target;
        if (!glue::ConvertPath(path, &target)) return nullptr;
        const std::string temp = TempPathFor(target);
        return PyUnicode_DecodeUTF8(temp.data(), static_cast<Py_ssize_t>(temp.size()), nullptr);
      },
      nullptr);
}

PyMethodDef kFunctions[] = {
    {"temp_path_for", TempPathForFunction, METH_O,
     "temp_path_for(path, /)\n--\n\nThe temporary file a build of *path* writes."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

Result<std::unique_ptr<StreamWriter>> CreateStreamWriter(std::string_view target,
                                                         OnDuplicate on_duplicate) {
  const std::string path(target);
  struct stat status {};
  // lstat: the rename at the end replaces a symlink, whatever it points to.
  if (::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
    return StoreError::Os(EISDIR, "cannot build " + path + ": ");
  Result<std::unique_ptr<StreamWriter>> created =
      StreamWriter::Create(target, StreamWriter::kDefaultBufferSize, on_duplicate);
  if (created.ok()) return created;
  const std::string folder = DirectoryOf(TempPathFor(target));
  if (::stat(folder.c_str(), &status) != 0 && errno == ENOENT)
    return StoreError::Io("cannot create a file in " + folder +
                          ": the folder does not exist (os error " + std::to_string(ENOENT) + ")");
  return created;
}

int AddWriteTargetFunctions(PyObject* module) { return PyModule_AddFunctions(module, kFunctions); }

}  // namespace quordb::native

#include <string>
#include <string_view>

#include "core/build_target.h"
#include "glue/arguments.h"
#include "glue/entry_point.h"
#include "native/types.h"

// temp_path_for: the temporary file beside a build's target.
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

int AddWriteTargetFunctions(PyObject* module) { return PyModule_AddFunctions(module, kFunctions); }

}  // namespace quordb::native

// Releasing the interpreter lock around pure C++ work, for quordb._native.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quordb::glue {

// Releases the interpreter lock for its scope (when `release` is true), and
// takes it back even when the work inside throws. Hold what the work needs
// (a reference to the engine) before; nothing Python may run inside.
class LockReleased {
 public:
  explicit LockReleased(bool release) noexcept : saved_(release ? PyEval_SaveThread() : nullptr) {}
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;
  ~LockReleased() {
    if (saved_ != nullptr) PyEval_RestoreThread(saved_);
  }

 private:
  PyThreadState* saved_;
};

}  // namespace quordb::glue

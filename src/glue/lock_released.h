// Releasing the interpreter lock around pure C++ work: the only place in the
// glue and quordb._native that gives the lock up.
//
//   {
//     LockReleased released(batch.size() >= kLockFreeBatch);
//     engine->FindMany(keys, locations);       // no Python inside
//     const KeepGoing go_on = [&released] {
//       LockRetaken retaken(released);         // Python again, for this scope
//       return PyErr_CheckSignals() == 0;
//     };
//   }                                          // the lock is back, even after a throw
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quordb::glue {

// Releases the interpreter lock for its scope (when `release` is true), and
// takes it back even when the work inside throws. Hold what the work needs
// (a reference to the engine) before; nothing Python may run inside, but
// within a LockRetaken.
class LockReleased {
 public:
  explicit LockReleased(bool release) noexcept : saved_(release ? PyEval_SaveThread() : nullptr) {}
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;
  ~LockReleased() {
    if (saved_ != nullptr) PyEval_RestoreThread(saved_);
  }

 private:
  friend class LockRetaken;
  PyThreadState* saved_;
};

// Inside a LockReleased scope, takes the lock back for its own scope (for a
// callback that must run Python) and gives it up again when it ends, even
// when the work inside throws.
class LockRetaken {
 public:
  explicit LockRetaken(LockReleased& released) noexcept : released_(released) {
    if (released_.saved_ != nullptr) PyEval_RestoreThread(released_.saved_);
  }
  LockRetaken(const LockRetaken&) = delete;
  LockRetaken& operator=(const LockRetaken&) = delete;
  ~LockRetaken() {
    if (released_.saved_ != nullptr) released_.saved_ = PyEval_SaveThread();
  }

 private:
  LockReleased& released_;
};

}  // namespace quordb::glue

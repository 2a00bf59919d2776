// The borrow flag every instance carries, and the access a method holds.
//
// Calls hold the interpreter lock throughout, so a denial can only come from
// a re-entrant call on the same instance (Python code run while an argument
// is converted); the counter is still atomic so that it stays sound if the
// lock is ever released during a call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <utility>

namespace quordb::glue {

// Per-instance access counter: 0 free, n > 0 shared users, -1 one exclusive
// user. A conflicting re-entrant call is turned away at once, never waited for.
class BorrowFlag {
 public:
  bool TryShared() noexcept {
    int64_t seen = state_.load(std::memory_order_relaxed);
    do {
      if (seen == kExclusive) return false;
    } while (!state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }
  bool TryExclusive() noexcept {
    int64_t expected = 0;
    return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void ReleaseShared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
  void ReleaseExclusive() noexcept { state_.store(0, std::memory_order_release); }

 private:
  static constexpr int64_t kExclusive = -1;
  std::atomic<int64_t> state_{0};
};

// Holds shared or exclusive access for one method call. Check ok() first:
// when access is denied the RuntimeError is already set.
class Access {
 public:
  static Access Shared(BorrowFlag& flag) noexcept {
    if (flag.TryShared()) return Access(&flag, false);
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return Access(nullptr, false);
  }
  static Access Exclusive(BorrowFlag& flag) noexcept {
    if (flag.TryExclusive()) return Access(&flag, true);
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return Access(nullptr, true);
  }
  Access(Access&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)), exclusive_(o.exclusive_) {}
  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;
  ~Access() {
    if (flag_ == nullptr) return;
    if (exclusive_)
      flag_->ReleaseExclusive();
    else
      flag_->ReleaseShared();
  }
  bool ok() const noexcept { return flag_ != nullptr; }

 private:
  Access(BorrowFlag* flag, bool exclusive) noexcept : flag_(flag), exclusive_(exclusive) {}
  BorrowFlag* flag_;
  bool exclusive_;
};

}  // namespace quordb::glue

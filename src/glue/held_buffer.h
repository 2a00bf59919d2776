// HeldBuffer: a Python object's buffer, held for reading while the view
// lives and released with it; move-only, as PyRef is.
//
//   glue::HeldBuffer chunk;
//   if (!chunk.Hold(object)) return nullptr;  // TypeError set
//   Scan(chunk.bytes());
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

namespace quordb::glue {

class HeldBuffer {
 public:
  HeldBuffer() noexcept = default;
  HeldBuffer(HeldBuffer&& other) noexcept
      : view_(other.view_), held_(std::exchange(other.held_, false)) {}
  HeldBuffer& operator=(HeldBuffer&&) = delete;
  HeldBuffer(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  // False with the error set when `object` has no contiguous buffer.
  [[nodiscard]] bool Hold(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS) < 0) return false;
    held_ = true;
    return true;
  }
  // Empty while nothing is held.
  std::string_view bytes() const noexcept {
    return {static_cast<const char*>(view_.buf), static_cast<size_t>(view_.len)};
  }
  std::span<const uint8_t> octets() const noexcept {
    return {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace quordb::glue

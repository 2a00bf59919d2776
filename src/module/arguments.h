// Matching of Python call arguments to parameters, and their conversion to
// engine values. Every function that returns false has set a Python error.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace quordb::module {

// A method's parameters, all positional-or-keyword; the first `required`
// are required. `full_name` reads "_QuorReader.get_raw()".
struct Signature {
  const char* full_name;
  std::span<const char* const> names;
  size_t required;
};

// Fills out[0..names) with borrowed references (null for an omitted
// optional). Vectorcall form: `kwnames` is null or a tuple of names.
[[nodiscard]] bool MatchArguments(const Signature& signature, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for a tuple and an optional dict, as tp_new receives them.
[[nodiscard]] bool MatchArguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                                  PyObject** out);

// Key or prefix bytes: a view of a str's cached UTF-8, of a bytes or
// bytearray buffer, or of bytes collected from a sequence of small ints.
// The view stays valid while the argument is alive and unchanged; no Python
// code may run between conversion and use.
class KeyBytes {
 public:
  std::string_view view() const noexcept { return view_; }

 private:
  friend bool ConvertKey(PyObject* key, KeyBytes* out);
  std::string_view view_;
  std::string owned_;
};
[[nodiscard]] bool ConvertKey(PyObject* key, KeyBytes* out);

[[nodiscard]] bool ConvertObjectId(PyObject* obj_id, uint64_t* out);
// Views stay valid while the argument is alive.
[[nodiscard]] bool ConvertRawBytes(PyObject* raw_bytes, std::string_view* out);
[[nodiscard]] bool ConvertPath(PyObject* path, std::string_view* out);
// `verify` may be null (omitted): true.
[[nodiscard]] bool ConvertVerify(PyObject* verify, bool* out);

// TypeError "'{type}' object is not an instance of '{required}'".
void SetNotInstanceError(PyObject* object, const char* required);

}  // namespace quordb::module

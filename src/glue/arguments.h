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
#include <type_traits>

#include "core/on_duplicate.h"

namespace quordb::glue {

// A method's parameters: the first `positional` positional-or-keyword, the
// rest keyword-only; the first `required` are required. `full_name` reads
// "_QuorReader.get_raw()".
struct Parameters {
  const char* full_name;
  std::span<const char* const> names;
  size_t required;
  size_t positional;
};

// Parameters whose count N, the length of the name list, is part of the type:
// every buffer of matched arguments is sized from it, so the two cannot
// disagree. Made at compile time from a constant name list:
//   constexpr const char* kOpenNames[] = {"path", "verify"};
//   static const Signature signature{"_QuorReader.__new__()", kOpenNames, 1};
template <size_t N>
class Signature {
 public:
  template <size_t M>
  requires(M == N) consteval Signature(const char* full_name, const char* const (&names)[M],
                                       size_t required)
      : Signature(full_name, names, required, M) {}
  // The names after the first `positional` are keyword-only.
  template <size_t M>
  requires(M == N) consteval Signature(const char* full_name, const char* const (&names)[M],
                                       size_t required, size_t positional)
      : parameters_{full_name, names, required, positional} {
    if (positional > N) throw "more positional parameters than names";
    if (required > positional) throw "a required parameter that is keyword-only";
  }
  // No parameters at all.
  consteval explicit Signature(const char* full_name) requires(N == 0)
      : parameters_{full_name, {}, 0, 0} {}

  const Parameters& parameters() const noexcept { return parameters_; }

 private:
  Parameters parameters_;
};
template <size_t M>
Signature(const char*, const char* const (&)[M], size_t) -> Signature<M>;
template <size_t M>
Signature(const char*, const char* const (&)[M], size_t, size_t) -> Signature<M>;
Signature(const char*)->Signature<0>;

namespace detail {
[[nodiscard]] bool MatchArguments(const Parameters& parameters, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
[[nodiscard]] bool MatchArguments(const Parameters& parameters, PyObject* args, PyObject* kwargs,
                                  PyObject** out);
}  // namespace detail

// Fills `out`, one slot per parameter, with borrowed references (null for an
// omitted optional). Vectorcall form: `kwnames` is null or a tuple of names.
// `out` is an array of exactly N slots (a span of a fixed N): any other
// size does not compile.
template <size_t N>
[[nodiscard]] bool MatchArguments(const Signature<N>& signature, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames,
                                  std::type_identity_t<std::span<PyObject*, N>> out) {
  return detail::MatchArguments(signature.parameters(), args, nargs, kwnames, out.data());
}
// The same for a tuple and an optional dict, as tp_new receives them.
template <size_t N>
[[nodiscard]] bool MatchArguments(const Signature<N>& signature, PyObject* args, PyObject* kwargs,
                                  std::type_identity_t<std::span<PyObject*, N>> out) {
  return detail::MatchArguments(signature.parameters(), args, kwargs, out.data());
}

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

// A build's policy for a key added again for another object, named "last",
// "first" or "error". `on_duplicate` may be null (omitted): last.
[[nodiscard]] bool ConvertOnDuplicate(PyObject* on_duplicate, OnDuplicate* out);

// The size of each list an iterator of chunks hands out, at least 1. `chunk`
// may be null (omitted): kDefaultChunk. Any object with __index__ will do.
inline constexpr size_t kDefaultChunk = 4096;
[[nodiscard]] bool ConvertChunk(PyObject* chunk, size_t* out);

// The (path, verify=True) parameters that open a file for reading, converted
// in that order. The path's view stays valid while its argument is alive.
struct OpenArguments {
  std::string_view path;
  bool verify = true;
};
[[nodiscard]] bool ConvertOpenArguments(PyObject* path, PyObject* verify, OpenArguments* out);

// TypeError "'{type}' object is not an instance of '{required}'".
void SetNotInstanceError(PyObject* object, const char* required);

}  // namespace quordb::glue

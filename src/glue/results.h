// Python values made from engine results, shared by both extension modules:
// key text, payload bytes, the stats dict, and long lists built out of the
// collector's sight.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "core/format.h"
#include "core/reader.h"
#include "glue/py_ref.h"

namespace quordb::glue {

// How key bytes that are not UTF-8 come out.
enum class KeyForm {
  // Always a str, every maximal ill-formed subsequence replaced by U+FFFD,
  // which is what the interpreter's decoder does in "replace" mode.
  kReplaced,
  // A str when the bytes are valid UTF-8, else the bytes themselves, so that
  // encoding a listed key gives back exactly the stored bytes.
  kExact,
};

// New reference.
PyObject* KeyObject(std::string_view key, KeyForm form);
// New reference.
PyObject* PayloadBytes(Bytes payload);

// New reference: a (key, payload bytes) tuple, untracked by the collector:
// a pair of a str or bytes and a bytes can never be part of a cycle. Left
// tracked, a long listing makes the collector walk every pair made so far,
// again and again as the list grows.
PyObject* Pair(std::string_view key, KeyForm form, Bytes payload);

// New reference: the header values and file facts as the stats() dict.
PyObject* StatsDict(const ReaderStats& stats);

// Payloads fetched in key order lie anywhere in the file: asks for one a
// little ahead of its copy.
void PrefetchPayload(Bytes payload) noexcept;

// A list of `count` empty slots, hidden from the collector until it is
// filled: making a long listing sets off collections, and each would walk the
// list again.
PyRef NewUnfilledList(size_t count);

// New reference to a list from NewUnfilledList, now full.
PyObject* HandOut(PyRef list);

// A list of `count` elements made by `element(i)`; nothing is handed out if
// any element fails. New reference.
template <typename MakeElement>
PyObject* BuildList(size_t count, MakeElement&& element) {
  PyRef list = NewUnfilledList(count);
  if (!list) return nullptr;
  for (size_t i = 0; i < count; ++i) {
    PyObject* item = element(i);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return HandOut(std::move(list));
}

}  // namespace quordb::glue

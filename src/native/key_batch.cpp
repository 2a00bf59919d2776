#include "native/key_batch.h"

#include "glue/py_ref.h"

namespace quordb::native {
namespace {

using glue::ConvertKey;
using glue::KeyBytes;
using glue::PyRef;

constexpr Py_ssize_t kKeyPrefetchDistance = 8;
constexpr size_t kTypicalKeySize = 24;

}  // namespace

bool LookupKey(PyObject* object, KeyBytes* key, bool* failed) {
  *failed = false;
  if (ConvertKey(object, key)) return true;
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
    *failed = true;
    return false;
  }
  PyErr_Clear();
  return false;
}

bool KeyBatch::Collect(PyObject* keys) {
  PyRef sequence = PyRef::Steal(PySequence_Fast(keys, "keys must be an iterable"));
  if (!sequence) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  named_.reserve(static_cast<size_t>(count));
  ends_.reserve(static_cast<size_t>(count));
  bytes_.reserve(static_cast<size_t>(count) * kTypicalKeySize);
  // Converting a key may run Python code that changes a list passed in:
  // its size is read again each time and each item held while converted.
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
    // The key objects of a batch lie anywhere in the heap: ask for one a
    // little ahead, with the text that follows a short str's head.
    if (i + kKeyPrefetchDistance < PySequence_Fast_GET_SIZE(sequence.get())) {
      const char* ahead = reinterpret_cast<const char*>(
          PySequence_Fast_GET_ITEM(sequence.get(), i + kKeyPrefetchDistance));
      __builtin_prefetch(ahead);
      __builtin_prefetch(ahead + 64);
    }
    const PyRef item = PyRef::Borrow(PySequence_Fast_GET_ITEM(sequence.get(), i));
    KeyBytes key;
    bool failed = false;
    const bool named = LookupKey(item.get(), &key, &failed);
    if (failed) return false;
    named_.push_back(named);
    if (!named) continue;
    bytes_.append(key.view());
    ends_.push_back(bytes_.size());
  }
  views_.reserve(ends_.size());
  size_t start = 0;
  for (const size_t end : ends_) {
    views_.emplace_back(std::string_view(bytes_).substr(start, end - start));
    start = end;
  }
  return true;
}

}  // namespace quordb::native

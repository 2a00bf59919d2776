#include "native/key_batch.h"

#include <cstring>

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
  MakeViews();
  return true;
}

bool KeyBatch::CollectColumn(const KeyColumn& column) {
  const auto malformed = [](const char* what) {
    PyErr_Format(PyExc_ValueError, "malformed key column: %s", what);
    return false;
  };
  const auto offset_at = [&column](size_t i) {
    int64_t value;
    std::memcpy(&value, column.offsets.data() + (column.offset + i) * sizeof(int64_t),
                sizeof(value));
    return value;
  };
  // Written so that no sum can wrap: offset + length + 1 offsets are read.
  const size_t offset_count = column.offsets.size() / sizeof(int64_t);
  if (offset_count <= column.offset || offset_count - column.offset <= column.length)
    return malformed("fewer offsets than values");
  const size_t bits = column.offset + column.length;
  if (!column.validity.empty() && column.validity.size() < bits / 8 + (bits % 8 != 0))
    return malformed("a validity bitmap shorter than the values");
  named_.reserve(column.length);
  ends_.reserve(column.length);
  const int64_t first = offset_at(0);
  const int64_t last = offset_at(column.length);
  if (first >= 0 && last >= first && static_cast<uint64_t>(last) <= column.data.size())
    bytes_.reserve(static_cast<size_t>(last - first));
  for (size_t i = 0; i < column.length; ++i) {
    const size_t bit = column.offset + i;
    const bool named =
        column.validity.empty() || ((column.validity[bit / 8] >> (bit % 8)) & 1) != 0;
    named_.push_back(named);
    if (!named) continue;
    const int64_t start = offset_at(i);
    const int64_t end = offset_at(i + 1);
    if (start < 0 || end < start || static_cast<uint64_t>(end) > column.data.size())
      return malformed("offsets that go back or past the data");
    bytes_.append(reinterpret_cast<const char*>(column.data.data()) + start,
                  static_cast<size_t>(end - start));
    ends_.push_back(bytes_.size());
  }
  MakeViews();
  return true;
}

void KeyBatch::MakeViews() {
  views_.reserve(ends_.size());
  size_t start = 0;
  for (const size_t end : ends_) {
    views_.emplace_back(std::string_view(bytes_).substr(start, end - start));
    start = end;
  }
}

}  // namespace quordb::native

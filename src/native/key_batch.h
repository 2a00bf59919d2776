// The keys of a lookup, as a reader takes them: anything that can name no
// key is simply absent, as from a dict of str keys.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/format.h"
#include "glue/arguments.h"
#include "glue/results.h"
#include "native/record_view.h"

namespace quordb::native {

// Below this many keys a batch's lookups are too short to be worth handing
// the interpreter lock to another thread and taking it back.
inline constexpr size_t kLockFreeBatch = 64;

// Converts a lookup key. An object that can name no key (not str or
// bytes-like, or text with no UTF-8 form) gives false with no error set.
// Only another failure, such as MemoryError, is left set; `*failed` tells
// the two apart.
bool LookupKey(PyObject* object, glue::KeyBytes* key, bool* failed);

// A column of keys as Arrow lays out binary values with 64-bit offsets
// (large_binary; text is its UTF-8): `length` values from value `offset`.
// `validity` is a bitmap, one bit a value from the buffer's first, or empty
// when no value is null; `offsets` holds native int64s, read without
// assuming their alignment (a buffer passed through pickle may start
// anywhere). Views of buffers that outlive the collection.
struct KeyColumn {
  size_t length = 0;
  size_t offset = 0;
  std::span<const uint8_t> validity;
  std::span<const uint8_t> offsets;
  std::span<const uint8_t> data;
};

// The keys of a batch, copied out of their objects so that the lookups can
// run without the interpreter lock while other threads change those objects.
class KeyBatch {
 public:
  // Collects every key of the iterable `keys`. False with an error set.
  bool Collect(PyObject* keys);
  // Collects the keys of `column`, a null naming no key, without a Python
  // object per key. Buffers too short for their offsets, or offsets that go
  // back or past the data, raise ValueError. False with an error set.
  bool CollectColumn(const KeyColumn& column);

  size_t size() const noexcept { return named_.size(); }
  // Whether key `i` of the batch names a key at all.
  bool named(size_t i) const noexcept { return named_[i]; }
  // The keys that name one, in batch order.
  std::span<const std::string_view> views() const noexcept { return views_; }

 private:
  void MakeViews();

  std::vector<bool> named_;
  std::string bytes_;
  std::vector<size_t> ends_;
  std::vector<std::string_view> views_;
};

// A list with one element per key of `batch`: `found(j)` for the j-th key
// that names one, `absent()` for the others. New reference.
template <typename Found, typename Absent>
PyObject* BatchList(const KeyBatch& batch, Found&& found, Absent&& absent) {
  size_t next = 0;
  return glue::BuildList(batch.size(), [&](size_t i) -> PyObject* {
    return batch.named(i) ? found(next++) : absent();
  });
}

// `payload(j)`, the j-th of `named` payloads, with the one kPrefetchDistance
// ahead asked for: a long batch's records have left the cache since they
// were fetched. `payload(j)` gives a `const std::optional<Bytes>&`.
template <typename Payload>
const std::optional<Bytes>& PayloadAhead(Payload&& payload, size_t j, size_t named) {
  if (j + kPrefetchDistance < named) {
    const std::optional<Bytes>& ahead = payload(j + kPrefetchDistance);
    if (ahead) glue::PrefetchPayload(*ahead);
  }
  return payload(j);
}

// The list a get_many_raw returns for `batch`: the bytes of `payload(j)` for
// the j-th key that names one, None where that is empty or no key is named.
// `payload(j)` gives a `const std::optional<Bytes>&`. New reference.
template <typename Payload>
PyObject* PayloadList(const KeyBatch& batch, Payload&& payload) {
  const size_t named = batch.views().size();
  return BatchList(
      batch,
      [&](size_t j) {
        const std::optional<Bytes>& found = PayloadAhead(payload, j, named);
        return found ? glue::PayloadBytes(*found) : Py_NewRef(Py_None);
      },
      [] { return Py_NewRef(Py_None); });
}

// The list a get_many returns for `batch`: `decode(view)` of `payload(j)`,
// a part of the mapping of `engine(j)`, for the j-th key that names one;
// `fallback` where that is empty or no key is named. `look_up(first, count)`
// fetches the payloads of the named keys [first, first + count), `chunk` of
// them at a time, before they are decoded (false with an error set). The
// first failure is raised and nothing is handed out. `engine(j)` gives a
// `const SharedReader&`, `payload(j)` a `const std::optional<Bytes>&`. New
// reference.
template <typename LookUp, typename Engine, typename Payload>
PyObject* DecodedList(const KeyBatch& batch, PyObject* decode, PyObject* fallback, size_t chunk,
                      LookUp&& look_up, Engine&& engine, Payload&& payload) {
  const size_t named = batch.views().size();
  RecordViews views;
  return BatchList(
      batch,
      [&](size_t j) -> PyObject* {
        if (j % chunk == 0 && !look_up(j, std::min(chunk, named - j))) return nullptr;
        const std::optional<Bytes>& found = PayloadAhead(payload, j, named);
        return found ? views.Decode(decode, engine(j), *found) : Py_NewRef(fallback);
      },
      [&] { return Py_NewRef(fallback); });
}

}  // namespace quordb::native

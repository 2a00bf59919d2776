#include "native/field_arrays.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/format.h"
#include "glue/py_ref.h"
#include "native/key_batch.h"
#include "native/msgpack_head.h"
#include "native/types.h"

namespace quordb::native {
namespace {

using glue::PyRef;

constexpr uint8_t kNil = 0xc0;
constexpr uint8_t kArray32 = 0xdd;
constexpr size_t kArrayHeadSize = 5;

// Moves `*at` past the payload of `head` and every value nested in it.
// Nesting costs a count, never a stack: only the end is wanted.
bool SkipRest(const uint8_t* p, uint64_t size, uint64_t* at, const MsgpackHead& head) {
  if (!Fits(size, *at, head.payload)) return false;
  *at += head.payload;
  uint64_t pending = head.items;  // at most 2**33 a container: the sum cannot wrap
  while (pending > 0) {
    --pending;
    MsgpackHead inner;
    if (!ReadMsgpackHead(p, size, at, &inner) || !Fits(size, *at, inner.payload)) return false;
    *at += inner.payload;
    pending += inner.items;
  }
  return true;
}

// Finds `key` among `names`.
std::optional<size_t> Named(std::span<const std::string_view> names,
                            std::string_view key) noexcept {
  for (size_t f = 0; f < names.size(); ++f)
    if (names[f] == key) return f;
  return std::nullopt;
}

}  // namespace

FieldArrays::FieldArrays(std::span<const std::string_view> names)
    : names_(names), last_(names.size()), arrays_(names.size()) {
  for (std::vector<uint8_t>& array : arrays_) array.resize(kArrayHeadSize);
}

bool FieldArrays::Add(Bytes record) {
  const uint8_t* p = record.data();
  const uint64_t end = record.size();
  uint64_t at = 0;
  std::fill(last_.begin(), last_.end(), Bytes());
  MsgpackHead head;
  if (!ReadMsgpackHead(p, end, &at, &head)) return false;
  if (!head.is_map) {
    if (!SkipRest(p, end, &at, head) || at != end) return false;
  } else {
    for (uint64_t pair = 0; pair < head.items / 2; ++pair) {
      MsgpackHead key;
      if (!ReadMsgpackHead(p, end, &at, &key) || key.is_container) return false;
      const uint64_t key_start = at;
      if (!SkipRest(p, end, &at, key)) return false;
      const std::optional<size_t> field =
          key.is_text ? Named(names_, std::string_view(reinterpret_cast<const char*>(p) + key_start,
                                                       at - key_start))
                      : std::nullopt;
      const uint64_t value_start = at;
      MsgpackHead value;
      if (!ReadMsgpackHead(p, end, &at, &value) || !SkipRest(p, end, &at, value)) return false;
      if (field) last_[*field] = record.subspan(value_start, at - value_start);
    }
    if (at != end) return false;
  }
  // Copied now, while the record is in the cache: a mapped record lies anywhere.
  for (size_t f = 0; f < names_.size(); ++f) {
    if (last_[f].empty()) {
      arrays_[f].push_back(kNil);
    } else {
      arrays_[f].insert(arrays_[f].end(), last_[f].begin(), last_[f].end());
    }
  }
  ++records_;
  return true;
}

void FieldArrays::AddAbsent() {
  for (std::vector<uint8_t>& array : arrays_) array.push_back(kNil);
  ++records_;
}

PyObject* FieldArrays::Columns() {
  if (records_ > std::numeric_limits<uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "a field's array holds at most 2**32 - 1 values");
    return nullptr;
  }
  PyRef columns = PyRef::Steal(PyList_New(static_cast<Py_ssize_t>(names_.size())));
  if (!columns) return nullptr;
  for (size_t f = 0; f < names_.size(); ++f) {
    std::vector<uint8_t>& array = arrays_[f];
    array[0] = kArray32;
    for (int shift = 24, k = 1; shift >= 0; shift -= 8, ++k)
      array[k] = static_cast<uint8_t>(records_ >> shift);
    PyObject* column = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(array.data()),
                                                 static_cast<Py_ssize_t>(array.size()));
    if (column == nullptr) return nullptr;
    PyList_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(f), column);
  }
  return columns.release();
}

bool FieldNames(PyObject* names, std::vector<std::string_view>* out) {
  const PyRef listed = PyRef::Steal(PySequence_Fast(names, "names must be a sequence"));
  if (!listed) return false;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(listed.get()); ++i) {
    Py_ssize_t length = 0;
    const char* name = PyUnicode_AsUTF8AndSize(PySequence_Fast_GET_ITEM(listed.get(), i), &length);
    if (name == nullptr) return false;
    out->emplace_back(name, static_cast<size_t>(length));
  }
  return true;
}

}  // namespace quordb::native

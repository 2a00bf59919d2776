// field_columns(): the named fields of a packed answer's records, each field
// as a msgpack array of its values, so that a join decodes a column in one
// call to a list of its values, with no object made per record and no other
// field decoded.
//
// A record's field is the value of the last key of its map that is text
// equal to the field's name, as a decoder of records or a dict of the whole
// object gives it; nil for a record that has no such key or is no map. The
// values are copied as they are stored: decoding them is the caller's, with
// the package's codec. Anything the walk cannot vouch for (a record that is
// not one well-formed value spanning its offsets, a map key that is an array
// or a map) gives None, and the caller decodes the records as it did before,
// which raises what is wrong with them.
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
#include "glue/arguments.h"
#include "glue/entry_point.h"
#include "glue/lock_released.h"
#include "glue/py_ref.h"
#include "native/key_batch.h"
#include "native/msgpack_head.h"
#include "native/types.h"

namespace quordb::native {
namespace {

using glue::CallFunction;
using glue::FastcallMethod;
using glue::LockReleased;
using glue::PyRef;
using glue::Signature;

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

// Where each record's value of each field lies: spans_[record * fields + f],
// empty when the record has none.
class FieldSpans {
 public:
  FieldSpans(std::span<const std::string_view> names, size_t records)
      : names_(names), spans_(records * names.size()) {}

  // Walks record `record`, the bytes [start, end) of `p`. False when it is
  // not one well-formed value spanning them, or has a key the walk cannot
  // compare with a name (an array or a map).
  bool Walk(const uint8_t* p, size_t record, uint64_t start, uint64_t end) {
    uint64_t at = start;
    MsgpackHead head;
    if (!ReadMsgpackHead(p, end, &at, &head)) return false;
    if (!head.is_map) return SkipRest(p, end, &at, head) && at == end;
    for (uint64_t pair = 0; pair < head.items / 2; ++pair) {
      MsgpackHead key;
      if (!ReadMsgpackHead(p, end, &at, &key) || key.is_container) return false;
      const uint64_t key_start = at;
      if (!SkipRest(p, end, &at, key)) return false;
      const std::optional<size_t> field =
          key.is_text ? Named(std::string_view(reinterpret_cast<const char*>(p) + key_start,
                                               at - key_start))
                      : std::nullopt;
      const uint64_t value_start = at;
      MsgpackHead value;
      if (!ReadMsgpackHead(p, end, &at, &value) || !SkipRest(p, end, &at, value)) return false;
      if (field) spans_[record * names_.size() + *field] = {value_start, at};
    }
    return at == end;
  }

  // The bytes of field `field`'s array: its head, and each record's value or nil.
  uint64_t ArraySize(size_t field, size_t records) const noexcept {
    uint64_t size = kArrayHeadSize;
    for (size_t r = 0; r < records; ++r) {
      const auto [start, end] = spans_[r * names_.size() + field];
      size += end > start ? end - start : 1;  // bounded by the payloads: cannot wrap
    }
    return size;
  }

  void FillArray(const uint8_t* p, size_t field, size_t records, uint8_t* out) const noexcept {
    out[0] = kArray32;
    for (int shift = 24, k = 1; shift >= 0; shift -= 8, ++k)
      out[k] = static_cast<uint8_t>(records >> shift);
    uint64_t at = kArrayHeadSize;
    for (size_t r = 0; r < records; ++r) {
      const auto [start, end] = spans_[r * names_.size() + field];
      if (end > start) {
        std::memcpy(out + at, p + start, end - start);
        at += end - start;
      } else {
        out[at++] = kNil;
      }
    }
  }

 private:
  std::optional<size_t> Named(std::string_view key) const noexcept {
    for (size_t f = 0; f < names_.size(); ++f)
      if (names_[f] == key) return f;
    return std::nullopt;
  }

  std::span<const std::string_view> names_;
  std::vector<std::pair<uint64_t, uint64_t>> spans_;
};

constexpr const char* kFieldColumnsNames[] = {"payloads", "offsets", "names"};

PyObject* FieldColumns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"field_columns()", kFieldColumnsNames, 3};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    if (!PyBytes_Check(matched[0]) || !PyBytes_Check(matched[1])) {
      PyErr_SetString(PyExc_TypeError, "payloads and offsets must be bytes");
      return nullptr;
    }
    const PyRef listed = PyRef::Steal(PySequence_Fast(matched[2], "names must be a sequence"));
    if (!listed) return nullptr;
    std::vector<std::string_view> names;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(listed.get()); ++i) {
      Py_ssize_t length = 0;
      const char* name =
          PyUnicode_AsUTF8AndSize(PySequence_Fast_GET_ITEM(listed.get(), i), &length);
      if (name == nullptr) return nullptr;
      names.emplace_back(name, static_cast<size_t>(length));
    }
    const auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(matched[0]));
    const uint64_t size = static_cast<uint64_t>(PyBytes_GET_SIZE(matched[0]));
    const size_t offset_count = static_cast<size_t>(PyBytes_GET_SIZE(matched[1])) / sizeof(int64_t);
    if (offset_count == 0 || offset_count - 1 > std::numeric_limits<uint32_t>::max()) {
      PyErr_SetString(PyExc_ValueError, "offsets must hold 1 to 2**32 int64s");
      return nullptr;
    }
    const size_t records = offset_count - 1;
    std::vector<int64_t> ends(offset_count);
    std::memcpy(ends.data(), PyBytes_AS_STRING(matched[1]), offset_count * sizeof(int64_t));
    FieldSpans spans(names, records);
    bool walked = true;
    {
      LockReleased released(records >= kLockFreeBatch);
      for (size_t r = 0; r < records && walked; ++r) {
        const int64_t start = ends[r];
        const int64_t end = ends[r + 1];
        walked = start >= 0 && end > start && static_cast<uint64_t>(end) <= size &&
                 spans.Walk(p, r, static_cast<uint64_t>(start), static_cast<uint64_t>(end));
      }
    }
    if (!walked) Py_RETURN_NONE;
    PyRef columns = PyRef::Steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!columns) return nullptr;
    for (size_t f = 0; f < names.size(); ++f) {
      const uint64_t column_size = spans.ArraySize(f, records);
      if (column_size > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
      PyObject* column = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(column_size));
      if (column == nullptr) return nullptr;
      spans.FillArray(p, f, records, reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(column)));
      PyList_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(f), column);
    }
    return columns.release();
  });
}

PyMethodDef kFieldColumnsFunctions[] = {
    {"field_columns", FastcallMethod<FieldColumns>(), METH_FASTCALL | METH_KEYWORDS,
     "field_columns(payloads, offsets, names) -> list[bytes] | None\n--\n\n"
     "The fields *names* of the records of a packed answer (get_many_packed()): for each "
     "name, one msgpack array of a value per record, the value of its map's last text key "
     "equal to the name, or nil. None when some record is not one well-formed value spanning "
     "its offsets, or has a map key that is an array or a map."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int AddFieldColumnFunctions(PyObject* module) {
  return PyModule_AddFunctions(module, kFieldColumnsFunctions);
}

}  // namespace quordb::native

#include "native/text_columns.h"

#include <cstring>
#include <utility>

#include "core/format.h"
#include "core/key_table.h"
#include "glue/py_ref.h"
#include "native/error_classes.h"

namespace quordb::native {
namespace {

using glue::PyRef;

constexpr size_t kOffsetSize = sizeof(int32_t);

int32_t OffsetAt(std::string_view offsets, size_t index) noexcept {
  int32_t value = 0;
  std::memcpy(&value, offsets.data() + index * kOffsetSize, kOffsetSize);
  return value;
}

// A msgpack header: its type byte, then `length` in the big-endian bytes the
// type names.
template <typename Length>
void AppendHeader(uint8_t type, Length length, std::string* out) {
  uint8_t bytes[1 + sizeof(Length)] = {type};
  if constexpr (sizeof(Length) == 2)
    StoreU16(bytes + 1, length);
  else
    StoreU32(bytes + 1, length);
  out->append(reinterpret_cast<const char*>(bytes), sizeof(bytes));
}

// A non-negative int of `object` that fits size_t; false with the error set.
bool ConvertCount(PyObject* object, const char* what, size_t* out) {
  const Py_ssize_t value = PyNumber_AsSsize_t(object, PyExc_OverflowError);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0) {
    PyErr_Format(PyExc_ValueError, "%s must not be negative", what);
    return false;
  }
  *out = static_cast<size_t>(value);
  return true;
}

// Each item of the sequence `items` as a tuple of `size` items, passed to
// `take`; false with the error set.
template <typename Take>
bool ForEachTuple(PyObject* items, Py_ssize_t size, const char* what, Take take) {
  const PyRef listed = PyRef::Steal(PySequence_Fast(items, what));
  if (!listed) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(listed.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(listed.get(), i);
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != size) {
      PyErr_Format(PyExc_TypeError, "%s", what);
      return false;
    }
    if (!take(item)) return false;
  }
  return true;
}

}  // namespace

void AppendMsgpackStr(std::string_view text, std::string* out) {
  const size_t n = text.size();
  if (n < 32) {
    out->push_back(static_cast<char>(0xa0 | n));
  } else if (n <= 0xff) {
    out->push_back(static_cast<char>(0xd9));
    out->push_back(static_cast<char>(n));
  } else if (n <= 0xffff) {
    AppendHeader(0xda, static_cast<uint16_t>(n), out);
  } else {
    AppendHeader(0xdb, static_cast<uint32_t>(n), out);
  }
  out->append(text);
}

void AppendMsgpackMapHeader(size_t count, std::string* out) {
  if (count < 16) {
    out->push_back(static_cast<char>(0x80 | count));
  } else if (count <= 0xffff) {
    AppendHeader(0xde, static_cast<uint16_t>(count), out);
  } else {
    AppendHeader(0xdf, static_cast<uint32_t>(count), out);
  }
}

std::string_view TextColumns::Cell(size_t column, size_t row) const noexcept {
  const Column& at = columns_[column];
  const std::string_view offsets = held_[at.held].bytes();
  const int32_t begin = OffsetAt(offsets, at.offset + row);
  const int32_t end = OffsetAt(offsets, at.offset + row + 1);
  return held_[at.held + 1].bytes().substr(static_cast<size_t>(begin),
                                           static_cast<size_t>(end - begin));
}

size_t TextColumns::TextBytes(size_t column) const noexcept {
  const Column& at = columns_[column];
  const std::string_view offsets = held_[at.held].bytes();
  return static_cast<size_t>(OffsetAt(offsets, at.offset + row_count_) -
                             OffsetAt(offsets, at.offset));
}

bool TextColumns::AddColumn(PyObject* layout) {
  const size_t held = held_.size();
  size_t offset = 0;
  if (!held_.emplace_back().Hold(PyTuple_GET_ITEM(layout, 0)) ||
      !held_.emplace_back().Hold(PyTuple_GET_ITEM(layout, 1)) ||
      !ConvertCount(PyTuple_GET_ITEM(layout, 2), "a column's offset", &offset))
    return false;
  const std::string_view offsets = held_[held].bytes();
  const size_t data_size = held_[held + 1].bytes().size();
  // offset + row_count + 1 offsets, counted so that no sum can wrap.
  const size_t available = offsets.size() / kOffsetSize;
  if (offset >= available || available - offset - 1 < row_count_) {
    PyErr_SetString(PyExc_ValueError, "a column holds fewer rows than given");
    return false;
  }
  // Offsets that start at 0 or later, never fall and end within the data keep
  // every cell within it.
  int32_t previous = OffsetAt(offsets, offset);
  bool sound = previous >= 0;
  for (size_t i = 1; sound && i <= row_count_; ++i) {
    const int32_t next = OffsetAt(offsets, offset + i);
    sound = next >= previous;
    previous = next;
  }
  if (!sound || static_cast<size_t>(previous) > data_size) {
    PyErr_SetString(PyExc_ValueError, "a column's offsets lie outside its data");
    return false;
  }
  columns_.push_back({held, offset});
  return true;
}

bool TextColumns::Init(PyObject* columns, PyObject* row_count) {
  if (!ConvertCount(row_count, "rows", &row_count_)) return false;
  const Py_ssize_t column_count = PySequence_Size(columns);
  if (column_count < 0) return false;
  held_.reserve(2 * static_cast<size_t>(column_count));  // no move while views are taken
  return ForEachTuple(columns, 3, "columns must be (offsets, data, offset) tuples",
                      [this](PyObject* layout) { return AddColumn(layout); });
}

bool TextRows::Init(PyObject* columns, PyObject* row_count, PyObject* fields, PyObject* keys,
                    PyObject* start) {
  if (!columns_.Init(columns, row_count) ||
      (start != nullptr && !ConvertCount(start, "start", &start_)))
    return false;
  if (start_ > columns_.rows()) {
    PyErr_SetString(PyExc_ValueError, "start is past the last row");
    return false;
  }
  const auto column_index = [this](PyObject* index, size_t* out) {
    if (!ConvertCount(index, "a column index", out)) return false;
    if (*out < columns_.count()) return true;
    PyErr_SetString(PyExc_IndexError, "a column index is out of range");
    return false;
  };
  if (!ForEachTuple(fields, 2, "fields must be (name, column index) tuples", [&](PyObject* field) {
        PyObject* name = PyTuple_GET_ITEM(field, 0);
        Py_ssize_t length = 0;
        const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
        if (utf8 == nullptr) {
          if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a field name must be str");
          return false;
        }
        Field& added = fields_.emplace_back();
        AppendMsgpackStr({utf8, static_cast<size_t>(length)}, &added.encoded_name);
        return column_index(PyTuple_GET_ITEM(field, 1), &added.column);
      }))
    return false;
  const PyRef key_list = PyRef::Steal(PySequence_Fast(keys, "keys must be column indices"));
  if (!key_list) return false;
  const Py_ssize_t key_count = PySequence_Fast_GET_SIZE(key_list.get());
  if (key_count == 0) {
    PyErr_SetString(PyExc_ValueError, "add_text_columns() needs at least one key column");
    return false;
  }
  for (Py_ssize_t i = 0; i < key_count; ++i)
    if (!column_index(PySequence_Fast_GET_ITEM(key_list.get(), i), &keys_.emplace_back()))
      return false;
  AppendMsgpackMapHeader(fields_.size(), &map_header_);
  return true;
}

void TextRows::Encode(size_t row, std::string* out) const {
  out->assign(map_header_);
  for (const Field& field : fields_) {
    out->append(field.encoded_name);
    AppendMsgpackStr(columns_.Cell(field.column, row), out);
  }
}

bool TextRows::Keys(size_t row, KeyViews* out) const {
  out->clear();
  for (const size_t column : keys_) {
    const std::string_view cell = columns_.Cell(column, row);
    if (cell.empty()) {
      PyErr_SetString(PyExc_ValueError, "a key cell is empty");
      return false;
    }
    if (Status fits = CheckKeyLength(AsBytes(cell)); !fits.ok()) {
      SetStoreError(fits.error());
      return false;
    }
    out->push_back(AsBytes(cell));
  }
  return true;
}

}  // namespace quordb::native

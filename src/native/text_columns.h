// Rows of text columns, stored as msgpack maps of field name to text with no
// Python object made per cell: what a CSV build hands a writer once its
// parser has cut a chunk into columns.
//
//   TextRows rows;
//   if (!rows.Init(columns, row_count, fields, keys, start)) return nullptr;
//   for (size_t row = rows.start(); row < rows.end(); ++row) {
//     rows.Encode(row, &payload);
//     if (!rows.Keys(row, &keys)) ...
//   }
//
// A column is laid out as Arrow lays out a string array: a buffer of 32-bit
// little-endian offsets (one more than its rows, from its own offset on) into a
// buffer of UTF-8 text. Python hands both as buffer objects, so neither this
// code nor the package depends on Arrow's headers. Every offset is checked
// once, in Init, so that a cell is never read past its buffer; the text is
// taken to be UTF-8, which the parser has checked.
//
// The map is the bytes msgspec writes for a dict of str to str in the same
// order, so that a file built from columns is the file built from records.
// Not thread-safe; holds the interpreter lock throughout.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "glue/held_buffer.h"
#include "native/add_checks.h"

namespace quordb::native {

// The columns, their buffers held and every offset checked.
class TextColumns {
 public:
  // `columns`: a sequence of (offsets, data, offset) per column; `row_count`
  // rows from each column's offset. False with the error set when an
  // argument is malformed or an offset is out of bounds.
  [[nodiscard]] bool Init(PyObject* columns, PyObject* row_count);

  size_t count() const noexcept { return columns_.size(); }
  size_t rows() const noexcept { return row_count_; }
  std::string_view Cell(size_t column, size_t row) const noexcept;
  // The bytes of all the cells of `column`.
  size_t TextBytes(size_t column) const noexcept;

 private:
  struct Column {
    size_t held;    // index into held_ of its offsets; data follows it
    size_t offset;  // its first row's place among the offsets
  };

  [[nodiscard]] bool AddColumn(PyObject* layout);

  std::vector<glue::HeldBuffer> held_;
  std::vector<Column> columns_;
  size_t row_count_ = 0;
};

class TextRows {
 public:
  // `columns` and `row_count` as TextColumns takes them; `fields`: the (name,
  // column index) pairs a map holds, in order; `keys`: the column indices
  // whose cells are a row's keys, in order; rows from `start` (null: 0) on
  // are added. False with the error set when an argument is malformed.
  [[nodiscard]] bool Init(PyObject* columns, PyObject* row_count, PyObject* fields, PyObject* keys,
                          PyObject* start);

  size_t start() const noexcept { return start_; }
  size_t end() const noexcept { return columns_.rows(); }

  // The msgpack map of `row` into `out`, which is cleared first.
  void Encode(size_t row, std::string* out) const;
  // The keys of `row` into `out`, which is cleared first: its cells in the
  // key columns, each of a length the format can hold and not empty (an
  // empty key cell is the caller's to refuse first). False with the error set.
  [[nodiscard]] bool Keys(size_t row, KeyViews* out) const;

 private:
  struct Field {
    std::string encoded_name;  // msgpack str
    size_t column;
  };

  TextColumns columns_;
  std::vector<Field> fields_;
  std::vector<size_t> keys_;
  std::string map_header_;
  size_t start_ = 0;
};

// Appends `text` as msgpack str, in the shortest form, as msgspec writes it.
void AppendMsgpackStr(std::string_view text, std::string* out);
// Appends the header of a msgpack map of `count` entries, in the shortest form.
void AppendMsgpackMapHeader(size_t count, std::string* out);

}  // namespace quordb::native

// quordb._native's scans of a chunk of input, which tell whether a fast but
// laxer parser read it as the strict one would: csv_marks(chunk, delimiter),
// the counts of line ends and of quotes that end a cell which the CSV reader
// weighs against pyarrow's parse (see python/quordb/_csv_rows.py), in one pass
// instead of one search per pattern; and jsonl_framed(block), which finds
// whether each line of JSON Lines is framed as one object, so that msgspec's
// decode_lines, which reads values across and within lines, gives a line's
// object per line (see python/quordb/_inputs.py); text_column_stats(columns,
// rows, delimiter), what the CSV reader weighs of the cells pyarrow parsed,
// from their Arrow buffers.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "glue/arguments.h"
#include "glue/entry_point.h"
#include "glue/held_buffer.h"
#include "glue/py_ref.h"
#include "native/text_columns.h"
#include "native/types.h"

namespace quordb::native {
namespace {

using glue::CallFunction;
using glue::FastcallMethod;
using glue::Signature;

struct Marks {
  size_t line_breaks = 0;
  size_t returns = 0;
  size_t crlfs = 0;
  size_t quote_ends = 0;  // quotes followed by the delimiter, a line end or nothing
};

Marks CountMarks(std::string_view chunk, std::string_view delimiter) {
  Marks marks;
  marks.line_breaks = static_cast<size_t>(std::count(chunk.begin(), chunk.end(), '\n'));
  // Carriage returns and quotes are rare: found with memchr, each looked at once.
  for (size_t at = chunk.find('\r'); at != std::string_view::npos; at = chunk.find('\r', at + 1)) {
    ++marks.returns;
    if (at + 1 < chunk.size() && chunk[at + 1] == '\n') ++marks.crlfs;
  }
  for (size_t at = chunk.find('"'); at != std::string_view::npos; at = chunk.find('"', at + 1)) {
    const std::string_view after = chunk.substr(at + 1);
    if (after.empty() || after.front() == '\n' || after.front() == '\r' ||
        after.starts_with(delimiter))
      ++marks.quote_ends;
  }
  return marks;
}

// JSON's whitespace within a line.
constexpr std::string_view kJsonBlanks = " \t\r";

// How many lines `block` holds (each ended by \n, the last one perhaps not),
// when each starts with { and ends with }, blanks aside; -1 otherwise. With
// that frame no JSON value can go on past its line: after a } inside an
// object or array only a comma, a } or a ] may follow, and a string may hold
// no line break. So when a parser that reads values across lines finds as
// many values as there are lines, it found one object per line.
Py_ssize_t FramedLines(std::string_view block) {
  Py_ssize_t lines = 0;
  while (!block.empty()) {
    const size_t end = std::min(block.find('\n'), block.size());
    const std::string_view line = block.substr(0, end);
    const size_t first = line.find_first_not_of(kJsonBlanks);
    if (first == std::string_view::npos || line[first] != '{' ||
        line[line.find_last_not_of(kJsonBlanks)] != '}')
      return -1;
    ++lines;
    block.remove_prefix(std::min(end + 1, block.size()));
  }
  return lines;
}

PyObject* JsonlFramed(PyObject*, PyObject* block) {
  return glue::CatchBoundary(
      [&]() -> PyObject* {
        if (!PyBytes_Check(block)) {
          PyErr_SetString(PyExc_TypeError, "jsonl_framed() takes bytes");
          return nullptr;
        }
        return PyLong_FromSsize_t(
            FramedLines({PyBytes_AS_STRING(block), static_cast<size_t>(PyBytes_GET_SIZE(block))}));
      },
      nullptr);
}

constexpr const char* kCsvMarksNames[] = {"chunk", "delimiter"};

PyObject* CsvMarks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"csv_marks()", kCsvMarksNames, 2};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    glue::HeldBuffer chunk;
    if (!chunk.Hold(matched[0])) return nullptr;
    if (!PyBytes_Check(matched[1]) || PyBytes_GET_SIZE(matched[1]) == 0) {
      PyErr_SetString(PyExc_TypeError, "csv_marks() takes a delimiter as bytes");
      return nullptr;
    }
    const Marks marks = CountMarks(
        chunk.bytes(),
        {PyBytes_AS_STRING(matched[1]), static_cast<size_t>(PyBytes_GET_SIZE(matched[1]))});
    return Py_BuildValue("(nnnn)", static_cast<Py_ssize_t>(marks.line_breaks),
                         static_cast<Py_ssize_t>(marks.returns),
                         static_cast<Py_ssize_t>(marks.crlfs),
                         static_cast<Py_ssize_t>(marks.quote_ends));
  });
}

constexpr const char* kTextColumnStatsNames[] = {"columns", "rows", "delimiter"};

PyObject* TextColumnStats(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"text_column_stats()", kTextColumnStatsNames, 3};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    TextColumns columns;
    if (!columns.Init(matched[0], matched[1])) return nullptr;
    if (!PyBytes_Check(matched[2])) {
      PyErr_SetString(PyExc_TypeError, "text_column_stats() takes a delimiter as bytes");
      return nullptr;
    }
    const std::string_view delimiter{PyBytes_AS_STRING(matched[2]),
                                     static_cast<size_t>(PyBytes_GET_SIZE(matched[2]))};
    size_t text_bytes = 0;
    size_t longest = 0;
    size_t opening_with_delimiter = 0;
    const glue::PyRef empty =
        glue::PyRef::Steal(PyTuple_New(static_cast<Py_ssize_t>(columns.count())));
    if (!empty) return nullptr;
    for (size_t column = 0; column < columns.count(); ++column) {
      text_bytes += columns.TextBytes(column);
      bool has_empty = false;
      for (size_t row = 0; row < columns.rows(); ++row) {
        const std::string_view cell = columns.Cell(column, row);
        longest = std::max(longest, cell.size());
        has_empty |= cell.empty();
        opening_with_delimiter += cell.starts_with(delimiter);
      }
      PyTuple_SET_ITEM(empty.get(), static_cast<Py_ssize_t>(column),
                       Py_NewRef(has_empty ? Py_True : Py_False));
    }
    return Py_BuildValue("(nnnO)", static_cast<Py_ssize_t>(text_bytes),
                         static_cast<Py_ssize_t>(longest),
                         static_cast<Py_ssize_t>(opening_with_delimiter), empty.get());
  });
}

PyMethodDef kFunctions[] = {
    {"text_column_stats", FastcallMethod<TextColumnStats>(), METH_FASTCALL | METH_KEYWORDS,
     "text_column_stats(columns, rows, delimiter)\n--\n\n"
     "(bytes of all cells, bytes of the longest, cells that start with *delimiter*, a bool\n"
     "per column: whether it has an empty cell) of text columns, given as\n"
     "add_text_columns takes them."},
    {"csv_marks", FastcallMethod<CsvMarks>(), METH_FASTCALL | METH_KEYWORDS,
     "csv_marks(chunk, delimiter)\n--\n\n"
     "(line breaks, carriage returns, \\r\\n pairs, quotes followed by *delimiter*, a line\n"
     "end or the end of *chunk*): the counts of *chunk*, a buffer, in one pass."},
    {"jsonl_framed", JsonlFramed, METH_O,
     "jsonl_framed(block, /)\n--\n\n"
     "How many lines the bytes *block* holds, when each starts with { and ends with }\n"
     "(JSON's blanks aside), else -1."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int AddChunkScanFunctions(PyObject* module) { return PyModule_AddFunctions(module, kFunctions); }

}  // namespace quordb::native

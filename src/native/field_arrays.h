// FieldArrays: the named fields of a batch of msgpack records, each field's
// values gathered into one msgpack array.
//
//   FieldArrays arrays(names);
//   for (each record) if (!arrays.Add(record)) fall back;  // AddAbsent() for none
//   PyObject* columns = arrays.Columns();  // list of bytes, one per name
//
// Why: a join wants a few fields of every record it finds. Picking them out
// natively, into one array a field, lets the caller decode a column in one
// call with no object made per record. The records may be walked where they
// lie (a reader's mapping) or in a packed copy; each record's fields are
// copied out as it is walked, while it is in the cache.
//
// A record's field is the value of the last key of its map that is text
// equal to the field's name, as a decoder of records or a dict of the whole
// object gives it; nil for a record that has no such key, is no map, or was
// never walked (a key that found nothing).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "core/format.h"

namespace quordb::native {

class FieldArrays {
 public:
  explicit FieldArrays(std::span<const std::string_view> names);

  // Adds the fields of the next record. False when it is not one
  // well-formed value spanning its bytes, or has a key the walk cannot
  // compare with a name (an array or a map): the arrays are then no use.
  // Needs no interpreter lock.
  bool Add(Bytes record);
  // Adds nil fields for a key that found no record.
  void AddAbsent();

  // New reference: a list of one msgpack array (bytes) per name, a value
  // per record added. Null with an error set.
  PyObject* Columns();

 private:
  std::span<const std::string_view> names_;
  std::vector<Bytes> last_;                   // the record's value of each field
  std::vector<std::vector<uint8_t>> arrays_;  // each field's array, its head left to Columns
  size_t records_ = 0;
};

// The field names of a Python sequence of str, viewed as UTF-8 in place
// (valid while `names` lives). False with an error set.
bool FieldNames(PyObject* names, std::vector<std::string_view>* out);

}  // namespace quordb::native

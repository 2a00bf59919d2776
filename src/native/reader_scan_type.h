// quordb._native.ReaderScan: the iterator that Reader.scan and
// Reader.scan_prefix hand out, a chunk of a key range at a time. It holds the
// engine it was made on, so that the file stays mapped until the scan is
// exhausted or dropped, whatever close() or refresh() do to its reader.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <memory>

#include "core/reader.h"

namespace quordb::native {

// An engine shared by a Reader and the calls and scans made on it.
using SharedReader = std::shared_ptr<const Reader>;

enum class ScanKind { kKeys, kValues, kItems };

// "keys", "values" or "items". False with ValueError set.
bool ConvertScanKind(PyObject* what, ScanKind* out);

// A new scan of `range` of `reader`, at most `chunk` entries a list. Values
// are `decode(view)` of each record in place when `decode` (borrowed) is not
// null, their stored bytes when it is; a scan whose decode fails ends there.
// New reference.
PyObject* NewReaderScan(SharedReader reader, EntryRange range, ScanKind kind, size_t chunk,
                        PyObject* decode = nullptr);

}  // namespace quordb::native

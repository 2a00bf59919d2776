// quordb._native.RecordView: a read-only buffer over one record's payload in
// a reader's mapping, handed to a decoder in place of a copy of the bytes.
//
//   RecordViews views;  // the spare view of a loop, or of a Reader
//   PyObject* decoded = views.Decode(decode, engine, payload);
//
// Why: a lookup used to copy every record out of the mapping into a fresh
// bytes object (above 512 bytes, a glibc malloc) only for the decoder to
// read it once and drop it. A decoder that takes any buffer reads the
// mapping itself instead.
//
// Lifetime: a view holds the engine whose mapping it points into, so the
// mapping outlives every view and whatever a decoder keeps of one (a
// msgspec.Raw, a memoryview field), whatever close() or refresh() do to the
// reader meanwhile. A view is pointed at the next record only while nothing
// else refers to it (no other reference, no buffer exported): a decoded
// object never sees another record's bytes, and the common case allocates
// nothing. The interpreter lock must be held for every call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/format.h"
#include "glue/py_ref.h"
#include "native/reader_scan_type.h"

namespace quordb::native {

// One spare view, kept between decodes.
class RecordViews {
 public:
  // `decode(view)`, the view over `payload`, a part of `engine`'s mapping,
  // called through vectorcall. New reference; null with an error set. The
  // spare is taken out for the call, so a decoder that decodes again through
  // the same RecordViews (a hook that looks up another key) makes its own.
  PyObject* Decode(PyObject* decode, const SharedReader& engine, Bytes payload);

  // Lets go of the spare view, and so of the engine it holds: a closed or
  // refreshed reader keeps no mapping alive through it.
  void Clear() noexcept { spare_ = glue::PyRef(); }

 private:
  glue::PyRef spare_;
};

}  // namespace quordb::native

#include "native/writer_adds.h"

namespace quordb::native {

bool UnpackPair(PyObject* item, glue::PyRef* pair) {
  if (!CheckIterable(item, "each item must be an (object, keys) pair")) return false;
  *pair = PyTuple_CheckExact(item) ? glue::PyRef::Borrow(item)
                                   : glue::PyRef::Steal(PySequence_Tuple(item));
  if (!*pair) return false;
  if (PyTuple_GET_SIZE(pair->get()) == 2) return true;
  PyErr_Format(PyExc_ValueError, "each item must be an (object, keys) pair, not %zd values",
               PyTuple_GET_SIZE(pair->get()));
  return false;
}

void SetPairIndex(uint64_t position) {
  PyObject* raised = PyErr_GetRaisedException();
  const glue::PyRef index = glue::PyRef::Steal(PyLong_FromUnsignedLongLong(position));
  if (!index || PyObject_SetAttrString(raised, "pair_index", index.get()) < 0) PyErr_Clear();
  PyErr_SetRaisedException(raised);
}

}  // namespace quordb::native

#include "native/types.h"

namespace quordb::native {

int AddReaderTypes(PyObject*) { return 0; }

}  // namespace quordb::native

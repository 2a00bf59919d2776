#include "native/types.h"

namespace quordb::native {

int AddStreamWriterTypes(PyObject*) { return 0; }

}  // namespace quordb::native

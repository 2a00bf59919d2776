#include "native/error_classes.h"

#include "glue/store_error.h"

namespace quordb::native {

std::nullptr_t SetStoreError(const StoreError& error) {
  return glue::SetStoreError(error, glue::BuiltinErrorClasses());
}

}  // namespace quordb::native

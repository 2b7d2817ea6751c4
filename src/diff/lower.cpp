#include "diff/lower.h"

#include "support/internal_error.h"

namespace morvalen::diff {

Result<ir::TypedDag, CanonLowerError> CanonFunction::lower_to_typed_dag() const {
  throw InternalError("canonical lowering: not implemented");
}

}  // namespace morvalen::diff

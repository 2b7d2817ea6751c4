#pragma once

// Canonical lowering: `CanonFunction::lower_to_typed_dag` (declared with
// `CanonFunction` in diff/builder.h) turns a canonical function back into a
// validated `TypedDag`. Its failures are `CanonLowerError` (diff/error.h):
// an output or operand id outside the expression list, a parameter missing
// from the signature or declared with another dtype, a call of an unknown
// builtin or with other than one argument, or a failed DAG validation.

#include "diff/builder.h"
#include "diff/error.h"
#include "diff/expr.h"

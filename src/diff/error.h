#pragma once

#include <cstddef>
#include <string>
#include <variant>

#include "diff/expr.h"
#include "ir/dag.h"
#include "ir/dtype.h"

namespace morvalen::diff {

/// A failure of the canonical builder. Never raised for algebraic reasons.
struct CanonBuildError {
  struct InvalidId {
    CanonExprId id;
  };
  struct DuplicateParameter {
    std::string name;
  };
  struct TooMany {};
  std::variant<InvalidId, DuplicateParameter, TooMany> detail;

  /// "invalid canonical expression id CanonExprId(7)",
  /// "duplicate parameter `x` in canonical function signature", or
  /// "too many canonical expressions".
  std::string to_string() const;
};

/// Why a derivative could not be built.
struct DiffError {
  struct UnknownVariable {
    std::string name;
  };
  struct NonFloatParameter {
    std::string name;
    ir::DType dtype;
  };
  struct TupleOutput {};
  struct UnsupportedCall {
    std::string name;
  };
  /// An inconsistent input DAG or a canonical builder failure; `text` is the
  /// detail without the "typed differentiation invariant failed: " prefix.
  struct Invariant {
    std::string text;
  };
  std::variant<UnknownVariable, NonFloatParameter, TupleOutput, UnsupportedCall, Invariant> detail;

  /// "unknown differentiation variable `y`",
  /// "differentiation requires a floating parameter, got `n: i32`",
  /// "differentiation does not support tuples",
  /// "differentiation does not support call `NAME`", or
  /// "typed differentiation invariant failed: " + text.
  std::string to_string() const;
};

/// Why a canonical function could not be turned back into a typed DAG.
struct CanonLowerError {
  struct InvalidId {
    CanonExprId id;
  };
  struct MissingParameter {
    std::string name;
  };
  struct ParameterDtypeMismatch {
    std::string name;
    ir::DType node_dtype;
    ir::DType signature_dtype;
  };
  struct UnknownBuiltin {
    std::string name;
  };
  struct ArityMismatch {
    std::string name;
    std::size_t expected = 0;
    std::size_t actual = 0;
  };
  struct Dag {
    ir::TypedDagError error;
  };
  std::variant<InvalidId, MissingParameter, ParameterDtypeMismatch, UnknownBuiltin, ArityMismatch, Dag> detail;

  /// "invalid canonical expression id CanonExprId(7)",
  /// "canonical parameter `x` missing from function signature",
  /// "canonical parameter `x` dtype mismatch: node uses f32, signature uses f64",
  /// "unknown builtin call `foo` in canonical lowering",
  /// "builtin `exp` expects 1 arguments, got 2", or the `TypedDagError` text.
  std::string to_string() const;
};

}  // namespace morvalen::diff

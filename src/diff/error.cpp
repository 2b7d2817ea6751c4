#include "diff/error.h"

#include <type_traits>

namespace morvalen::diff {
namespace {

std::string dtype_text(ir::DType dtype) { return std::string(ir::to_str(dtype)); }

}  // namespace

std::string CanonBuildError::to_string() const {
  return std::visit(
      [](const auto& e) -> std::string {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, InvalidId>) {
          return "invalid canonical expression id " + e.id.debug();
        } else if constexpr (std::is_same_v<T, DuplicateParameter>) {
          return "duplicate parameter `" + e.name + "` in canonical function signature";
        } else {
          return "too many canonical expressions";
        }
      },
      detail);
}

std::string DiffError::to_string() const {
  return std::visit(
      [](const auto& e) -> std::string {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, UnknownVariable>) {
          return "unknown differentiation variable `" + e.name + "`";
        } else if constexpr (std::is_same_v<T, NonFloatParameter>) {
          return "differentiation requires a floating parameter, got `" + e.name + ": " + dtype_text(e.dtype) + "`";
        } else if constexpr (std::is_same_v<T, TupleOutput>) {
          return "differentiation does not support tuples";
        } else if constexpr (std::is_same_v<T, UnsupportedCall>) {
          return "differentiation does not support call `" + e.name + "`";
        } else {
          return "typed differentiation invariant failed: " + e.text;
        }
      },
      detail);
}

std::string CanonLowerError::to_string() const {
  return std::visit(
      [](const auto& e) -> std::string {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, InvalidId>) {
          return "invalid canonical expression id " + e.id.debug();
        } else if constexpr (std::is_same_v<T, MissingParameter>) {
          return "canonical parameter `" + e.name + "` missing from function signature";
        } else if constexpr (std::is_same_v<T, ParameterDtypeMismatch>) {
          return "canonical parameter `" + e.name + "` dtype mismatch: node uses " + dtype_text(e.node_dtype) +
                 ", signature uses " + dtype_text(e.signature_dtype);
        } else if constexpr (std::is_same_v<T, UnknownBuiltin>) {
          return "unknown builtin call `" + e.name + "` in canonical lowering";
        } else if constexpr (std::is_same_v<T, ArityMismatch>) {
          return "builtin `" + e.name + "` expects " + std::to_string(e.expected) + " arguments, got " +
                 std::to_string(e.actual);
        } else {
          return e.error.to_string();
        }
      },
      detail);
}

}  // namespace morvalen::diff

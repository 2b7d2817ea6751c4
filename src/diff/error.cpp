#include "diff/error.h"

#include "support/overloaded.h"

namespace morvalen::diff {
namespace {

std::string dtype_text(ir::DType dtype) { return std::string(ir::to_str(dtype)); }

}  // namespace

std::string CanonBuildError::to_string() const {
  return std::visit(support::Overloaded{
                        [](const InvalidId& e) { return "invalid canonical expression id " + e.id.debug(); },
                        [](const DuplicateParameter& e) {
                          return "duplicate parameter `" + e.name + "` in canonical function signature";
                        },
                        [](const TooMany&) { return std::string("too many canonical expressions"); },
                    },
                    detail);
}

std::string DiffError::to_string() const {
  return std::visit(
      support::Overloaded{
          [](const UnknownVariable& e) { return "unknown differentiation variable `" + e.name + "`"; },
          [](const NonFloatParameter& e) {
            return "differentiation requires a floating parameter, got `" + e.name + ": " + dtype_text(e.dtype) + "`";
          },
          [](const TupleOutput&) { return std::string("differentiation does not support tuples"); },
          [](const UnsupportedCall& e) { return "differentiation does not support call `" + e.name + "`"; },
          [](const Invariant& e) { return "typed differentiation invariant failed: " + e.text; },
      },
      detail);
}

std::string CanonLowerError::to_string() const {
  return std::visit(
      support::Overloaded{
          [](const InvalidId& e) { return "invalid canonical expression id " + e.id.debug(); },
          [](const MissingParameter& e) {
            return "canonical parameter `" + e.name + "` missing from function signature";
          },
          [](const ParameterDtypeMismatch& e) {
            return "canonical parameter `" + e.name + "` dtype mismatch: node uses " + dtype_text(e.node_dtype) +
                   ", signature uses " + dtype_text(e.signature_dtype);
          },
          [](const UnknownBuiltin& e) { return "unknown builtin call `" + e.name + "` in canonical lowering"; },
          [](const ArityMismatch& e) {
            return "builtin `" + e.name + "` expects " + std::to_string(e.expected) + " arguments, got " +
                   std::to_string(e.actual);
          },
          [](const Dag& e) { return e.error.to_string(); },
      },
      detail);
}

}  // namespace morvalen::diff

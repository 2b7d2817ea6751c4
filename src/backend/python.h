#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ir/dag.h"

namespace morvalen::backend {

/// True exactly when `name` is non-empty, made of ASCII letters, ASCII digits
/// and `_`, does not start with a digit, and is not one of the 35 Python
/// keywords (case-sensitive). Non-ASCII letters are rejected.
bool is_valid_python_identifier(std::string_view name);

/// True for the names the emitted code itself reads: the module "math" and the
/// builtins "abs", "bool", "complex", "float" and "int". A function or a
/// parameter under one of these names would shadow what the code calls.
bool is_reserved_python_name(std::string_view name);

/// The names the emitted function gives its parameters, in declaration order.
/// A declared name is kept when it is a valid identifier, not reserved, not a
/// temporary's name ("t" followed by digits) and not taken by an earlier
/// parameter; otherwise parameter j is "p" + j, with "_" appended while that
/// name is taken.
std::vector<std::string> python_parameter_names(const std::vector<ir::ParamDecl>& params);

/// `python_parameter_names` for emitted text that reads other global names:
/// a declared name for which `is_reserved` answers true is replaced as a
/// reserved name is above.
std::vector<std::string> parameter_names_avoiding(const std::vector<ir::ParamDecl>& params,
                                                  bool (*is_reserved)(std::string_view));

/// The source of a Python module that imports `math` and defines the function
/// `function_name` (already checked by the caller) computing the DAG's outputs
/// in three-address form: one temporary "t" + i per node reachable from an
/// output, a tuple returned for other than one output.
///
/// Throws `InternalError` for a `Param` index beyond the parameters ("invalid
/// Param index in TypedDag"), a `Call` without arguments ("Call node must have
/// at least one argument") or an operand that does not precede its user.
std::string emit_python(const ir::TypedDag& dag, std::string_view function_name);

}  // namespace morvalen::backend

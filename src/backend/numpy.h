#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ir/dag.h"

namespace morvalen::backend {

/// True for the names the emitted numpy module defines or imports at module
/// level: "np", "ml_dtypes" and its helper functions ("_arg", "_sigmoid",
/// "_int_pow"), whether or not one program's text needs them. A function or a
/// parameter under one of these names would shadow what the code calls.
bool is_reserved_numpy_name(std::string_view name);

/// The names the emitted numpy function gives its parameters: the rule of
/// `python_parameter_names`, with the numpy module's reserved names.
std::vector<std::string> numpy_parameter_names(const std::vector<ir::ParamDecl>& params);

/// The source of a Python module that imports numpy (and ml_dtypes when a
/// `bf16` value is computed) and defines the function `function_name`
/// (already checked by the caller) computing the DAG's outputs element-wise
/// over arrays, in three-address form: one temporary "t" + i per node
/// reachable from an output, a tuple returned for other than one output. A
/// temporary holding an array is deleted after its last use, so that each
/// intermediate array is freed as soon as it is consumed.
///
/// Every argument is converted to its parameter's dtype (an array of another
/// library with its own `astype`, so that it stays lazy) and every node is
/// computed in its own dtype, inside `np.errstate(all="ignore")`: floating
/// results follow IEEE without warnings, integers wrap and integer division
/// by zero gives 0. `softplus` and `sigmoid` use stable forms, `if` selects
/// per element with `np.where`. A float-valued builtin of an integer or bool
/// operand computes in float64 and converts back with `astype`; `abs`,
/// `relu`, `floor` and `ceil` stay exact on integers. What numpy leaves
/// undefined for complex values (`%`, `//`, `floor`, `ceil`) gives NaN.
///
/// Throws `InternalError` for a `Param` index beyond the parameters ("invalid
/// Param index in TypedDag"), a `Call` without arguments ("Call node must have
/// at least one argument") or an operand that does not precede its user.
std::string emit_numpy(const ir::TypedDag& dag, std::string_view function_name);

}  // namespace morvalen::backend

#include "api.h"

#include <charconv>
#include <utility>

#include "backend/numpy.h"
#include "backend/program.h"
#include "backend/python.h"
#include "backend/source_shape.h"
#include "diff/engine.h"
#include "ir/lower.h"
#include "ir/merge.h"
#include "opt/const_fold.h"
#include "opt/optimize.h"
#include "parse/parser.h"
#include "repl.h"
#include "support/internal_error.h"
#include "support/overloaded.h"

namespace morvalen::api {

namespace {

ApiError make_error(auto alternative) { return ApiError{std::move(alternative)}; }

// The optimizer runs with fixed settings: never the aggressive rules.
Result<ir::TypedDag, ApiError> optimized(const ir::TypedDag& dag) {
  opt::OptConfig config;
  config.aggressive = false;
  config.aggressive_override = std::nullopt;
  auto result = opt::optimize_with_info_and_config(dag, config);
  if (!result) return unexpected(make_error(ApiError::Optimize{result.error().to_string()}));
  return std::move(result->dag);
}

// The text operations answer for exactly one output expression.
Result<void, ApiError> require_single_output(const ir::TypedDag& dag) {
  const std::size_t count = dag.outputs().size();
  if (count != 1) return unexpected(make_error(ApiError::OutputCount{static_cast<std::uint64_t>(count)}));
  return {};
}

// Renders the only output of a folded DAG.
Result<std::string, ApiError> render_single_output(const ir::TypedDag& folded) {
  MORVALEN_TRY_VOID(require_single_output(folded));
  auto text = repl::render_simplified_expr(folded, folded.outputs().front());
  if (!text) return unexpected(make_error(ApiError::OutputTooLong{text.error().to_string()}));
  return std::move(text).value();
}

// Writes the only output of a folded DAG as a program. The DAG is brought
// into the shape of source text first and folded again there (a constant
// converted for its place may let its user fold), so that the text reads back
// into the very DAG it was written from.
Result<std::string, ApiError> write_single_output(const ir::TypedDag& folded) {
  MORVALEN_TRY_VOID(require_single_output(folded));
  auto text = backend::render_program(opt::const_fold(backend::in_source_shape(folded)).dag);
  if (!text) return unexpected(make_error(ApiError::OutputTooLong{text.error().to_string()}));
  return std::move(text).value();
}

// Folds `dag` in its own tables: on large programs no second DAG is held.
// The fold's diagnostics are dropped.
ir::TypedDag folded(ir::TypedDag&& dag) { return opt::const_fold(std::move(dag)).dag; }

// Folds, then renders the only output.
Result<std::string, ApiError> fold_and_render(ir::TypedDag&& dag) {
  return render_single_output(folded(std::move(dag)));
}

// The derivative that `diff` renders: differentiated from the program as
// lowered (never folded or optimized), optimized on request, always folded.
Result<ir::TypedDag, ApiError> derivative_dag(const ir::TypedDag& primal, std::string_view variable, bool optimize) {
  diff::TypedDagDifferentiator differentiator(primal);
  auto derivative = differentiator.differentiate(variable);
  if (!derivative) return unexpected(make_error(ApiError::Diff{std::move(derivative).error()}));
  auto lowered = derivative->lower_to_typed_dag();
  // The canonical expressions are done with: free them before folding.
  (void)diff::CanonFunction(std::move(*derivative));
  if (!lowered) {
    return unexpected(make_error(ApiError::Lower{"differentiation lowering failed: " + lowered.error().to_string()}));
  }
  if (!optimize) return opt::const_fold(std::move(*lowered)).dag;
  MORVALEN_TRY(better, optimized(*lowered));
  return opt::const_fold(std::move(better)).dag;
}

bool is_valid_function_name(std::string_view name, Backend backend) {
  if (!backend::is_valid_python_identifier(name)) return false;
  switch (backend) {
    case Backend::Python:
      return !backend::is_reserved_python_name(name);
    case Backend::Numpy:
      return !backend::is_reserved_numpy_name(name);
  }
  return false;
}

}  // namespace

std::string ApiError::to_string() const {
  return std::visit(support::Overloaded{
                        [](const Parse& e) { return "parse failed: " + e.message; },
                        [](const Lower& e) { return "lowering failed: " + e.message; },
                        [](const Optimize& e) { return "optimization failed: " + e.message; },
                        [](const InvalidFunctionName& e) {
                          return "invalid Python function name `" + e.name +
                                 "`: expected a non-keyword identifier matching [A-Za-z_][A-Za-z0-9_]*";
                        },
                        [](const OutputCount& e) {
                          char digits[24];
                          auto end = std::to_chars(digits, digits + sizeof digits, e.count).ptr;
                          return "expected a single output expression, got " + std::string(digits, end);
                        },
                        [](const Diff& e) { return e.error.to_string(); },
                        [](const OutputTooLong& e) { return e.message; },
                    },
                    detail);
}

std::string format_diags(const std::vector<diag::Diag>& diags) {
  std::string text;
  for (std::size_t i = 0; i < diags.size(); ++i) {
    if (i != 0) text += "; ";
    text += diags[i].message;
  }
  return text;
}

namespace {
constexpr std::size_t kSourceBytesPerNode = 4;
}  // namespace

Result<ir::TypedDag, ApiError> parsed_and_lowered_dag(std::string_view source) {
  auto program = parse::parse_dsl_with_errors(source);
  if (!program) return unexpected(make_error(ApiError::Parse{format_diags(program.error())}));
  // A fresh default configuration per call: no overrides, warnings stay
  // warnings. Only the errors are looked at, so the warnings are not built.
  diag::DiagConfig config;
  // Programs spend several bytes of source per node ("x * 2.5" is three
  // nodes); a table that size grows without a copy on large programs, and
  // the room it leaves unused is never touched.
  ir::LowerResultWithErrors lowered =
      ir::lower_with_config_collect_errors(*program, config, source.size() / kSourceBytesPerNode);
  if (!lowered.errors.empty()) return unexpected(make_error(ApiError::Lower{format_diags(lowered.errors)}));
  return std::move(lowered.dag);
}

Result<ir::TypedDag, ApiError> lowered_dag(std::string_view source, bool optimize) {
  auto dag = parsed_and_lowered_dag(source);
  if (!dag || !optimize) return dag;
  return optimized(*dag);
}

Result<std::string, ApiError> simplify_expr(std::string_view source, bool optimize) {
  // The DAG is handed on where it lies: every move of it costs on short calls.
  auto dag = parsed_and_lowered_dag(source);
  if (!dag) return unexpected(std::move(dag).error());
  if (optimize) {
    MORVALEN_TRY(better, optimized(*dag));
    return fold_and_render(std::move(better));
  }
  return fold_and_render(std::move(*dag));
}

Result<std::string, ApiError> emit_python(std::string_view source, std::string_view function_name, bool optimize) {
  // `math`, `float` and the like are valid identifiers, but the emitted text
  // defines the function at module level, where `def math(...)` or
  // `def float(...)` would rebind the name that the body calls.
  if (!backend::is_valid_python_identifier(function_name) || backend::is_reserved_python_name(function_name)) {
    return unexpected(make_error(ApiError::InvalidFunctionName{std::string(function_name)}));
  }
  MORVALEN_TRY(dag, lowered_dag(source, optimize));
  return backend::emit_python(dag, function_name);
}

Result<std::string, ApiError> diff(std::string_view source, std::string_view variable, bool optimize) {
  MORVALEN_TRY(primal, parsed_and_lowered_dag(source));
  MORVALEN_TRY(derivative, derivative_dag(primal, variable, optimize));
  return render_single_output(derivative);
}

Result<std::string, ApiError> simplify_program(std::string_view source, bool optimize) {
  MORVALEN_TRY(dag, lowered_dag(source, optimize));
  return write_single_output(folded(std::move(dag)));
}

Result<std::string, ApiError> diff_program(std::string_view source, std::string_view variable, bool optimize) {
  MORVALEN_TRY(primal, parsed_and_lowered_dag(source));
  MORVALEN_TRY(derivative, derivative_dag(primal, variable, optimize));
  return write_single_output(derivative);
}

Result<ir::TypedDag, ApiError> value_and_gradient_dag(std::string_view source, std::span<const std::string> wrt,
                                                      bool optimize) {
  MORVALEN_TRY(primal, parsed_and_lowered_dag(source));
  std::vector<ir::TypedDag> parts;
  parts.reserve(wrt.size() + 1);
  for (const std::string& variable : wrt) {
    MORVALEN_TRY(derivative, derivative_dag(primal, variable, optimize));
    parts.push_back(std::move(derivative));
  }
  if (optimize) {
    MORVALEN_TRY(value, optimized(primal));
    parts.insert(parts.begin(), std::move(value));
  } else {
    parts.insert(parts.begin(), std::move(primal));
  }
  return ir::merge_outputs(parts);
}

Result<std::string, ApiError> emit(std::string_view source, std::string_view function_name, Backend backend,
                                   bool optimize, std::span<const std::string> wrt) {
  if (!is_valid_function_name(function_name, backend)) {
    return unexpected(make_error(ApiError::InvalidFunctionName{std::string(function_name)}));
  }
  MORVALEN_TRY(dag, wrt.empty() ? lowered_dag(source, optimize) : value_and_gradient_dag(source, wrt, optimize));
  switch (backend) {
    case Backend::Python:
      return backend::emit_python(dag, function_name);
    case Backend::Numpy:
      return backend::emit_numpy(dag, function_name);
  }
  throw InternalError("unknown back end");
}

}  // namespace morvalen::api

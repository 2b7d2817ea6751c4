#include "api.h"

#include <charconv>
#include <utility>

#include "backend/python.h"
#include "diff/engine.h"
#include "ir/lower.h"
#include "opt/const_fold.h"
#include "opt/optimize.h"
#include "parse/parser.h"
#include "repl.h"
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

// Folds, then renders the only output; the fold's diagnostics are dropped.
Result<std::string, ApiError> fold_and_render(const ir::TypedDag& dag) {
  opt::FoldResult folded = opt::const_fold(dag);
  const auto& outputs = folded.dag.outputs();
  if (outputs.size() != 1) {
    return unexpected(make_error(ApiError::OutputCount{static_cast<std::uint64_t>(outputs.size())}));
  }
  auto text = repl::render_simplified_expr(folded.dag, outputs.front());
  if (!text) return unexpected(make_error(ApiError::OutputTooLong{text.error().to_string()}));
  return std::move(text).value();
}

}  // namespace

std::string ApiError::to_string() const {
  return std::visit(
      support::Overloaded{
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

Result<ir::TypedDag, ApiError> parsed_and_lowered_dag(std::string_view source) {
  auto program = parse::parse_dsl_with_errors(source);
  if (!program) return unexpected(make_error(ApiError::Parse{format_diags(program.error())}));
  // A fresh default configuration per call: no overrides, warnings stay warnings.
  diag::DiagConfig config;
  ir::LowerResultWithErrors lowered = ir::lower_with_config_collect(*program, config);
  if (!lowered.errors.empty()) return unexpected(make_error(ApiError::Lower{format_diags(lowered.errors)}));
  return std::move(lowered.dag);
}

Result<ir::TypedDag, ApiError> lowered_dag(std::string_view source, bool optimize) {
  auto dag = parsed_and_lowered_dag(source);
  if (!dag || !optimize) return dag;
  return optimized(*dag);
}

Result<std::string, ApiError> simplify_expr(std::string_view source, bool optimize) {
  MORVALEN_TRY(dag, lowered_dag(source, optimize));
  return fold_and_render(dag);
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
  // The primal program is differentiated as lowered, never folded or optimized.
  MORVALEN_TRY(primal, parsed_and_lowered_dag(source));
  diff::TypedDagDifferentiator differentiator(primal);
  auto derivative = differentiator.differentiate(variable);
  if (!derivative) return unexpected(make_error(ApiError::Diff{std::move(derivative).error()}));
  auto lowered = derivative->lower_to_typed_dag();
  if (!lowered) {
    return unexpected(
        make_error(ApiError::Lower{"differentiation lowering failed: " + lowered.error().to_string()}));
  }
  if (!optimize) return fold_and_render(*lowered);
  MORVALEN_TRY(better, optimized(*lowered));
  return fold_and_render(better);
}

}  // namespace morvalen::api

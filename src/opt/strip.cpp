#include "opt/strip.h"

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "ir/dtype.h"
#include "ir/ops.h"
#include "support/kept.h"

namespace morvalen::opt {
namespace {

// The DAG-to-term map, kept per thread: short terms then need no allocation.
struct KeptMapTag {};
using KeptMap = support::Kept<std::vector<std::optional<Id>>, KeptMapTag, std::size_t{1} << 14>;

// Appends term nodes for the DAG nodes in order; `map_[i]` is set once node i
// has been converted, so an operand that does not precede its user is missing.

class Stripper {
 public:
  Stripper(const ir::TypedDag& dag, std::vector<std::optional<Id>>& map, StripResult& out)
      : dag_(dag), map_(map), out_(out), expr_(out.expr), node_dtypes_(out.types.node_dtypes) {
    map_.assign(dag.size(), std::nullopt);
    expr_.clear();
    node_dtypes_.clear();
    out_.types.param_dtypes.clear();
    out_.types.output_dtypes.clear();
    // One term node per DAG node, two for parameters and casts.
    expr_.reserve(dag.size() + dag.params().size() + 8);
    node_dtypes_.reserve(dag.size() + dag.params().size() + 8);
  }

  Result<void, OptError> run() {
    if (dag_.outputs().empty()) return unexpected(OptError::invalid_expr("DAG has no output"));
    for (std::size_t i = 0; i < dag_.size(); ++i) {
      current_ = i;
      std::optional<OptError> error =
          std::visit([&](const auto& node) { return convert(node, dag_.dtypes()[i]); }, dag_.nodes()[i]);
      if (error) return unexpected(std::move(*error));
      map_[i] = last_;
    }
    for (const ir::ParamDecl& p : dag_.params()) out_.types.param_dtypes.push_back(p.dtype);
    for (ir::NodeId o : dag_.outputs()) out_.types.output_dtypes.push_back(dag_.dtype(o));
    out_.output = *map_[dag_.outputs().front().value];
    return {};
  }

 private:
  Id push(const MathLang& node, ir::DType dtype) {
    last_ = expr_.add(node);
    node_dtypes_.push_back(dtype);
    return last_;
  }

  std::optional<Id> lookup(ir::NodeId id) const {
    if (id.value >= current_) return std::nullopt;
    return map_[id.value];
  }

  OptError missing(const char* what) const {
    return OptError::invalid_expr(std::string("missing ") + what + " mapping for node " + std::to_string(current_));
  }

  [[nodiscard]] std::optional<OptError> convert(const ir::Param& p, ir::DType d) {
    Id index = push(MathLang::make_int(static_cast<std::int64_t>(p.index)), ir::DType::i64());
    push(MathLang::make(MathKind::Param, index), d);
    return std::nullopt;
  }

  [[nodiscard]] std::optional<OptError> convert(const ir::Const& c, ir::DType d) {
    if (const bool* b = std::get_if<bool>(&c.value)) {
      push(MathLang::make_bool(*b), d);
    } else if (const std::int64_t* v = std::get_if<std::int64_t>(&c.value)) {
      push(MathLang::make_int(*v), d);
    } else if (const double* x = std::get_if<double>(&c.value)) {
      push(MathLang::make_num(*x), d);
    } else {
      const auto& z = std::get<ir::ComplexValue>(c.value);
      ir::DType part = d == ir::DType::c64() ? ir::DType::f32() : ir::DType::f64();
      Id re = push(MathLang::make_num(z.re), part);
      Id im = push(MathLang::make_num(z.im), part);
      push(MathLang::make(MathKind::Complex, re, im), d);
    }
    return std::nullopt;
  }

  [[nodiscard]] std::optional<OptError> convert(const ir::Unary& u, ir::DType d) {
    auto arg = lookup(u.arg);
    if (!arg) return missing("unary child");
    push(MathLang::make(ir::info(u.op).term, *arg), d);
    return std::nullopt;
  }

  [[nodiscard]] std::optional<OptError> convert(const ir::Binary& b, ir::DType d) {
    auto lhs = lookup(b.lhs);
    if (!lhs) return missing("binary lhs");
    auto rhs = lookup(b.rhs);
    if (!rhs) return missing("binary rhs");
    push(MathLang::make(ir::info(b.op).term, *lhs, *rhs), d);
    return std::nullopt;
  }

  [[nodiscard]] std::optional<OptError> convert(const ir::If& n, ir::DType d) {
    auto cond = lookup(n.cond);
    if (!cond) return missing("if condition");
    auto then_branch = lookup(n.then_branch);
    if (!then_branch) return missing("if true branch");
    auto else_branch = lookup(n.else_branch);
    if (!else_branch) return missing("if false branch");
    push(MathLang::make(MathKind::IfElse, *cond, *then_branch, *else_branch), d);
    return std::nullopt;
  }

  [[nodiscard]] std::optional<OptError> convert(const ir::Call& c, ir::DType d) {
    if (c.args.size() != 1) return OptError::unsupported_call(std::string(ir::to_str(c.builtin)));
    auto arg = lookup(c.args.front());
    if (!arg) return missing("call arg");
    push(MathLang::make(ir::info(c.builtin).term, *arg), d);
    return std::nullopt;
  }

  [[nodiscard]] std::optional<OptError> convert(const ir::Cast& c, ir::DType) {
    auto arg = lookup(c.arg);
    if (!arg) return missing("cast child");
    std::string text = c.is_explicit ? "explicit:" : "";
    text += ir::to_str(c.dtype);
    Id token = push(MathLang::make_token(text), c.dtype);
    push(MathLang::make(MathKind::Cast, token, *arg), c.dtype);
    return std::nullopt;
  }

  const ir::TypedDag& dag_;
  std::vector<std::optional<Id>>& map_;
  StripResult& out_;
  RecExpr& expr_;
  std::vector<ir::DType>& node_dtypes_;
  std::size_t current_ = 0;
  Id last_{};
};

}  // namespace

Result<StripResult, OptError> strip_types(const ir::TypedDag& dag) {
  StripResult result;
  MORVALEN_TRY_VOID(strip_types_into(dag, result));
  return result;
}

Result<void, OptError> strip_types_into(const ir::TypedDag& dag, StripResult& out) {
  KeptMap map;
  return Stripper(dag, map.value, out).run();
}

}  // namespace morvalen::opt

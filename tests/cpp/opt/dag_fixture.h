#pragma once

// Small helpers for the optimizer tests: building typed DAGs by hand and
// rendering one output as compact text for whole-result assertions.

#include <charconv>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "ir/dag.h"
#include "ir/dtype.h"
#include "ir/node.h"
#include "ir/ops.h"

namespace morvalen::opt::testing {

/// Appends nodes with the dtypes that lowering would give them.
class DagMaker {
 public:
  ir::NodeId param(std::string name, ir::DType dtype) {
    ir::NodeId id = builder_.push(ir::Param{params_.size()}, dtype);
    params_.push_back({std::move(name), dtype});
    return id;
  }
  ir::NodeId int_const(std::int64_t v, ir::DType dtype) { return builder_.push(ir::Const{v}, dtype); }
  ir::NodeId float_const(double v, ir::DType dtype) { return builder_.push(ir::Const{v}, dtype); }
  ir::NodeId bool_const(bool v) { return builder_.push(ir::Const{v}, ir::DType::boolean()); }
  ir::NodeId complex_const(double re, double im, ir::DType dtype) {
    return builder_.push(ir::Const{ir::ComplexValue{re, im}}, dtype);
  }
  /// Arithmetic keeps the lhs dtype (both operands already carry it).
  ir::NodeId bin(ir::BinaryOp op, ir::NodeId lhs, ir::NodeId rhs) {
    ir::DType t = (ir::is_comparison(op) || ir::is_logical(op)) ? ir::DType::boolean() : builder_.dtype(lhs);
    return builder_.push(ir::Binary{op, lhs, rhs}, t);
  }
  ir::NodeId add(ir::NodeId lhs, ir::NodeId rhs) { return bin(ir::BinaryOp::Add, lhs, rhs); }
  ir::NodeId mul(ir::NodeId lhs, ir::NodeId rhs) { return bin(ir::BinaryOp::Mul, lhs, rhs); }
  ir::NodeId neg(ir::NodeId arg) { return builder_.push(ir::Unary{arg, ir::UnaryOp::Neg}, builder_.dtype(arg)); }
  ir::NodeId logical_not(ir::NodeId arg) {
    return builder_.push(ir::Unary{arg, ir::UnaryOp::Not}, ir::DType::boolean());
  }
  ir::NodeId call(ir::Builtin builtin, ir::NodeId arg) {
    return builder_.push(ir::Call{builtin, {arg}}, builder_.dtype(arg));
  }
  ir::NodeId call_n(ir::Builtin builtin, std::vector<ir::NodeId> args, ir::DType dtype) {
    return builder_.push(ir::Call{builtin, std::move(args)}, dtype);
  }
  ir::NodeId cast(ir::NodeId arg, ir::DType dtype, bool is_explicit) {
    return builder_.push(ir::Cast{arg, dtype, is_explicit}, dtype);
  }
  ir::NodeId select(ir::NodeId cond, ir::NodeId then_branch, ir::NodeId else_branch) {
    return builder_.push(ir::If{cond, then_branch, else_branch}, builder_.dtype(then_branch));
  }

  ir::TypedDag finish(std::vector<ir::NodeId> outputs) && {
    return std::move(builder_).finish(std::move(params_), std::move(outputs), "test DAG invalid: ");
  }
  ir::TypedDag finish(ir::NodeId output) && { return std::move(*this).finish(std::vector<ir::NodeId>{output}); }

 private:
  ir::DagBuilder builder_;
  std::vector<ir::ParamDecl> params_;
};

inline std::string number_text(double v) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

inline std::string binary_name(ir::BinaryOp op) {
  switch (op) {
    case ir::BinaryOp::Add:
      return "add";
    case ir::BinaryOp::Sub:
      return "sub";
    case ir::BinaryOp::Mul:
      return "mul";
    case ir::BinaryOp::Div:
      return "div";
    case ir::BinaryOp::FloorDiv:
      return "floordiv";
    case ir::BinaryOp::Rem:
      return "rem";
    case ir::BinaryOp::Pow:
      return "pow";
    case ir::BinaryOp::Eq:
      return "eq";
    case ir::BinaryOp::Ne:
      return "ne";
    case ir::BinaryOp::Lt:
      return "lt";
    case ir::BinaryOp::Le:
      return "le";
    case ir::BinaryOp::Gt:
      return "gt";
    case ir::BinaryOp::Ge:
      return "ge";
    case ir::BinaryOp::And:
      return "and";
    case ir::BinaryOp::Or:
      return "or";
  }
  return "?";
}

/// Renders the tree under `id`: parameters by name, constants as value:dtype,
/// casts as cast<dtype>(x) or cast<explicit:dtype>(x), everything else as a call.
inline std::string show(const ir::TypedDag& dag, ir::NodeId id) {
  const ir::Node& node = dag.node(id);
  std::string t(ir::to_str(dag.dtype(id)));
  if (const auto* p = std::get_if<ir::Param>(&node)) return dag.params()[p->index].name;
  if (const auto* c = std::get_if<ir::Const>(&node)) {
    if (const auto* b = std::get_if<bool>(&c->value)) return std::string(*b ? "true" : "false") + ":" + t;
    if (const auto* i = std::get_if<std::int64_t>(&c->value)) return std::to_string(*i) + ":" + t;
    if (const auto* f = std::get_if<double>(&c->value)) return number_text(*f) + "f:" + t;
    const auto& z = std::get<ir::ComplexValue>(c->value);
    return "(" + number_text(z.re) + "," + number_text(z.im) + "):" + t;
  }
  if (const auto* u = std::get_if<ir::Unary>(&node))
    return std::string(u->op == ir::UnaryOp::Neg ? "neg" : "not") + "(" + show(dag, u->arg) + ")";
  if (const auto* b = std::get_if<ir::Binary>(&node))
    return binary_name(b->op) + "(" + show(dag, b->lhs) + ", " + show(dag, b->rhs) + ")";
  if (const auto* f = std::get_if<ir::If>(&node))
    return "if(" + show(dag, f->cond) + ", " + show(dag, f->then_branch) + ", " + show(dag, f->else_branch) + ")";
  if (const auto* c = std::get_if<ir::Call>(&node)) {
    std::string out(ir::to_str(c->builtin));
    out += "(";
    for (std::size_t k = 0; k < c->args.size(); ++k) out += (k ? ", " : "") + show(dag, c->args[k]);
    return out + ")";
  }
  const auto& c = std::get<ir::Cast>(node);
  return "cast<" + std::string(c.is_explicit ? "explicit:" : "") + t + ">(" + show(dag, c.arg) + ")";
}

/// The rendering of the DAG's first output.
inline std::string show_output(const ir::TypedDag& dag) { return show(dag, dag.outputs().at(0)); }

}  // namespace morvalen::opt::testing

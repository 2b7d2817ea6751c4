#include "backend/source_shape.h"

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "backend/const_text.h"
#include "backend/reachable.h"
#include "ir/const_conv.h"
#include "ir/ops.h"
#include "support/internal_error.h"

namespace morvalen::backend {
namespace {

using ir::DType;
using ir::NodeId;

// The dtype both sides of a comparison are cast to.
DType common_dtype(const OperandView& a, const OperandView& b) {
  if (a.dtype == b.dtype) return a.dtype;
  if (a.constant != nullptr && is_overflowed_const(*a.constant, a.dtype, b.dtype)) return b.dtype;
  if (b.constant != nullptr && is_overflowed_const(*b.constant, b.dtype, a.dtype)) return a.dtype;
  auto promoted = ir::promote(a.dtype, b.dtype);
  return promoted ? *promoted : a.dtype;
}

class Shaper {
 public:
  explicit Shaper(const ir::TypedDag& in) : in_(in), map_(in.size()) {}

  ir::TypedDag run() && {
    const std::vector<bool> needed = reachable_nodes(in_);
    for (std::size_t i = 0; i < in_.size(); ++i) {
      if (needed[i]) map_[i] = shape(i);
    }
    return std::move(out_).finish(in_.params(), {map_[in_.outputs().front().value]},
                                  "source shape produced invalid TypedDag: ");
  }

 private:
  OperandView view(NodeId id) const {
    const auto* c = std::get_if<ir::Const>(&out_.node(id));
    return {out_.dtype(id), c != nullptr ? &c->value : nullptr};
  }

  // The operand as lowering would leave it in a place of dtype `expected`.
  NodeId conform(NodeId id, DType expected) {
    const DType dtype = out_.dtype(id);
    if (dtype == expected) return id;
    if (const auto* c = std::get_if<ir::Const>(&out_.node(id))) {
      if (is_overflowed_const(c->value, dtype, expected)) return id;
      // Folding turns the cast of a constant into a constant of its own.
      if (auto converted = ir::cast_const_to_dtype(c->value, expected)) {
        return out_.push(ir::Const{std::move(*converted)}, expected);
      }
    }
    return out_.push(ir::Cast{id, expected, false}, expected);
  }

  // Casts each operand where its user needs it; the expectations are taken
  // from the operands as they stand, before any cast is added.
  std::vector<NodeId> conformed(const ir::Node& node, DType dtype, std::vector<NodeId> operands) {
    std::vector<OperandView> views;
    views.reserve(operands.size());
    for (NodeId id : operands) views.push_back(view(id));
    std::vector<std::optional<DType>> expected;
    expected.reserve(operands.size());
    for (std::size_t slot = 0; slot < operands.size(); ++slot) {
      expected.push_back(expected_operand_dtype(node, dtype, views, slot));
    }
    for (std::size_t slot = 0; slot < operands.size(); ++slot) {
      if (expected[slot]) operands[slot] = conform(operands[slot], *expected[slot]);
    }
    return operands;
  }

  // `a / b` of dtype `dtype`. The language divides floats and complex
  // values only; other operands are divided as f64 and cast back.
  NodeId quotient(NodeId a, NodeId b, DType dtype) {
    if (dtype.is_float() || dtype.is_complex()) return out_.push(ir::Binary{ir::BinaryOp::Div, a, b}, dtype);
    const DType f64 = DType::f64();
    NodeId q = out_.push(ir::Binary{ir::BinaryOp::Div, conform(a, f64), conform(b, f64)}, f64);
    return out_.push(ir::Cast{q, dtype, false}, dtype);
  }

  NodeId mapped(NodeId operand, std::size_t user) const {
    if (operand.value >= user) {
      throw InternalError("operand " + std::to_string(operand.value) + " of node " + std::to_string(user) +
                          " does not precede it in TypedDag");
    }
    return map_[operand.value];
  }

  NodeId shape(std::size_t i) {
    const ir::Node& node = in_.nodes()[i];
    const DType dtype = in_.dtypes()[i];
    std::vector<NodeId> operands;
    for_each_operand(node, [&](NodeId operand) { operands.push_back(mapped(operand, i)); });
    operands = conformed(node, dtype, std::move(operands));

    if (const auto* b = std::get_if<ir::Binary>(&node)) {
      if (b->op == ir::BinaryOp::FloorDiv && !dtype.is_integer()) {
        // The language floor-divides integers only.
        return out_.push(ir::Call{ir::Builtin::Floor, {quotient(operands[0], operands[1], dtype)}}, dtype);
      }
      if (b->op == ir::BinaryOp::Div) return quotient(operands[0], operands[1], dtype);
      return out_.push(ir::Binary{b->op, operands[0], operands[1]}, dtype);
    }
    if (const auto* c = std::get_if<ir::Call>(&node)) {
      if (c->builtin == ir::Builtin::ExpSigmoid && operands.size() == 1) {
        NodeId inner = out_.push(ir::Call{ir::Builtin::Exp, {operands[0]}}, dtype);
        return out_.push(ir::Call{ir::Builtin::Sigmoid, {inner}}, dtype);
      }
      if (c->builtin == ir::Builtin::SigmoidLog && operands.size() == 1) {
        NodeId inner = out_.push(ir::Call{ir::Builtin::Sigmoid, {operands[0]}}, dtype);
        return out_.push(ir::Call{ir::Builtin::Log, {inner}}, dtype);
      }
      return out_.push(ir::Call{c->builtin, std::move(operands)}, dtype);
    }
    if (const auto* u = std::get_if<ir::Unary>(&node)) {
      if (u->op == ir::UnaryOp::Neg && dtype.is_bool()) {
        // The language does not negate bools; `x * -1@bool` computes what
        // `-x` does (and is `x` again where bools stay bools).
        NodeId minus_one = out_.push(ir::Const{ir::Scalar{std::int64_t{-1}}}, dtype);
        return out_.push(ir::Binary{ir::BinaryOp::Mul, operands[0], minus_one}, dtype);
      }
      return out_.push(ir::Unary{operands[0], u->op}, dtype);
    }
    if (std::holds_alternative<ir::If>(node)) return out_.push(ir::If{operands[0], operands[1], operands[2]}, dtype);
    if (const auto* k = std::get_if<ir::Cast>(&node)) {
      return out_.push(ir::Cast{operands[0], k->dtype, k->is_explicit}, dtype);
    }
    return out_.push(node, dtype);  // a parameter or a constant
  }

  const ir::TypedDag& in_;
  ir::DagBuilder out_;
  std::vector<NodeId> map_;
};

}  // namespace

std::optional<DType> expected_operand_dtype(const ir::Node& node, DType dtype, std::span<const OperandView> operands,
                                            std::size_t slot) {
  if (const auto* u = std::get_if<ir::Unary>(&node)) return u->op == ir::UnaryOp::Not ? DType::boolean() : dtype;
  if (std::holds_alternative<ir::If>(node)) return slot == 0 ? DType::boolean() : dtype;
  if (std::holds_alternative<ir::Call>(node)) return dtype;
  if (const auto* b = std::get_if<ir::Binary>(&node)) {
    switch (ir::binary_class(b->op)) {
      case ir::BinaryClass::Logical:
        return DType::boolean();
      case ir::BinaryClass::Comparison:
        if (operands.size() != 2) return std::nullopt;
        return common_dtype(operands[0], operands[1]);
      case ir::BinaryClass::Arithmetic:
      case ir::BinaryClass::TrueDivision:
      case ir::BinaryClass::FloorDivision:
      case ir::BinaryClass::Remainder:
      case ir::BinaryClass::Power:
        return dtype;
    }
  }
  return std::nullopt;  // a cast's operand, or no operand at all
}

ir::TypedDag in_source_shape(const ir::TypedDag& dag) {
  if (dag.outputs().size() != 1) {
    throw InternalError("a program has one result, not " + std::to_string(dag.outputs().size()));
  }
  return Shaper(dag).run();
}

}  // namespace morvalen::backend

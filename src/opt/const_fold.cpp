#include "opt/const_fold.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "ir/const_conv.h"
#include "support/internal_error.h"
#include "support/kept.h"

namespace morvalen::opt {
namespace {

// The exact sum, difference or product of two signed 64-bit values always
// fits in 128 bits (|a * b| <= 2^126).
using I128 = ir::Int128;

using ir::Binary;
using ir::BinaryOp;
using ir::Builtin;
using ir::Call;
using ir::Cast;
using ir::ComplexValue;
using ir::Const;
using ir::DType;
using ir::DTypeKind;
using ir::If;
using ir::Node;
using ir::NodeId;
using ir::Param;
using ir::Scalar;
using ir::Unary;
using ir::UnaryOp;

constexpr const char* kInvalidDagContext = "const_fold produced invalid TypedDag: ";

// What a folding rule decided for one input node.
struct Action {
  enum class Kind : std::uint8_t { Decline, MapTo, Fold };
  Kind kind = Kind::Decline;
  NodeId target;  // MapTo: the existing output node that stands for the input node
  Scalar value;   // Fold: the constant to append
  DType dtype;    // Fold: its dtype

  static Action decline() { return {}; }
  static Action map_to(NodeId id) { return {Kind::MapTo, id, Scalar{false}, DType{}}; }
  static Action fold(Scalar value, DType dtype) { return {Kind::Fold, NodeId{}, std::move(value), dtype}; }
  static Action fold_or_decline(const std::optional<Scalar>& value, DType dtype) {
    return value ? fold(*value, dtype) : decline();
  }
};

std::string i128_to_string(I128 value) {
  // Work on the magnitude as unsigned so that the minimum value has no
  // unrepresentable negation.
  __extension__ typedef unsigned __int128 U128;
  bool negative = value < 0;
  U128 magnitude = negative ? U128{0} - static_cast<U128>(value) : static_cast<U128>(value);
  char buf[48];
  char* end = buf + sizeof buf;
  char* p = end;
  do {
    *--p = static_cast<char>('0' + static_cast<int>(magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) *--p = '-';
  return std::string(p, end);
}

bool is_int_value(const Scalar& s, std::int64_t v) {
  const auto* i = std::get_if<std::int64_t>(&s);
  return i != nullptr && *i == v;
}
bool is_float_value(const Scalar& s, double v) {
  const auto* x = std::get_if<double>(&s);
  return x != nullptr && *x == v;
}
bool is_bool_value(const Scalar& s, bool v) {
  const auto* b = std::get_if<bool>(&s);
  return b != nullptr && *b == v;
}
bool is_complex(const Scalar& s) { return std::holds_alternative<ComplexValue>(s); }

// The exponent that makes `x ** e` equal to 1 or to x whatever x is.
bool is_zero_exponent(const Scalar& s) { return is_int_value(s, 0) || is_float_value(s, 0.0); }
bool is_unit_exponent(const Scalar& s) { return is_int_value(s, 1) || is_float_value(s, 1.0); }

// The arguments at which `exp` and `log` fold to an exact 1 and 0 instead of
// whatever the platform's library returns.
bool is_exact_exp_zero(const Scalar& s) {
  if (const auto* c = std::get_if<ComplexValue>(&s)) return c->re == 0.0 && c->im == 0.0;
  return is_int_value(s, 0) || is_float_value(s, 0.0);
}
bool is_exact_log_one(const Scalar& s) {
  if (const auto* c = std::get_if<ComplexValue>(&s)) return c->re == 1.0 && c->im == 0.0;
  return is_int_value(s, 1) || is_bool_value(s, true) || is_float_value(s, 1.0);
}

double apply_builtin(Builtin builtin, double x) {
  switch (builtin) {
    case Builtin::Exp:
      return std::exp(x);
    case Builtin::Log:
      return std::log(x);
    case Builtin::Sqrt:
      return std::sqrt(x);
    case Builtin::Abs:
      return std::fabs(x);
    case Builtin::Sin:
      return std::sin(x);
    case Builtin::Cos:
      return std::cos(x);
    case Builtin::Tanh:
      return std::tanh(x);
    case Builtin::Sigmoid:
      return 1.0 / (1.0 + std::exp(-x));
    case Builtin::Relu:
      // Written so that a NaN argument gives 0.0.
      return x > 0.0 ? x : 0.0;
    case Builtin::Softplus:
      return std::log(1.0 + std::exp(x));
    case Builtin::Floor:
      return std::floor(x);
    case Builtin::Ceil:
      return std::ceil(x);
    case Builtin::ExpSigmoid:
      return 1.0 / (1.0 + std::exp(-std::exp(x)));
    case Builtin::SigmoidLog:
      return std::log(1.0 / (1.0 + std::exp(-x)));
  }
  return x;
}

std::optional<double> real_arith(BinaryOp op, double a, double b) {
  switch (op) {
    case BinaryOp::Add:
      return a + b;
    case BinaryOp::Sub:
      return a - b;
    case BinaryOp::Mul:
      return a * b;
    case BinaryOp::Div:
      return a / b;
    case BinaryOp::Pow:
      return std::pow(a, b);
    case BinaryOp::FloorDiv:
    case BinaryOp::Rem:
    case BinaryOp::Eq:
    case BinaryOp::Ne:
    case BinaryOp::Lt:
    case BinaryOp::Le:
    case BinaryOp::Gt:
    case BinaryOp::Ge:
    case BinaryOp::And:
    case BinaryOp::Or:
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<ComplexValue> complex_arith(BinaryOp op, ComplexValue l, ComplexValue r) {
  const double a = l.re, b = l.im, c = r.re, d = r.im;
  switch (op) {
    case BinaryOp::Add:
      return ComplexValue{a + c, b + d};
    case BinaryOp::Sub:
      return ComplexValue{a - c, b - d};
    case BinaryOp::Mul:
      return ComplexValue{a * c - b * d, a * d + b * c};
    case BinaryOp::Div: {
      const double denom = c * c + d * d;
      return ComplexValue{(a * c + b * d) / denom, (b * c - a * d) / denom};
    }
    case BinaryOp::FloorDiv:
    case BinaryOp::Rem:
    case BinaryOp::Pow:
    case BinaryOp::Eq:
    case BinaryOp::Ne:
    case BinaryOp::Lt:
    case BinaryOp::Le:
    case BinaryOp::Gt:
    case BinaryOp::Ge:
    case BinaryOp::And:
    case BinaryOp::Or:
      return std::nullopt;
  }
  return std::nullopt;
}

template <class T>
bool compare(BinaryOp op, T a, T b) {
  switch (op) {
    case BinaryOp::Eq:
      return a == b;
    case BinaryOp::Ne:
      return a != b;
    case BinaryOp::Lt:
      return a < b;
    case BinaryOp::Le:
      return a <= b;
    case BinaryOp::Gt:
      return a > b;
    case BinaryOp::Ge:
      return a >= b;
    case BinaryOp::Add:
    case BinaryOp::Sub:
    case BinaryOp::Mul:
    case BinaryOp::Div:
    case BinaryOp::FloorDiv:
    case BinaryOp::Rem:
    case BinaryOp::Pow:
    case BinaryOp::And:
    case BinaryOp::Or:
      break;
  }
  throw InternalError("const_fold: compare called with a non-comparison operator");
}

// Folds a DAG it owns in place: every input node adds at most one output
// node, so output node k never lies beyond input node i, and the output is
// written over the input slots already read. No second table is built.
class Folder {
 public:
  explicit Folder(ir::TypedDag&& in) : t_(std::move(in).release()), id_map_(kept_id_map_.value) {
    id_map_.reserve(t_.nodes.size());
  }

  FoldResult run() && {
    const std::size_t count = t_.nodes.size();
    for (std::size_t i = 0; i < count; ++i) {
      Node& node = t_.nodes[i];
      ir::for_each_operand(node, [&](NodeId& operand) { operand = remap(operand, i); });
      Action action = fold_node(node, t_.dtypes[i], i);
      switch (action.kind) {
        case Action::Kind::Decline:
          id_map_.push_back(keep(i));
          break;
        case Action::Kind::MapTo:
          id_map_.push_back(action.target);
          break;
        case Action::Kind::Fold:
          id_map_.push_back(append(Const{std::move(action.value)}, action.dtype));
          break;
      }
    }
    t_.nodes.erase(t_.nodes.begin() + static_cast<std::ptrdiff_t>(size_), t_.nodes.end());
    t_.dtypes.erase(t_.dtypes.begin() + static_cast<std::ptrdiff_t>(size_), t_.dtypes.end());
    for (NodeId& id : t_.outputs) {
      // A validated input has every output in range. Should one not be, it is
      // kept as is: the output never has more nodes than the input, so the id
      // stays out of range and validation of the output reports it.
      if (id.value < id_map_.size()) id = id_map_[id.value];
    }
    auto dag = ir::TypedDag::try_new(std::move(t_));
    if (!dag) throw InternalError(kInvalidDagContext + dag.error().to_string());
    return FoldResult{std::move(*dag), std::move(diags_)};
  }

 private:
  NodeId remap(NodeId operand, std::size_t user) const {
    if (operand.value >= user) {
      throw InternalError("const_fold: node#" + std::to_string(user) + " uses node#" + std::to_string(operand.value) +
                          ", which does not precede it");
    }
    return id_map_[operand.value];
  }

  // Keeps input node `i`, its operands remapped, as the next output node.
  NodeId keep(std::size_t i) {
    if (size_ != i) {
      t_.nodes[size_] = std::move(t_.nodes[i]);
      t_.dtypes[size_] = t_.dtypes[i];
    }
    return NodeId{size_++};
  }

  // Writes the next output node over an input slot already read (or over
  // the node it stands for). Its operands are output nodes, so they precede it.
  NodeId append(Node&& node, DType dtype) {
    t_.nodes[size_] = std::move(node);
    t_.dtypes[size_] = dtype;
    return NodeId{size_++};
  }

  const Node& out_node(NodeId id) const { return t_.nodes[id.value]; }
  DType out_dtype(NodeId id) const { return t_.dtypes[id.value]; }

  // The scalar of an output node that is a constant, or null.
  const Scalar* constant(NodeId id) const {
    const auto* c = std::get_if<Const>(&out_node(id));
    return c != nullptr ? &c->value : nullptr;
  }

  Action fold_node(const Node& node, DType dtype, std::size_t i) {
    return std::visit(
        [&](const auto& n) -> Action {
          using T = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<T, Param> || std::is_same_v<T, Const>) {
            return Action::decline();
          } else if constexpr (std::is_same_v<T, Cast>) {
            return fold_cast(n);
          } else if constexpr (std::is_same_v<T, Unary>) {
            return fold_unary(n, dtype);
          } else if constexpr (std::is_same_v<T, If>) {
            return fold_if(n);
          } else if constexpr (std::is_same_v<T, Call>) {
            return fold_call(n, dtype);
          } else {
            static_assert(std::is_same_v<T, Binary>);
            return fold_binary(n, dtype, i);
          }
        },
        node);
  }

  Action fold_cast(const Cast& n) const {
    const Scalar* arg = constant(n.arg);
    if (arg == nullptr) return Action::decline();
    return Action::fold_or_decline(ir::cast_const_to_dtype(*arg, n.dtype), n.dtype);
  }

  Action fold_unary(const Unary& n, DType dtype) const {
    const Scalar* arg = constant(n.arg);
    if (arg == nullptr) return Action::decline();
    switch (n.op) {
      case UnaryOp::Neg:
        if (const auto* i = std::get_if<std::int64_t>(arg)) {
          // Two's-complement negation: the minimum value negates to itself.
          auto negated = static_cast<std::int64_t>(std::uint64_t{0} - static_cast<std::uint64_t>(*i));
          return Action::fold_or_decline(ir::i64_to_dtype(negated, dtype), dtype);
        }
        if (const auto* x = std::get_if<double>(arg)) {
          return Action::fold_or_decline(ir::f64_to_dtype(-*x, dtype), dtype);
        }
        if (const auto* c = std::get_if<ComplexValue>(arg)) {
          if (!dtype.is_complex()) return Action::decline();
          return Action::fold(ComplexValue{-c->re, -c->im}, dtype);
        }
        return Action::decline();
      case UnaryOp::Not:
        if (const auto* b = std::get_if<bool>(arg); b != nullptr && dtype.is_bool()) return Action::fold(!*b, dtype);
        return Action::decline();
    }
    return Action::decline();
  }

  Action fold_if(const If& n) const {
    const Scalar* cond = constant(n.cond);
    if (cond == nullptr) return Action::decline();
    const auto* b = std::get_if<bool>(cond);
    if (b == nullptr) return Action::decline();
    return Action::map_to(*b ? n.then_branch : n.else_branch);
  }

  Action fold_call(const Call& n, DType dtype) const {
    if (n.args.size() != 1 || dtype.is_bool()) return Action::decline();
    const Scalar* arg = constant(n.args[0]);
    if (arg == nullptr) return Action::decline();
    if (n.builtin == Builtin::Exp && is_exact_exp_zero(*arg)) {
      return Action::fold_or_decline(ir::cast_const_to_dtype(Scalar{1.0}, dtype), dtype);
    }
    if (n.builtin == Builtin::Log && is_exact_log_one(*arg)) {
      return Action::fold_or_decline(ir::cast_const_to_dtype(Scalar{0.0}, dtype), dtype);
    }
    std::optional<double> x = ir::scalar_to_f64(*arg);
    if (!x) return Action::decline();  // complex arguments are not folded
    return Action::fold_or_decline(ir::f64_to_dtype(apply_builtin(n.builtin, *x), dtype), dtype);
  }

  Action fold_binary(const Binary& n, DType dtype, std::size_t i) {
    const Scalar* lhs = constant(n.lhs);
    const Scalar* rhs = constant(n.rhs);
    switch (n.op) {
      case BinaryOp::Pow:
        if (rhs != nullptr && is_zero_exponent(*rhs)) {
          return Action::fold_or_decline(ir::cast_const_to_dtype(Scalar{1.0}, dtype), dtype);
        }
        if (rhs != nullptr && is_unit_exponent(*rhs)) return Action::map_to(n.lhs);
        break;
      case BinaryOp::And:
        return fold_logical(n, lhs, rhs, dtype, /*identity=*/true);
      case BinaryOp::Or:
        return fold_logical(n, lhs, rhs, dtype, /*identity=*/false);
      case BinaryOp::Add:
      case BinaryOp::Sub:
      case BinaryOp::Mul:
      case BinaryOp::Div:
      case BinaryOp::FloorDiv:
      case BinaryOp::Rem:
      case BinaryOp::Eq:
      case BinaryOp::Ne:
      case BinaryOp::Lt:
      case BinaryOp::Le:
      case BinaryOp::Gt:
      case BinaryOp::Ge:
        break;
    }
    if (lhs == nullptr || rhs == nullptr) return Action::decline();

    const auto* li = std::get_if<std::int64_t>(lhs);
    const auto* ri = std::get_if<std::int64_t>(rhs);
    switch (ir::binary_class(n.op)) {
      case ir::BinaryClass::Arithmetic:
        if (li != nullptr && ri != nullptr && dtype.is_integer()) return fold_exact_int(n.op, *li, *ri, dtype, i);
        return fold_arith(n.op, *lhs, *rhs, dtype);
      case ir::BinaryClass::TrueDivision:
      case ir::BinaryClass::Power:
        return fold_arith(n.op, *lhs, *rhs, dtype);
      case ir::BinaryClass::FloorDivision:
      case ir::BinaryClass::Remainder:
        if (li == nullptr || ri == nullptr) return Action::decline();
        return fold_floor_div_rem(n.op, *li, *ri, dtype);
      case ir::BinaryClass::Comparison:
        return fold_comparison(n, *lhs, *rhs);
      case ir::BinaryClass::Logical:
        break;
    }
    return Action::decline();
  }

  // `and` with identity true, `or` with identity false: the identity on one
  // side stands for the other operand. The absorbing value beside a
  // non-constant operand keeps the node.
  Action fold_logical(const Binary& n, const Scalar* lhs, const Scalar* rhs, DType dtype, bool identity) const {
    if (lhs != nullptr && is_bool_value(*lhs, identity)) return Action::map_to(n.rhs);
    if (rhs != nullptr && is_bool_value(*rhs, identity)) return Action::map_to(n.lhs);
    if (lhs == nullptr || rhs == nullptr || !dtype.is_bool()) return Action::decline();
    const auto* a = std::get_if<bool>(lhs);
    const auto* b = std::get_if<bool>(rhs);
    if (a == nullptr || b == nullptr) return Action::decline();
    return Action::fold(identity ? (*a && *b) : (*a || *b), dtype);
  }

  Action fold_arith(BinaryOp op, const Scalar& lhs, const Scalar& rhs, DType dtype) const {
    const auto* lc = std::get_if<ComplexValue>(&lhs);
    const auto* rc = std::get_if<ComplexValue>(&rhs);
    if (lc != nullptr || rc != nullptr) {
      // Complex with real declines: by lowering both sides of a complex
      // operation already hold complex scalars.
      if (lc == nullptr || rc == nullptr || !dtype.is_complex()) return Action::decline();
      std::optional<ComplexValue> v = complex_arith(op, *lc, *rc);
      return v ? Action::fold(*v, dtype) : Action::decline();
    }
    std::optional<double> v = real_arith(op, *ir::scalar_to_f64(lhs), *ir::scalar_to_f64(rhs));
    if (!v) return Action::decline();
    return Action::fold_or_decline(ir::f64_to_dtype(*v, dtype), dtype);
  }

  Action fold_exact_int(BinaryOp op, std::int64_t a, std::int64_t b, DType dtype, std::size_t i) {
    if (dtype.bits < 1 || dtype.bits > 64) return Action::decline();
    I128 r = 0;
    switch (op) {
      case BinaryOp::Add:
        r = I128{a} + I128{b};
        break;
      case BinaryOp::Sub:
        r = I128{a} - I128{b};
        break;
      case BinaryOp::Mul:
        r = I128{a} * I128{b};
        break;
      case BinaryOp::Div:
      case BinaryOp::FloorDiv:
      case BinaryOp::Rem:
      case BinaryOp::Pow:
      case BinaryOp::Eq:
      case BinaryOp::Ne:
      case BinaryOp::Lt:
      case BinaryOp::Le:
      case BinaryOp::Gt:
      case BinaryOp::Ge:
      case BinaryOp::And:
      case BinaryOp::Or:
        return Action::decline();
    }
    if (ir::in_integer_range(r, dtype)) {
      // A u64 result above the signed range keeps its 64-bit pattern.
      return Action::fold(static_cast<std::int64_t>(static_cast<std::uint64_t>(r)), dtype);
    }
    const DType promoted = ir::overflow_dtype(r, dtype);
    const std::string r_text = i128_to_string(r);
    std::string message = "const_fold node#" + std::to_string(i) + ": integer overflow: " + std::to_string(a) + " " +
                          std::string(ir::as_str(op)) + " " + std::to_string(b) + " = " + r_text + "; promoted " +
                          std::string(ir::to_str(dtype)) + " -> " + std::string(ir::to_str(promoted)) +
                          "; write result directly `" + r_text + "` or wrapping result";
    diags_.push_back(diag::Diag::make(diag::DiagKind::ConstOverflow, std::nullopt, std::move(message)));
    if (ir::in_integer_range(r, DType::i64())) return Action::fold(static_cast<std::int64_t>(r), promoted);
    return Action::fold(static_cast<double>(r), DType::f64());
  }

  // Floor division rounds the quotient toward negative infinity; the
  // remainder then takes the sign of the divisor (zero when exact).
  static Action fold_floor_div_rem(BinaryOp op, std::int64_t a, std::int64_t b, DType dtype) {
    if (b == 0 || (a == std::numeric_limits<std::int64_t>::min() && b == -1)) return Action::decline();
    std::int64_t q = a / b;
    std::int64_t m = a % b;
    if (m != 0 && ((m < 0) != (b < 0))) {
      q -= 1;
      m += b;
    }
    // Kept exact under an integer dtype: a double would round beyond 2^53.
    return Action::fold_or_decline(ir::i64_to_dtype(op == BinaryOp::FloorDiv ? q : m, dtype), dtype);
  }

  Action fold_comparison(const Binary& n, const Scalar& lhs, const Scalar& rhs) const {
    if (is_complex(lhs) || is_complex(rhs)) return Action::decline();
    const auto* li = std::get_if<std::int64_t>(&lhs);
    const auto* ri = std::get_if<std::int64_t>(&rhs);
    // Integers of an integer dtype compare exactly; as doubles, neighbours
    // beyond 2^53 would compare equal.
    if (li != nullptr && ri != nullptr && out_dtype(n.lhs).is_integer() && out_dtype(n.rhs).is_integer()) {
      return Action::fold(compare(n.op, *li, *ri), DType::boolean());
    }
    return Action::fold(compare(n.op, *ir::scalar_to_f64(lhs), *ir::scalar_to_f64(rhs)), DType::boolean());
  }

  ir::TypedDag::Tables t_;
  std::size_t size_ = 0;  // output nodes written so far, at the front of the tables
  // The input id of every output node; its storage is kept per thread
  // between calls (see `support::Kept`) up to 2^15 ids (256 KiB): programs of
  // some 20,000 operators find it allocated.
  struct KeptIdMapTag {};
  support::Kept<std::vector<NodeId>, KeptIdMapTag, std::size_t{1} << 15> kept_id_map_;
  std::vector<NodeId>& id_map_;
  std::vector<diag::Diag> diags_;
};

}  // namespace

FoldResult const_fold(ir::TypedDag&& dag) { return Folder(std::move(dag)).run(); }

FoldResult const_fold(const ir::TypedDag& dag) { return Folder(ir::TypedDag(dag)).run(); }

}  // namespace morvalen::opt

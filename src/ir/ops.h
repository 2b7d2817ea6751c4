#pragma once

// The operator and builtin vocabulary, written once. Every stage that reads,
// ranks, types, rewrites, costs, renders or emits an operator or a builtin
// takes it from the tables below; none keeps a copy of its own.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace morvalen::ir {

/// The variants of the optimizer's term language (`opt::MathLang`); the
/// enumerator order is the variant index used for ordering term nodes. Declared
/// here so that every operator row below can name its variant; the term
/// language adds the properties of the variants that are not operators.
enum class MathKind : std::uint8_t {
  Bool,
  Int,
  Num,
  Complex,
  Param,
  Cast,
  TypeToken,
  Add,
  Sub,
  Mul,
  Div,
  FloorDiv,
  Rem,
  Pow,
  Neg,
  Eq,
  Ne,
  Lt,
  Le,
  Gt,
  Ge,
  And,
  Or,
  Not,
  IfElse,
  Exp,
  Log,
  Sqrt,
  Abs,
  Sin,
  Cos,
  Tanh,
  Sigmoid,
  Relu,
  Softplus,
  Floor,
  Ceil,
  FusedExpSigmoid,
  FusedSigmoidLog,
};

inline constexpr std::size_t kMathKindCount = 39;
static_assert(static_cast<std::size_t>(MathKind::FusedSigmoidLog) + 1 == kMathKindCount);

enum class UnaryOp : std::uint8_t { Neg, Not };

inline constexpr std::size_t kUnaryOpCount = 2;

enum class BinaryOp : std::uint8_t {
  Add,
  Sub,
  Mul,
  Div,
  FloorDiv,
  Rem,
  Pow,
  Eq,
  Ne,
  Lt,
  Le,
  Gt,
  Ge,
  And,
  Or,
};

inline constexpr std::size_t kBinaryOpCount = 15;

enum class BinaryClass : std::uint8_t {
  Arithmetic,
  TrueDivision,
  FloorDivision,
  Remainder,
  Power,
  Comparison,
  Logical
};

/// How a chain of one operator groups: `a - b - c` is `(a - b) - c` (left),
/// `a ** b ** c` is `a ** (b ** c)` (right), and comparisons do not chain.
enum class Assoc : std::uint8_t { Left, Right, None };

enum class Builtin : std::uint8_t {
  Exp,
  Log,
  Sqrt,
  Abs,
  Sin,
  Cos,
  Tanh,
  Sigmoid,
  Relu,
  Softplus,
  Floor,
  Ceil,
  ExpSigmoid,
  SigmoidLog,
};

inline constexpr std::size_t kBuiltinCount = 14;

/// One prefix operator.
struct UnaryOpInfo {
  UnaryOp op;
  std::string_view token;          ///< source and rendered spelling: "-", "!"
  std::string_view name;           ///< in messages and the canonical order: "neg", "not"
  MathKind term;                   ///< its term-language variant
  std::string_view term_name;      ///< the variant's name in debug texts: "Neg"
  std::string_view term_spelling;  ///< in rewrite patterns: "neg", "!"
  std::uint8_t cost;               ///< the extraction cost of one node
  std::string_view python;         ///< Python text, `$` standing for the operand
};

/// One infix operator. Rewrite patterns spell it by its token.
struct BinaryOpInfo {
  BinaryOp op;
  std::string_view token;  ///< source and rendered spelling: "+", "&&"
  std::string_view name;   ///< in messages, the canonical order and Python: "+", "and"
  /// Binding strength, 1 (`||`) to 6 (`**`): a higher one binds tighter.
  std::uint8_t precedence;
  Assoc assoc;
  BinaryClass klass;
  MathKind term;
  std::string_view term_name;  ///< "Add", "FloorDiv", ...
  std::uint8_t cost;
};

/// One builtin function. Source, rendered text and rewrite patterns all spell
/// it by its name.
struct BuiltinInfo {
  Builtin builtin;
  std::string_view name;  ///< "exp", "exp_sigmoid", ...
  /// False for the two fused builtins that only the optimizer introduces.
  bool callable;
  MathKind term;
  std::string_view term_name;  ///< "Exp", "FusedExpSigmoid", ...
  std::uint8_t cost;           ///< the fused builtins are cheaper than the calls they replace
  std::string_view python;     ///< Python text, `$` standing for the argument
};

inline constexpr std::array<UnaryOpInfo, kUnaryOpCount> kUnaryOps = {{
    {UnaryOp::Neg, "-", "neg", MathKind::Neg, "Neg", "neg", 2, "-$"},
    {UnaryOp::Not, "!", "not", MathKind::Not, "Not", "!", 2, "(not $)"},
}};

inline constexpr std::array<BinaryOpInfo, kBinaryOpCount> kBinaryOps = {{
    {BinaryOp::Add, "+", "+", 4, Assoc::Left, BinaryClass::Arithmetic, MathKind::Add, "Add", 2},
    {BinaryOp::Sub, "-", "-", 4, Assoc::Left, BinaryClass::Arithmetic, MathKind::Sub, "Sub", 2},
    {BinaryOp::Mul, "*", "*", 5, Assoc::Left, BinaryClass::Arithmetic, MathKind::Mul, "Mul", 2},
    {BinaryOp::Div, "/", "/", 5, Assoc::Left, BinaryClass::TrueDivision, MathKind::Div, "Div", 2},
    {BinaryOp::FloorDiv, "//", "//", 5, Assoc::Left, BinaryClass::FloorDivision, MathKind::FloorDiv, "FloorDiv", 2},
    {BinaryOp::Rem, "%", "%", 5, Assoc::Left, BinaryClass::Remainder, MathKind::Rem, "Rem", 2},
    {BinaryOp::Pow, "**", "**", 6, Assoc::Right, BinaryClass::Power, MathKind::Pow, "Pow", 2},
    {BinaryOp::Eq, "==", "==", 3, Assoc::None, BinaryClass::Comparison, MathKind::Eq, "Eq", 2},
    {BinaryOp::Ne, "!=", "!=", 3, Assoc::None, BinaryClass::Comparison, MathKind::Ne, "Ne", 2},
    {BinaryOp::Lt, "<", "<", 3, Assoc::None, BinaryClass::Comparison, MathKind::Lt, "Lt", 2},
    {BinaryOp::Le, "<=", "<=", 3, Assoc::None, BinaryClass::Comparison, MathKind::Le, "Le", 2},
    {BinaryOp::Gt, ">", ">", 3, Assoc::None, BinaryClass::Comparison, MathKind::Gt, "Gt", 2},
    {BinaryOp::Ge, ">=", ">=", 3, Assoc::None, BinaryClass::Comparison, MathKind::Ge, "Ge", 2},
    {BinaryOp::And, "&&", "and", 2, Assoc::Left, BinaryClass::Logical, MathKind::And, "And", 2},
    {BinaryOp::Or, "||", "or", 1, Assoc::Left, BinaryClass::Logical, MathKind::Or, "Or", 2},
}};

inline constexpr std::array<BuiltinInfo, kBuiltinCount> kBuiltins = {{
    {Builtin::Exp, "exp", true, MathKind::Exp, "Exp", 2, "math.exp($)"},
    {Builtin::Log, "log", true, MathKind::Log, "Log", 2, "math.log($)"},
    {Builtin::Sqrt, "sqrt", true, MathKind::Sqrt, "Sqrt", 2, "math.sqrt($)"},
    {Builtin::Abs, "abs", true, MathKind::Abs, "Abs", 2, "abs($)"},
    {Builtin::Sin, "sin", true, MathKind::Sin, "Sin", 2, "math.sin($)"},
    {Builtin::Cos, "cos", true, MathKind::Cos, "Cos", 2, "math.cos($)"},
    {Builtin::Tanh, "tanh", true, MathKind::Tanh, "Tanh", 2, "math.tanh($)"},
    {Builtin::Sigmoid, "sigmoid", true, MathKind::Sigmoid, "Sigmoid", 2, "(1.0 / (1.0 + math.exp(-$)))"},
    {Builtin::Relu, "relu", true, MathKind::Relu, "Relu", 2, "($ if $ > 0 else 0.0)"},
    {Builtin::Softplus, "softplus", true, MathKind::Softplus, "Softplus", 2, "math.log(1.0 + math.exp($))"},
    {Builtin::Floor, "floor", true, MathKind::Floor, "Floor", 2, "float(math.floor($))"},
    {Builtin::Ceil, "ceil", true, MathKind::Ceil, "Ceil", 2, "float(math.ceil($))"},
    {Builtin::ExpSigmoid, "exp_sigmoid", false, MathKind::FusedExpSigmoid, "FusedExpSigmoid", 1,
     "(1.0 / (1.0 + math.exp(-math.exp($))))"},
    {Builtin::SigmoidLog, "sigmoid_log", false, MathKind::FusedSigmoidLog, "FusedSigmoidLog", 1,
     "math.log(1.0 / (1.0 + math.exp(-$)))"},
}};

/// The placeholder for the operand in the Python texts above.
inline constexpr char kPythonOperand = '$';

namespace detail {
// Each table lists its enum's values once, in enum order, so that a row is
// found by indexing and a new enumerator without a row does not compile.
template <typename Table>
constexpr bool rows_in_enum_order(const Table& table, auto key) {
  for (std::size_t i = 0; i < table.size(); ++i)
    if (static_cast<std::size_t>(key(table[i])) != i) return false;
  return true;
}
}  // namespace detail

static_assert(detail::rows_in_enum_order(kUnaryOps, [](const UnaryOpInfo& r) { return r.op; }));
static_assert(detail::rows_in_enum_order(kBinaryOps, [](const BinaryOpInfo& r) { return r.op; }));
static_assert(detail::rows_in_enum_order(kBuiltins, [](const BuiltinInfo& r) { return r.builtin; }));
static_assert(static_cast<std::size_t>(UnaryOp::Not) + 1 == kUnaryOpCount);
static_assert(static_cast<std::size_t>(BinaryOp::Or) + 1 == kBinaryOpCount);
static_assert(static_cast<std::size_t>(Builtin::SigmoidLog) + 1 == kBuiltinCount);

constexpr const UnaryOpInfo& info(UnaryOp op) { return kUnaryOps[static_cast<std::size_t>(op)]; }
constexpr const BinaryOpInfo& info(BinaryOp op) { return kBinaryOps[static_cast<std::size_t>(op)]; }
constexpr const BuiltinInfo& info(Builtin builtin) { return kBuiltins[static_cast<std::size_t>(builtin)]; }

/// The binding powers of an infix operator in the parser's precedence loop:
/// `left` is compared with the loop's minimum power, `right` is the minimum
/// power of the right operand. Level L gives (2L, 2L+1) when left-associative,
/// (2L+1, 2L) when right-associative and (2L, 2L) when non-associative.
struct BindingPowers {
  unsigned left;
  unsigned right;
};

constexpr BindingPowers binding_powers(BinaryOp op) {
  const unsigned level = info(op).precedence;
  switch (info(op).assoc) {
    case Assoc::Left:
      return {2 * level, 2 * level + 1};
    case Assoc::Right:
      return {2 * level + 1, 2 * level};
    case Assoc::None:
      return {2 * level, 2 * level};
  }
  throw "unknown associativity";
}

/// The minimum power for the operand of a prefix operator (`-`, `!`): it
/// takes `**` (so -x ** 2 is -(x ** 2)) and nothing that binds more loosely.
inline constexpr unsigned kPrefixPower = 2 * info(BinaryOp::Pow).precedence;

/// "neg" or "not", as used in messages.
constexpr std::string_view to_str(UnaryOp op) { return info(op).name; }
/// The name in messages and in Python: "+", "//", "**", "and", ...
constexpr std::string_view as_str(BinaryOp op) { return info(op).name; }
constexpr BinaryClass binary_class(BinaryOp op) { return info(op).klass; }
constexpr bool is_comparison(BinaryOp op) { return binary_class(op) == BinaryClass::Comparison; }
constexpr bool is_logical(BinaryOp op) { return binary_class(op) == BinaryClass::Logical; }
/// The builtin's name ("exp", "exp_sigmoid", ...).
constexpr std::string_view to_str(Builtin builtin) { return info(builtin).name; }
/// False for the two fused builtins that only the optimizer introduces.
constexpr bool is_callable_from_source(Builtin builtin) { return info(builtin).callable; }

/// Exact, case-sensitive lookup of one of the fourteen names.
constexpr std::optional<Builtin> parse_builtin(std::string_view name) {
  for (const BuiltinInfo& row : kBuiltins)
    if (row.name == name) return row.builtin;
  return std::nullopt;
}

/// The operator or builtin a term-language variant stands for, if any.
constexpr std::optional<UnaryOp> unary_op_of(MathKind kind) {
  for (const UnaryOpInfo& row : kUnaryOps)
    if (row.term == kind) return row.op;
  return std::nullopt;
}
constexpr std::optional<BinaryOp> binary_op_of(MathKind kind) {
  for (const BinaryOpInfo& row : kBinaryOps)
    if (row.term == kind) return row.op;
  return std::nullopt;
}
constexpr std::optional<Builtin> builtin_of(MathKind kind) {
  for (const BuiltinInfo& row : kBuiltins)
    if (row.term == kind) return row.builtin;
  return std::nullopt;
}

}  // namespace morvalen::ir

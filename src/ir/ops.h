#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace morvalen::ir {

enum class UnaryOp : std::uint8_t { Neg, Not };

/// "neg" or "not", as used in messages.
std::string_view to_str(UnaryOp op);

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

enum class BinaryClass : std::uint8_t { Arithmetic, TrueDivision, FloorDivision, Remainder, Power, Comparison, Logical };

inline constexpr std::size_t kBinaryOpCount = 15;

/// The source spelling: "+", "//", "**", "and", ...
std::string_view as_str(BinaryOp op);
BinaryClass binary_class(BinaryOp op);
bool is_comparison(BinaryOp op);
bool is_logical(BinaryOp op);

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

/// The builtin's name ("exp", "exp_sigmoid", ...).
std::string_view to_str(Builtin builtin);

/// Exact, case-sensitive lookup of one of the fourteen names.
std::optional<Builtin> parse_builtin(std::string_view name);

/// False for the two fused builtins that only the optimizer introduces.
bool is_callable_from_source(Builtin builtin);

}  // namespace morvalen::ir

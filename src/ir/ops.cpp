#include "ir/ops.h"

#include <array>

namespace morvalen::ir {
namespace {

struct BinaryInfo {
  std::string_view spelling;
  BinaryClass klass;
};

constexpr std::array<BinaryInfo, kBinaryOpCount> kBinary = {{
    {"+", BinaryClass::Arithmetic},
    {"-", BinaryClass::Arithmetic},
    {"*", BinaryClass::Arithmetic},
    {"/", BinaryClass::TrueDivision},
    {"//", BinaryClass::FloorDivision},
    {"%", BinaryClass::Remainder},
    {"**", BinaryClass::Power},
    {"==", BinaryClass::Comparison},
    {"!=", BinaryClass::Comparison},
    {"<", BinaryClass::Comparison},
    {"<=", BinaryClass::Comparison},
    {">", BinaryClass::Comparison},
    {">=", BinaryClass::Comparison},
    {"and", BinaryClass::Logical},
    {"or", BinaryClass::Logical},
}};

struct BuiltinInfo {
  std::string_view name;
  bool callable;
};

constexpr std::array<BuiltinInfo, kBuiltinCount> kBuiltins = {{
    {"exp", true},
    {"log", true},
    {"sqrt", true},
    {"abs", true},
    {"sin", true},
    {"cos", true},
    {"tanh", true},
    {"sigmoid", true},
    {"relu", true},
    {"softplus", true},
    {"floor", true},
    {"ceil", true},
    {"exp_sigmoid", false},
    {"sigmoid_log", false},
}};

}  // namespace

std::string_view to_str(UnaryOp op) {
  switch (op) {
    case UnaryOp::Neg:
      return "neg";
    case UnaryOp::Not:
      return "not";
  }
  return "neg";
}

std::string_view as_str(BinaryOp op) { return kBinary[static_cast<std::size_t>(op)].spelling; }
BinaryClass binary_class(BinaryOp op) { return kBinary[static_cast<std::size_t>(op)].klass; }
bool is_comparison(BinaryOp op) { return binary_class(op) == BinaryClass::Comparison; }
bool is_logical(BinaryOp op) { return binary_class(op) == BinaryClass::Logical; }

std::string_view to_str(Builtin builtin) { return kBuiltins[static_cast<std::size_t>(builtin)].name; }

std::optional<Builtin> parse_builtin(std::string_view name) {
  for (std::size_t i = 0; i < kBuiltins.size(); ++i) {
    if (kBuiltins[i].name == name) return static_cast<Builtin>(i);
  }
  return std::nullopt;
}

bool is_callable_from_source(Builtin builtin) { return kBuiltins[static_cast<std::size_t>(builtin)].callable; }

}  // namespace morvalen::ir

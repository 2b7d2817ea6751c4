#include "program_builder.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "ir/dtype.h"

namespace morvalen::fuzz {
namespace {

using ir::DType;

// Hands out the fuzz bytes as choices; past the end every choice is 0, which
// is always the simplest alternative.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::size_t below(std::size_t n) { return pos_ < size_ ? data_[pos_++] % n : 0; }
  bool flip() { return below(2) == 1; }
  bool exhausted() const { return pos_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// An expression's text and the facts about it that later choices need.
struct Typed {
  Typed(std::string t, DType d) : text(std::move(t)), dtype(d) {}

  std::string text;
  DType dtype;
  // Set when the text is directly an integer literal (lowering folds a minus
  // sign into it and range-checks the result).
  std::optional<std::int64_t> int_literal;
  bool int_literal_suffixed = false;
  // The expression lowers to a constant node holding the integer 0, which `//`
  // and `%` refuse as their right operand.
  bool int_zero_constant = false;
};

struct Binding {
  std::string name;
  DType dtype;
  bool int_zero_constant = false;
};

struct FloatLiteral {
  std::string_view text;
  DType dtype;  // the narrowest float (or complex type) that holds it exactly
};

// Unsuffixed float literals with the dtype that literal typing gives them.
constexpr std::array<FloatLiteral, 14> kFloatLiterals = {{
    {"0.5", DType::f16()},
    {"1.0", DType::f16()},
    {"2.25", DType::f16()},
    {"0.0", DType::f16()},
    {"1e3", DType::f16()},
    {"65504.0", DType::f16()},
    {"1e400", DType::f16()},  // infinity
    {"100000.0", DType::f32()},
    {"0.1", DType::f64()},
    {"1e-8", DType::f64()},
    {"3.4e38", DType::f64()},
    {"16777217.0", DType::f64()},
    {"5e-324", DType::f64()},
    {"1.7976931348623157e308", DType::f64()},
}};

constexpr std::array<FloatLiteral, 5> kComplexLiterals = {{
    {"2.5j", DType::c64()},
    {"0.0j", DType::c64()},
    {"1e+5j", DType::c64()},
    {"1e400j", DType::c64()},
    {"0.1j", DType::c128()},
}};

constexpr std::array<std::int64_t, 15> kIntValues = {
    0,     1,     2,          3,          7,
    127,   128,   255,        256,        32767,
    32768, 65535, 2147483647, 2147483648, std::numeric_limits<std::int64_t>::max()};

constexpr std::array<std::string_view, 12> kBuiltins = {"exp",  "log",     "sqrt", "abs",      "sin",   "cos",
                                                        "tanh", "sigmoid", "relu", "softplus", "floor", "ceil"};

constexpr std::array<std::string_view, 4> kParamNames = {"x", "y", "n", "b"};

std::string decimal(std::int64_t value) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  return std::string(digits, end);
}

// The narrowest signed integer holding `value`, as unsuffixed literals get.
DType int_literal_dtype(std::int64_t value) {
  if (value >= -128 && value <= 127) return DType::i8();
  if (value >= -32768 && value <= 32767) return DType::i16();
  if (value >= std::numeric_limits<std::int32_t>::min() && value <= std::numeric_limits<std::int32_t>::max()) {
    return DType::i32();
  }
  return DType::i64();
}

// The largest literal an integer suffix accepts (`u64` stops at 2^63 - 1).
std::int64_t max_for_suffix(DType dtype) {
  if (dtype.bits >= 64) return std::numeric_limits<std::int64_t>::max();
  if (dtype.is_unsigned()) return (std::int64_t{1} << dtype.bits) - 1;
  return (std::int64_t{1} << (dtype.bits - 1)) - 1;
}

bool is_float_or_complex(DType d) { return d.is_float() || d.is_complex(); }

class ProgramBuilder {
 public:
  ProgramBuilder(const std::uint8_t* data, std::size_t size) : in_(data, size) {}

  std::string build(bool allow_tuple) {
    std::string line_end = in_.below(8) == 1 ? "\r\n" : "\n";
    std::string out = header();
    out += line_end;
    std::size_t assignments = in_.below(5);
    for (std::size_t i = 0; i < assignments; ++i) {
      out += assignment();
      out += comment();
      out += line_end;
    }
    if (allow_tuple && in_.below(4) == 1) {
      std::size_t count = 2 + in_.below(2);
      out += "(";
      for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) out += ", ";
        out += expr(kMaxDepth).text;
      }
      out += ")";
    } else {
      out += expr(kMaxDepth).text;
    }
    out += comment();
    return out;
  }

 private:
  static constexpr int kMaxDepth = 7;
  // Caps the number of forms per program, whatever the bytes say.
  static constexpr std::size_t kMaxForms = 160;
  static constexpr int kMaxDerivatives = 2;

  DType any_dtype() { return ir::all_dtypes[in_.below(ir::all_dtypes.size())]; }
  DType float_dtype() {
    constexpr std::array<DType, 4> floats = {DType::f64(), DType::f32(), DType::f16(), DType::bf16()};
    return floats[in_.below(floats.size())];
  }
  DType integer_dtype() {
    constexpr std::array<DType, 8> ints = {DType::i32(), DType::i64(), DType::i8(),  DType::i16(),
                                           DType::u8(),  DType::u16(), DType::u32(), DType::u64()};
    return ints[in_.below(ints.size())];
  }

  std::string header() {
    std::size_t count = 1 + in_.below(kParamNames.size());
    std::string out = "|";
    for (std::size_t i = 0; i < count; ++i) {
      // The first parameter is what `diff` differentiates by: mostly a float.
      DType dtype = i == 0 && in_.below(4) != 3 ? float_dtype() : any_dtype();
      std::string name(kParamNames[i]);
      if (i != 0) out += ", ";
      out += name + ": " + std::string(ir::to_str(dtype));
      scope_.push_back({name, dtype, false});
      if (dtype.is_float()) float_params_.push_back(name);
    }
    return out + "|";
  }

  std::string comment() { return in_.below(8) == 1 ? "  # note" : ""; }

  // `vK = expr`, or a binding that shadows an earlier name.
  std::string assignment() {
    Typed value = expr(kMaxDepth - 2);
    std::string name = in_.below(6) == 1 ? scope_[in_.below(scope_.size())].name : "v" + decimal(lets_++);
    std::string line = name + " = " + value.text;
    scope_.push_back({name, value.dtype, value.int_zero_constant});
    return line;
  }

  // The binding a name refers to: the latest one.
  const Binding& visible(std::size_t index) {
    const std::string& name = scope_[index].name;
    for (std::size_t i = scope_.size(); i-- > 0;) {
      if (scope_[i].name == name) return scope_[i];
    }
    return scope_[index];
  }

  // Mostly the latest bindings, so that assignments feed the result.
  Typed variable() {
    const Binding& b = visible(scope_.size() - 1 - in_.below(scope_.size()));
    Typed t{b.name, b.dtype};
    t.int_zero_constant = b.int_zero_constant;
    return t;
  }

  Typed expr(int depth) {
    if (depth <= 0 || in_.exhausted() || forms_ >= kMaxForms) return in_.flip() ? literal() : variable();
    ++forms_;
    switch (in_.below(14)) {
      case 0:
        return variable();
      case 1:
        return literal();
      case 2:
        return negation(depth);
      case 3:
        return Typed{"(!" + bool_expr(depth - 1).text + ")", DType::boolean()};
      case 4:
        return arithmetic(depth);
      case 5:
        return true_division(depth);
      case 6:
        return integer_division(depth);
      case 7:
        return comparison(depth);
      case 8:
        return logical(depth);
      case 9:
        return conditional(depth);
      case 10:
        return call(depth);
      case 11:
        return cast_to(expr(depth - 1), any_dtype());
      case 12:
        return derivative(depth);
      default: {
        Typed inner = expr(depth - 1);
        inner.text = "(" + inner.text + ")";
        return inner;
      }
    }
  }

  Typed literal() {
    switch (in_.below(6)) {
      case 0: {
        std::int64_t value = kIntValues[in_.below(kIntValues.size())];
        Typed t{decimal(value), int_literal_dtype(value)};
        t.int_literal = value;
        t.int_zero_constant = value == 0;
        return t;
      }
      case 1: {
        const FloatLiteral& f = kFloatLiterals[in_.below(kFloatLiterals.size())];
        return Typed{std::string(f.text), f.dtype};
      }
      case 2: {
        // A suffix on an integer literal: any dtype, the value within range
        // for integer suffixes.
        DType dtype = any_dtype();
        std::int64_t value = kIntValues[in_.below(kIntValues.size())];
        if (dtype.is_integer() && value > max_for_suffix(dtype)) value = max_for_suffix(dtype);
        Typed t{decimal(value) + "@" + std::string(ir::to_str(dtype)), dtype};
        t.int_literal = value;
        t.int_literal_suffixed = true;
        t.int_zero_constant = value == 0;
        return t;
      }
      case 3: {
        const FloatLiteral& f = kFloatLiterals[in_.below(kFloatLiterals.size())];
        DType dtype = in_.flip() ? float_dtype() : any_dtype();
        return Typed{std::string(f.text) + "@" + std::string(ir::to_str(dtype)), dtype};
      }
      case 4: {
        const FloatLiteral& c = kComplexLiterals[in_.below(kComplexLiterals.size())];
        if (in_.below(4) != 1) return Typed{std::string(c.text), c.dtype};
        DType dtype = in_.flip() ? DType::c64() : any_dtype();
        return Typed{std::string(c.text) + "@" + std::string(ir::to_str(dtype)), dtype};
      }
      default:
        switch (in_.below(4)) {
          case 0:
            return Typed{"true", DType::boolean()};
          case 1:
            return Typed{"false", DType::boolean()};
          case 2:
            return Typed{"pi", DType::f64()};
          default:
            return Typed{"e", DType::f64()};
        }
    }
  }

  // An explicit cast of `t` to `dtype` (written `(t)@dtype` or `cast<dtype>(t)`).
  Typed cast_to(Typed t, DType dtype) {
    std::string name(ir::to_str(dtype));
    std::string text = in_.flip() ? "cast<" + name + ">(" + t.text + ")" : "(" + t.text + ")@" + name;
    return Typed{std::move(text), dtype};
  }

  Typed expr_where(int depth, bool (*accept)(DType), DType (ProgramBuilder::*fallback)()) {
    Typed t = expr(depth);
    if (accept(t.dtype)) return t;
    return cast_to(std::move(t), (this->*fallback)());
  }

  Typed bool_expr(int depth) {
    return expr_where(
        depth, [](DType d) { return d.is_bool(); }, &ProgramBuilder::boolean_dtype);
  }
  DType boolean_dtype() { return DType::boolean(); }

  // Prefix operators bind looser than `**` (`-a ** b` is `-(a ** b)`), so
  // unary forms are parenthesised like the binary ones.
  Typed negation(int depth) {
    Typed operand = expr(depth - 1);
    if (operand.dtype.is_bool()) operand = cast_to(std::move(operand), integer_dtype());
    if (operand.int_literal) {
      // Lowering folds the sign into the literal: an unsuffixed literal takes
      // the type of the negated value; an unsigned suffix cannot hold it.
      std::int64_t negated = -*operand.int_literal;
      if (!operand.int_literal_suffixed) {
        Typed t{"(-" + operand.text + ")", int_literal_dtype(negated)};
        t.int_zero_constant = negated == 0;
        return t;
      }
      if (operand.dtype.is_unsigned() && negated != 0) {
        operand = cast_to(std::move(operand), operand.dtype);
      }
      Typed t{"(-" + operand.text + ")", operand.dtype};
      t.int_zero_constant = operand.int_zero_constant;
      return t;
    }
    return Typed{"(-" + operand.text + ")", operand.dtype};
  }

  // Casts `rhs` to `lhs`'s type when the two cannot be promoted.
  DType promoted(const Typed& lhs, Typed& rhs) {
    auto common = ir::promote(lhs.dtype, rhs.dtype);
    if (common) return *common;
    rhs = cast_to(std::move(rhs), lhs.dtype);
    return lhs.dtype;
  }

  // `//` and `%` refuse a constant integer 0 on the right.
  Typed nonzero_divisor(Typed rhs) {
    if (!rhs.int_zero_constant) return rhs;
    return cast_to(std::move(rhs), rhs.dtype);
  }

  Typed arithmetic(int depth) {
    constexpr std::array<std::string_view, 5> ops = {"+", "-", "*", "%", "**"};
    std::string_view op = ops[in_.below(ops.size())];
    Typed lhs = expr(depth - 1);
    Typed rhs = expr(depth - 1);
    if (op == "%") rhs = nonzero_divisor(std::move(rhs));
    DType dtype = promoted(lhs, rhs);
    return Typed{"(" + lhs.text + " " + std::string(op) + " " + rhs.text + ")", dtype};
  }

  Typed true_division(int depth) {
    Typed lhs = expr_where(depth - 1, is_float_or_complex, &ProgramBuilder::float_dtype);
    Typed rhs = expr_where(depth - 1, is_float_or_complex, &ProgramBuilder::float_dtype);
    DType dtype = promoted(lhs, rhs);
    return Typed{"(" + lhs.text + " / " + rhs.text + ")", dtype};
  }

  Typed integer_division(int depth) {
    auto is_integer = [](DType d) { return d.is_integer(); };
    Typed lhs = expr_where(depth - 1, is_integer, &ProgramBuilder::integer_dtype);
    Typed rhs = nonzero_divisor(expr_where(depth - 1, is_integer, &ProgramBuilder::integer_dtype));
    DType dtype = promoted(lhs, rhs);
    return Typed{"(" + lhs.text + " // " + rhs.text + ")", dtype};
  }

  Typed comparison(int depth) {
    constexpr std::array<std::string_view, 6> ops = {"==", "!=", "<", "<=", ">", ">="};
    std::string_view op = ops[in_.below(ops.size())];
    Typed lhs = expr(depth - 1);
    Typed rhs = expr(depth - 1);
    promoted(lhs, rhs);
    return Typed{"(" + lhs.text + " " + std::string(op) + " " + rhs.text + ")", DType::boolean()};
  }

  Typed logical(int depth) {
    std::string_view op = in_.flip() ? "||" : "&&";
    Typed lhs = bool_expr(depth - 1);
    Typed rhs = bool_expr(depth - 1);
    return Typed{"(" + lhs.text + " " + std::string(op) + " " + rhs.text + ")", DType::boolean()};
  }

  Typed conditional(int depth) {
    Typed cond = bool_expr(depth - 1);
    Typed then_branch = expr(depth - 1);
    Typed else_branch = expr(depth - 1);
    DType dtype = promoted(then_branch, else_branch);
    return Typed{"(if " + cond.text + " then " + then_branch.text + " else " + else_branch.text + ")", dtype};
  }

  Typed call(int depth) {
    std::string_view name = kBuiltins[in_.below(kBuiltins.size())];
    // Mostly floating arguments, where every builtin means something.
    Typed arg =
        in_.below(4) == 3 ? expr(depth - 1) : expr_where(depth - 1, is_float_or_complex, &ProgramBuilder::float_dtype);
    return Typed{std::string(name) + "(" + arg.text + ")", arg.dtype};
  }

  // `diff[p](e)` for a floating parameter p. The derivative's type follows
  // the differentiation engine's rules; an explicit cast pins it down here.
  // Each derivative of a derivative (nested, or through an assignment) can
  // multiply the rendered text's length about tenfold, as the result is
  // written as a tree; so a program holds at most two derivatives (three with
  // the `diff` operation), beyond which the time goes to writing megabytes.
  Typed derivative(int depth) {
    if (float_params_.empty() || derivatives_ >= kMaxDerivatives) return arithmetic(depth);
    const std::string& variable = float_params_[in_.below(float_params_.size())];
    ++derivatives_;
    Typed body = expr(depth - 1);
    Typed d{"diff[" + variable + "](" + body.text + ")", body.dtype};
    return cast_to(std::move(d), in_.flip() ? body.dtype : float_dtype());
  }

  ByteReader in_;
  std::vector<Binding> scope_;
  std::vector<std::string> float_params_;
  std::size_t lets_ = 0;
  std::size_t forms_ = 0;
  int derivatives_ = 0;
};

}  // namespace

std::string build_program(const std::uint8_t* data, std::size_t size, bool allow_tuple) {
  return ProgramBuilder(data, size).build(allow_tuple);
}

}  // namespace morvalen::fuzz

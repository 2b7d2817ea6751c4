#include "diag.h"

#include <array>

namespace morvalen::diag {
namespace {

struct KindInfo {
  std::string_view name;
  Severity severity;
  std::string_view help;
};

constexpr std::array<KindInfo, kDiagKindCount> kKinds = {{
    {"IntImaginaryLiteral", Severity::Fatal, "use a float imaginary literal instead, e.g. `2.0j` instead of `2j`"},
    {"UnknownDtype", Severity::Fatal, "use a supported dtype name such as `i32`, `i64`, `u8`, `f32`, `f64`, or `c128`"},
    {"Syntax", Severity::Fatal, "check the surrounding tokens and parentheses for typos or missing separators"},
    {"UnknownBinding", Severity::Error, "declare the variable earlier or fix the name to match an existing binding"},
    {"ReservedIdentifier", Severity::Error,
     "choose a different identifier; reserved words cannot be used as variable names"},
    {"UndefinedVariable", Severity::Error, "ensure the variable is defined as a parameter or let-binding before use"},
    {"TypeMismatch", Severity::Error,
     "make operand dtypes compatible, for example by inserting explicit casts using `@dtype`"},
    {"IntOutOfRange", Severity::Error,
     "adjust the literal value or choose a wider integer dtype that can represent it"},
    {"UndefinedFunction", Severity::Error,
     "define the function or call a supported builtin such as `exp`, `log`, `sqrt`, `floor`, or `ceil`"},
    {"ArgCount", Severity::Error, "add or remove arguments so the call matches the function's parameter count"},
    {"DivByZero", Severity::Error,
     "ensure the divisor cannot be zero, e.g. by guarding with an `if` or changing the expression"},
    {"ExpectedScalar", Severity::Error,
     "use a scalar expression here, or destructure the tuple before using it in a scalar position"},
    {"ImplicitPromotion", Severity::Note,
     "consider inserting an explicit cast with `@dtype` on one operand to make the promotion clear"},
    {"PrecisionLoss", Severity::Warning,
     "use a wider float dtype (e.g. `f32` or `f64`) if you need to preserve full precision"},
    {"UnsafePromotion", Severity::Warning,
     "avoid mixing `u64` with signed ints, or cast to a wider float/complex dtype if large values are expected"},
    {"SequentialCasts", Severity::Warning,
     "simplify the expression to a single cast like `expr@dtype` unless an intermediate cast is required"},
    {"RestorePromotion", Severity::Allow,
     "if this promotion is surprising, make the intended dtype explicit in the source using `@dtype` casts"},
    {"ConstOverflow", Severity::Warning,
     "rewrite the constant expression to avoid overflow, or choose a wider integer/float dtype for the result"},
    {"ShadowedBinding", Severity::Warning,
     "rename one of the symbols if you intended the outer and inner bindings to be distinct"},
}};

const KindInfo* info(DiagKind kind) {
  auto index = static_cast<std::size_t>(kind);
  return index < kKinds.size() ? &kKinds[index] : nullptr;
}

std::string str(ir::DType d) { return std::string(ir::to_str(d)); }

}  // namespace

std::string_view to_str(DiagKind kind) {
  const KindInfo* k = info(kind);
  return k ? k->name : "<invalid-kind>";
}

std::string_view to_str(Severity severity) {
  switch (severity) {
    case Severity::Allow:
      return "allow";
    case Severity::Note:
      return "note";
    case Severity::Warning:
      return "warning";
    case Severity::Error:
      return "error";
    case Severity::Fatal:
      return "fatal";
  }
  return "fatal";
}

Severity default_severity(DiagKind kind) {
  const KindInfo* k = info(kind);
  return k ? k->severity : Severity::Fatal;
}

std::string_view default_help(DiagKind kind) {
  const KindInfo* k = info(kind);
  return k ? k->help : std::string_view();
}

Diag Diag::make(DiagKind kind, std::optional<Span> span, std::string message, std::optional<std::string> help) {
  Diag d;
  d.kind = kind;
  d.span = span;
  d.message = std::move(message);
  d.help = help ? std::move(help) : std::optional<std::string>(std::string(default_help(kind)));
  return d;
}

Severity DiagConfig::severity(DiagKind kind) const {
  auto index = static_cast<std::size_t>(kind);
  if (kind == DiagKind::IntImaginaryLiteral || kind == DiagKind::UnknownDtype || kind == DiagKind::Syntax ||
      index >= kDiagKindCount) {
    return Severity::Fatal;
  }
  Severity s = default_severity(kind);
  if (auto it = overrides.find(kind); it != overrides.end()) s = it->second;
  if (deny_warnings && s == Severity::Warning) s = Severity::Error;
  return s;
}

std::optional<Diag> DiagCollector::emit(Diag diag) {
  switch (config_.severity(diag.kind)) {
    case Severity::Allow:
      return std::nullopt;
    case Severity::Note:
    case Severity::Warning:
      diags_.push_back(std::move(diag));
      return std::nullopt;
    case Severity::Error:
    case Severity::Fatal:
      return diag;
  }
  return diag;
}

std::string undefined_variable_message(std::string_view name) {
  return "undefined variable `" + std::string(name) + "`";
}

std::string type_mismatch_message(std::string_view operation, ir::DType a, ir::DType b) {
  return "type mismatch in " + std::string(operation) + ": cannot promote " + str(a) + " and " + str(b);
}

std::string int_out_of_range_message(std::int64_t value, ir::DType dtype) {
  return "integer literal `" + std::to_string(value) + "` is out of range for `" + str(dtype) + "`";
}

std::string undefined_function_message(std::string_view name) {
  return "undefined function `" + std::string(name) + "`";
}

std::string arg_count_message(std::string_view name, std::size_t expected, std::size_t actual) {
  return "wrong argument count for `" + std::string(name) + "`: expected " + std::to_string(expected) + ", got " +
         std::to_string(actual);
}

std::string div_by_zero_message(std::string_view op_spelling) {
  return "division by zero in " + std::string(op_spelling);
}

std::string expected_scalar_message(std::string_view expected, std::string_view actual) {
  return "expected " + std::string(expected) + " value, but expression produced " + std::string(actual);
}

std::string implicit_promotion_message(std::string_view operation, ir::DType a, ir::DType b, ir::DType promoted) {
  return "implicit promotion in " + std::string(operation) + ": " + str(a) + " + " + str(b) + " -> " + str(promoted);
}

std::string precision_loss_message(std::string_view value, ir::DType dtype) {
  return "literal `" + std::string(value) + "` may lose precision in `" + str(dtype) + "`";
}

std::string unsafe_promotion_message(std::string_view operation, ir::DType a, ir::DType b, ir::DType promoted) {
  return "unsafe promotion in " + std::string(operation) + ": " + str(a) + " and " + str(b) + " promoted to " +
         str(promoted);
}

std::string sequential_casts_message(ir::DType inner, ir::DType outer) {
  return "multiple sequential casts: " + str(inner) + " -> " + str(outer) + "; consider casting directly to " +
         str(outer);
}

std::string promotion_hint(ir::DType a, ir::DType b, ir::DType promoted) {
  const std::string p = str(promoted);
  if (a == promoted) return "cast the right operand from " + str(b) + " to " + p + " using `@" + p + "`";
  if (b == promoted) return "cast the left operand from " + str(a) + " to " + p + " using `@" + p + "`";
  return "cast one operand to " + p + " using `@" + p + "`";
}

std::string_view precision_loss_help(ir::DType dtype) {
  if (dtype == ir::DType::f32()) return "consider f64 for full precision";
  return "consider f32 or f64 for full precision";
}

}  // namespace morvalen::diag

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ir/dtype.h"
#include "support/span.h"

namespace morvalen::diag {

enum class DiagKind : std::uint8_t {
  IntImaginaryLiteral,
  UnknownDtype,
  Syntax,
  UnknownBinding,
  ReservedIdentifier,
  UndefinedVariable,
  TypeMismatch,
  IntOutOfRange,
  UndefinedFunction,
  ArgCount,
  DivByZero,
  ExpectedScalar,
  ImplicitPromotion,
  PrecisionLoss,
  UnsafePromotion,
  SequentialCasts,
  RestorePromotion,
  ConstOverflow,
  ShadowedBinding,
};

inline constexpr std::size_t kDiagKindCount = 19;

/// Allow drops a diagnostic; Note and Warning keep it; Error and Fatal fail.
enum class Severity : std::uint8_t { Allow, Note, Warning, Error, Fatal };

std::string_view to_str(DiagKind kind);
std::string_view to_str(Severity severity);
Severity default_severity(DiagKind kind);
std::string_view default_help(DiagKind kind);

struct Label {
  Span span;
  std::string text;
  friend bool operator==(const Label&, const Label&) = default;
};

struct Diag {
  DiagKind kind = DiagKind::Syntax;
  std::optional<Span> span;
  std::string message;
  std::optional<std::vector<Label>> labels;
  std::optional<std::string> help;

  /// A diagnostic without labels; an absent help takes the kind's default help.
  static Diag make(DiagKind kind, std::optional<Span> span, std::string message,
                   std::optional<std::string> help = std::nullopt);
};

struct DiagConfig {
  std::unordered_map<DiagKind, Severity> overrides;
  bool deny_warnings = false;

  /// The three parser kinds (and values beyond the table) are always Fatal;
  /// otherwise the default or the override, with Warning raised to Error under
  /// deny_warnings.
  Severity severity(DiagKind kind) const;
};

/// Keeps notes and warnings; hands back errors to stop the caller.
class DiagCollector {
 public:
  explicit DiagCollector(DiagConfig config = {}) : config_(std::move(config)) {}

  /// Returns the diagnostic when its severity is Error or Fatal (the caller
  /// stops); otherwise keeps it (Note, Warning) or drops it (Allow).
  [[nodiscard]] std::optional<Diag> emit(Diag diag);

  const std::vector<Diag>& diags() const { return diags_; }
  const DiagConfig& config() const { return config_; }

 private:
  std::vector<Diag> diags_;
  DiagConfig config_;
};

// Message texts shared by the stages. Dtypes print by their spelling.
std::string undefined_variable_message(std::string_view name);
std::string type_mismatch_message(std::string_view operation, ir::DType a, ir::DType b);
std::string int_out_of_range_message(std::int64_t value, ir::DType dtype);
std::string undefined_function_message(std::string_view name);
std::string arg_count_message(std::string_view name, std::size_t expected, std::size_t actual);
std::string div_by_zero_message(std::string_view op_spelling);
std::string expected_scalar_message(std::string_view expected, std::string_view actual);
std::string implicit_promotion_message(std::string_view operation, ir::DType a, ir::DType b, ir::DType promoted);
std::string precision_loss_message(std::string_view value, ir::DType dtype);
std::string unsafe_promotion_message(std::string_view operation, ir::DType a, ir::DType b, ir::DType promoted);
std::string sequential_casts_message(ir::DType inner, ir::DType outer);

/// The implicit-promotion hint: which operand to cast to `promoted`.
std::string promotion_hint(ir::DType a, ir::DType b, ir::DType promoted);
inline constexpr std::string_view kUnsafePromotionHelp =
    "u64 values may exceed i64 range; consider casting to f64/c128 or constraining the range";
inline constexpr std::string_view kSequentialCastsHelp =
    "simplify to a single `expr@dtype` unless the intermediate cast is required";
/// "consider f64 for full precision" for f32, "consider f32 or f64 ..." for f16/bf16.
std::string_view precision_loss_help(ir::DType dtype);

}  // namespace morvalen::diag

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "ir/ops.h"
#include "support/result.h"
#include "support/symbol.h"

namespace morvalen::opt {

/// Inside a `RecExpr`: the position of an earlier node. Inside the e-graph: an
/// e-class identifier.
struct Id {
  std::uint32_t value = 0;

  friend constexpr bool operator==(Id, Id) = default;
  friend constexpr auto operator<=>(Id, Id) = default;
};

/// The 39 variants of the term language; the enumerator order is the variant
/// index used for ordering nodes. Declared with the operator vocabulary, whose
/// rows name their variants.
using MathKind = ir::MathKind;
using ir::kMathKindCount;

/// Properties of one variant.
struct MathKindInfo {
  std::string_view name;      ///< "Add", "FusedExpSigmoid", ...
  std::string_view spelling;  ///< pattern spelling ("+", "ifelse", ...); empty for the four leaves
  std::uint8_t arity;         ///< number of children (0 for leaves)
  std::uint8_t cost;          ///< extraction cost of one node, before its children's
};

namespace detail {
// The variants that stand for no operator or builtin; the others take their
// rows from the vocabulary tables.
inline constexpr std::array<std::pair<MathKind, MathKindInfo>, 8> kOwnKinds = {{
    {MathKind::Bool, {"Bool", "", 0, 1}},
    {MathKind::Int, {"Int", "", 0, 1}},
    {MathKind::Num, {"Num", "", 0, 1}},
    {MathKind::Complex, {"Complex", "complex", 2, 2}},
    {MathKind::Param, {"Param", "param", 1, 2}},
    {MathKind::Cast, {"Cast", "cast", 2, 2}},
    {MathKind::TypeToken, {"TypeToken", "", 0, 1}},
    {MathKind::IfElse, {"IfElse", "ifelse", 3, 2}},
}};

constexpr std::array<MathKindInfo, kMathKindCount> make_kind_table() {
  std::array<MathKindInfo, kMathKindCount> table{};
  auto put = [&](MathKind kind, MathKindInfo info) { table[static_cast<std::size_t>(kind)] = info; };
  for (const auto& [kind, info] : kOwnKinds) put(kind, info);
  // Patterns spell operators by their source token and builtins by their name.
  for (const ir::UnaryOpInfo& op : ir::kUnaryOps) put(op.term, {op.term_name, op.term_spelling, 1, op.cost});
  for (const ir::BinaryOpInfo& op : ir::kBinaryOps) put(op.term, {op.term_name, op.token, 2, op.cost});
  for (const ir::BuiltinInfo& b : ir::kBuiltins) put(b.term, {b.term_name, b.name, 1, b.cost});
  return table;
}

inline constexpr std::array<MathKindInfo, kMathKindCount> kKinds = make_kind_table();

// As many rows as variants, and every variant has one: each row names its own.
static_assert(kOwnKinds.size() + ir::kUnaryOpCount + ir::kBinaryOpCount + ir::kBuiltinCount == kMathKindCount);
static_assert([] {
  for (const MathKindInfo& info : kKinds)
    if (info.name.empty()) return false;
  return true;
}());

// Child counts by variant, compact for the hot paths.
inline constexpr std::array<std::uint8_t, kMathKindCount> kArity = [] {
  std::array<std::uint8_t, kMathKindCount> arity{};
  for (std::size_t k = 0; k < kMathKindCount; ++k) arity[k] = kKinds[k].arity;
  return arity;
}();
}  // namespace detail

inline const MathKindInfo& kind_info(MathKind kind) { return detail::kKinds[static_cast<std::size_t>(kind)]; }
inline std::string_view kind_name(MathKind kind) { return kind_info(kind).name; }

inline std::size_t kind_arity(MathKind kind) { return detail::kArity[static_cast<std::size_t>(kind)]; }

/// One term node: a tag plus either a leaf payload (bool, i64, f64 or symbol) or
/// up to three child `Id`s. 16 bytes, trivially copyable, owns nothing; compares,
/// orders and hashes without allocating.
///
/// Equality: same variant and payload/children; `Num` payloads compare with NaN
/// equal to NaN and 0.0 equal to -0.0 (the stored bits are kept as given).
/// Ordering: variant index first, then false < true, integers by value, floats by
/// value with NaN above every number, tokens by interned index, children
/// lexicographically.
class MathLang {
 public:
  static MathLang make_bool(bool value);
  static MathLang make_int(std::int64_t value);
  static MathLang make_num(double value);
  static MathLang make_token(support::Symbol symbol);
  static MathLang make_token(std::string_view text) { return make_token(support::Symbol::intern(text)); }
  /// A variant with children; `children.size()` must equal the variant's arity
  /// (an internal invariant failure otherwise, as is a leaf variant here).
  static MathLang make(MathKind kind, std::span<const Id> children);
  static MathLang make(MathKind kind, Id a) { return make(kind, std::array<Id, 1>{a}); }
  static MathLang make(MathKind kind, Id a, Id b) { return make(kind, std::array<Id, 2>{a, b}); }
  static MathLang make(MathKind kind, Id a, Id b, Id c) { return make(kind, std::array<Id, 3>{a, b, c}); }

  MathKind kind() const { return kind_; }
  bool is_leaf() const { return kind_arity(kind_) == 0; }

  /// Leaf payloads; reading the wrong one is an internal invariant failure.
  bool bool_value() const;
  std::int64_t int_value() const;
  double num_value() const;
  support::Symbol token() const;

  /// The child ids (empty for leaves).
  std::span<const Id> children() const { return {ids_.data(), kind_arity(kind_)}; }
  std::span<Id> children() { return {ids_.data(), kind_arity(kind_)}; }

  /// Copy with every child replaced by `f(child)`.
  template <typename F>
  MathLang map_children(F&& f) const {
    MathLang out = *this;
    for (Id& c : out.children()) c = f(c);
    return out;
  }

  /// Same variant and payload, ignoring children ("the same operator").
  bool matches_op(const MathLang& other) const;

  /// Debug rendering: "Add([1, 3])", "Int(5)", "Num(2.5)", "TypeToken(\"f32\")".
  std::string to_string() const;

  /// Hash consistent with equality.
  std::size_t hash() const {
    std::uint64_t lo = 0;
    std::uint64_t hi = static_cast<std::uint64_t>(kind_) << 32;
    if (kind_ == MathKind::Num) {
      lo = canonical_num_bits();
    } else {
      lo = bits();
      hi |= ids_[2].value;
    }
    std::uint64_t h = lo * 0x9E3779B97F4A7C15ULL;
    h ^= (hi + 0x632BE59BD9B4E019ULL) * 0xC2B2AE3D27D4EB4FULL;
    h ^= h >> 31;
    h *= 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 29;
    return static_cast<std::size_t>(h);
  }

  friend bool operator==(const MathLang& a, const MathLang& b) {
    if (a.kind_ != b.kind_) return false;
    if (a.kind_ == MathKind::Num) return num_equal(a.bits(), b.bits());
    return a.ids_ == b.ids_;
  }
  friend std::strong_ordering operator<=>(const MathLang& a, const MathLang& b);

 private:
  MathLang() = default;
  void set_bits(std::uint64_t bits) {
    ids_[0].value = static_cast<std::uint32_t>(bits);
    ids_[1].value = static_cast<std::uint32_t>(bits >> 32);
  }
  std::uint64_t bits() const { return ids_[0].value | (static_cast<std::uint64_t>(ids_[1].value) << 32); }
  static bool is_nan_bits(std::uint64_t b) { return (b & 0x7FFFFFFFFFFFFFFFULL) > 0x7FF0000000000000ULL; }
  // NaN equals NaN; otherwise IEEE equality on the bit patterns (so 0.0 == -0.0).
  static bool num_equal(std::uint64_t a, std::uint64_t b) {
    bool an = is_nan_bits(a);
    bool bn = is_nan_bits(b);
    if (an || bn) return an && bn;
    return a == b || ((a | b) & 0x7FFFFFFFFFFFFFFFULL) == 0;
  }
  // NaN as the canonical quiet NaN, -0.0 as +0.0.
  std::uint64_t canonical_num_bits() const {
    std::uint64_t b = bits();
    if (is_nan_bits(b)) return 0x7FF8000000000000ULL;
    if ((b & 0x7FFFFFFFFFFFFFFFULL) == 0) return 0;
    return b;
  }

  MathKind kind_ = MathKind::Bool;
  std::array<std::uint8_t, 3> pad_{};
  // Leaf payloads live in the bytes of the first two ids; unused words are zero.
  std::array<Id, 3> ids_{};
};

/// Operator text and children that `from_op` could not turn into a node.
struct FromOpError {
  std::string op;
  std::vector<Id> children;
  /// "failed to parse 'OP' with children [1, 2]".
  std::string to_string() const;
};

/// Builds a node from pattern operator text: "true"/"false" → Bool, a signed
/// decimal integer → Int, any other float text → Num (all three only without
/// children), then the operator spellings with their exact child counts, else a
/// TypeToken of the text when there are no children, else the error.
Result<MathLang, FromOpError> from_op(std::string_view op, std::span<const Id> children);

/// A flat term: every child id is smaller than the position of its parent; the
/// last node is the root.
class RecExpr {
 public:
  RecExpr() = default;

  /// Appends `node` and returns its position. A child id not smaller than the
  /// new position is an internal invariant failure.
  Id add(const MathLang& node) {
    // Inline: terms are built one node at a time, and the check is a compare
    // per child.
    const auto pos = static_cast<std::uint32_t>(nodes_.size());
    for (Id c : node.children())
      if (c.value >= pos) misplaced_child(node, c);
    nodes_.push_back(node);
    return Id{pos};
  }
  void reserve(std::size_t n) { nodes_.reserve(n); }
  /// Removes every node, keeping the storage.
  void clear() { nodes_.clear(); }
  std::size_t capacity() const { return nodes_.capacity(); }

  const std::vector<MathLang>& nodes() const { return nodes_; }
  const MathLang& operator[](Id id) const { return nodes_[id.value]; }
  std::size_t size() const { return nodes_.size(); }
  bool empty() const { return nodes_.empty(); }
  /// Position of the last node (an internal invariant failure when empty).
  Id root() const;

  /// Debug text: the nodes' renderings with their positions, one per line.
  std::string to_string() const;

  friend bool operator==(const RecExpr&, const RecExpr&) = default;

 private:
  [[noreturn]] void misplaced_child(const MathLang& node, Id child) const;
  std::vector<MathLang> nodes_;
};

/// The optimizer's error.
struct OptError {
  struct SingleOutputOnly {};
  struct UnsupportedCall {
    std::string name;
  };
  struct InvalidExpr {
    std::string message;
  };
  std::variant<SingleOutputOnly, UnsupportedCall, InvalidExpr> detail;

  static OptError single_output_only() { return {SingleOutputOnly{}}; }
  static OptError unsupported_call(std::string name) { return {UnsupportedCall{std::move(name)}}; }
  static OptError invalid_expr(std::string message) { return {InvalidExpr{std::move(message)}}; }

  /// "only single-output DAG is currently supported by optimize",
  /// "unsupported call `NAME` in opt conversion", or
  /// "invalid expr during conversion: " + message.
  std::string to_string() const;
};

/// Shortest round-trip text of a float with a fractional part (".0" for whole
/// numbers), exponent form at magnitudes >= 1e16 or < 1e-4, and "NaN", "inf",
/// "-inf". Used by the debug rendering of `Num`.
std::string format_num(double value);

}  // namespace morvalen::opt

template <>
struct std::hash<morvalen::opt::Id> {
  std::size_t operator()(morvalen::opt::Id id) const noexcept { return std::hash<std::uint32_t>{}(id.value); }
};

template <>
struct std::hash<morvalen::opt::MathLang> {
  std::size_t operator()(const morvalen::opt::MathLang& n) const noexcept { return n.hash(); }
};

#include "diff/builder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <set>
#include <string_view>
#include <type_traits>
#include <variant>

#include "ir/const_conv.h"
#include "support/internal_error.h"

namespace morvalen::diff {
namespace {

// The most terms (or factors) one nested sum (or product) is flattened into; a
// larger operand is split only at its top node, and a larger part below that
// stays one term. Flattening a DAG whose sums reuse earlier sums (a2 = a1 + a0,
// a3 = a2 + a1, ...) would otherwise copy an exponential number of leaves, and
// long chains would be copied again at every step. The value is the same
// either way.
constexpr std::size_t kMaxCollected = 64;

// ---------------------------------------------------------------------------
// Numbers read from constants under the class of a result dtype.

enum class NumClass : std::uint8_t { None, Integer, Float, Complex };

NumClass num_class(ir::DType t) {
  switch (t.kind) {
    case ir::DTypeKind::Bool:
      return NumClass::None;
    case ir::DTypeKind::UInt:
    case ir::DTypeKind::Int:
      return NumClass::Integer;
    case ir::DTypeKind::Float:
      return NumClass::Float;
    case ir::DTypeKind::Complex:
      return NumClass::Complex;
  }
  return NumClass::None;
}

struct Number {
  std::int64_t i = 0;
  double re = 0.0;
  double im = 0.0;
};

const canon::Constant* as_constant(const CanonExpr& e) { return std::get_if<canon::Constant>(&e); }

const literal::Int* as_int_literal(const CanonExpr& e) {
  const auto* c = as_constant(e);
  return c ? std::get_if<literal::Int>(&c->value) : nullptr;
}

// The value of `lit` when it counts as a number of class `k`.
std::optional<Number> read_number(const Literal& lit, NumClass k) {
  switch (k) {
    case NumClass::None:
      return std::nullopt;
    case NumClass::Integer:
      if (const auto* i = std::get_if<literal::Int>(&lit)) return Number{i->value, 0.0, 0.0};
      return std::nullopt;
    case NumClass::Float:
    case NumClass::Complex:
      if (const auto* i = std::get_if<literal::Int>(&lit)) return Number{0, static_cast<double>(i->value), 0.0};
      if (const auto* f = std::get_if<literal::Float>(&lit)) return Number{0, f->value, 0.0};
      if (std::holds_alternative<literal::E>(lit)) return Number{0, kEValue, 0.0};
      if (std::holds_alternative<literal::Pi>(lit)) return Number{0, kPiValue, 0.0};
      if (k == NumClass::Complex) {
        if (const auto* c = std::get_if<literal::Complex>(&lit)) return Number{0, c->re, c->im};
      }
      return std::nullopt;
  }
  return std::nullopt;
}

bool is_zero_number(const Number& n, NumClass k) {
  switch (k) {
    case NumClass::None:
      return false;
    case NumClass::Integer:
      return n.i == 0;
    case NumClass::Float:
      return n.re == 0.0;
    case NumClass::Complex:
      return n.re == 0.0 && n.im == 0.0;
  }
  return false;
}

bool is_one_number(const Number& n, NumClass k) {
  switch (k) {
    case NumClass::None:
      return false;
    case NumClass::Integer:
      return n.i == 1;
    case NumClass::Float:
      return n.re == 1.0;
    case NumClass::Complex:
      return n.re == 1.0 && n.im == 0.0;
  }
  return false;
}

Literal number_literal(const Number& n, NumClass k) {
  switch (k) {
    case NumClass::None:
      break;
    case NumClass::Integer:
      return literal::Int{n.i};
    case NumClass::Float:
      return literal::Float{n.re};
    case NumClass::Complex:
      return literal::Complex{n.re, n.im};
  }
  throw InternalError("canonical builder: no literal for a non-numeric class");
}

// The constant equals `target` (0 or 1) in the sense the power rules use: for a
// float dtype an Int or Float literal; for a complex dtype an Int, Float or
// Complex literal with a zero imaginary part; for an integer dtype an Int literal.
bool power_literal_equals(const CanonExpr& e, ir::DType t, int target) {
  const auto* c = as_constant(e);
  if (c == nullptr) return false;
  const double want = static_cast<double>(target);
  switch (t.kind) {
    case ir::DTypeKind::Bool:
      return false;
    case ir::DTypeKind::UInt:
    case ir::DTypeKind::Int:
      if (const auto* i = std::get_if<literal::Int>(&c->value)) return i->value == target;
      return false;
    case ir::DTypeKind::Float:
      if (const auto* i = std::get_if<literal::Int>(&c->value)) return static_cast<double>(i->value) == want;
      if (const auto* f = std::get_if<literal::Float>(&c->value)) return f->value == want;
      return false;
    case ir::DTypeKind::Complex:
      if (const auto* i = std::get_if<literal::Int>(&c->value)) return static_cast<double>(i->value) == want;
      if (const auto* f = std::get_if<literal::Float>(&c->value)) return f->value == want;
      if (const auto* z = std::get_if<literal::Complex>(&c->value)) return z->im == 0.0 && z->re == want;
      return false;
  }
  return false;
}

double flip_sign(double v) { return std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) ^ (std::uint64_t{1} << 63)); }

// ---------------------------------------------------------------------------
// Structural order helpers.

std::strong_ordering compare_text(std::string_view a, std::string_view b) {
  const int c = a.compare(b);
  return c < 0 ? std::strong_ordering::less : (c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal);
}

// By spelling. Values outside the fifteen dtypes all spell "<invalid-dtype>";
// they are told apart by their fields so that the order never calls two
// differently keyed expressions equal.
std::strong_ordering compare_dtype(ir::DType a, ir::DType b) {
  if (a.kind == b.kind && a.bits == b.bits && a.is_bfloat == b.is_bfloat) return std::strong_ordering::equal;
  if (auto c = compare_text(ir::to_str(a), ir::to_str(b)); c != 0) return c;
  if (a == b) return std::strong_ordering::equal;
  if (a.kind != b.kind) return a.kind <=> b.kind;
  if (a.bits != b.bits) return a.bits <=> b.bits;
  return a.is_bfloat <=> b.is_bfloat;
}

std::strong_ordering compare_opt_dtype(const std::optional<ir::DType>& a, const std::optional<ir::DType>& b) {
  if (a.has_value() != b.has_value()) return a.has_value() ? std::strong_ordering::greater : std::strong_ordering::less;
  if (!a.has_value()) return std::strong_ordering::equal;
  return compare_dtype(*a, *b);
}

std::uint64_t bits_of(double v) { return std::bit_cast<std::uint64_t>(v); }

// Literal kind, then value (and then the optional dtype for Int, Float, Complex).
std::strong_ordering compare_constants(const canon::Constant& a, const canon::Constant& b) {
  if (a.value.index() != b.value.index()) return a.value.index() <=> b.value.index();
  std::strong_ordering value = std::visit(
      [&](const auto& la) -> std::strong_ordering {
        using T = std::decay_t<decltype(la)>;
        const auto& lb = std::get<T>(b.value);
        if constexpr (std::is_same_v<T, literal::Bool>) {
          return la.value <=> lb.value;
        } else if constexpr (std::is_same_v<T, literal::Int>) {
          return la.value <=> lb.value;
        } else if constexpr (std::is_same_v<T, literal::Float>) {
          return bits_of(la.value) <=> bits_of(lb.value);
        } else if constexpr (std::is_same_v<T, literal::Complex>) {
          if (auto c = bits_of(la.re) <=> bits_of(lb.re); c != 0) return c;
          return bits_of(la.im) <=> bits_of(lb.im);
        } else {
          return std::strong_ordering::equal;
        }
      },
      a.value);
  if (value != 0) return value;
  const bool has_dtype_key = std::holds_alternative<literal::Int>(a.value) ||
                             std::holds_alternative<literal::Float>(a.value) ||
                             std::holds_alternative<literal::Complex>(a.value);
  if (!has_dtype_key) return std::strong_ordering::equal;
  return compare_opt_dtype(a.dtype, b.dtype);
}

// The pair-order cache: linear probing over power-of-two tables; the young
// one doubles up to kCacheMaxSlots and ages when that one is half full.
constexpr std::size_t kCacheMinSlots = std::size_t{1} << 12;
constexpr std::size_t kCacheMaxSlots = std::size_t{1} << 20;

// The steps a comparison walks before it consults and fills the cache.
constexpr int kShortWalk = 8;

std::size_t cache_slot(std::uint64_t key, std::size_t slots) {
  return static_cast<std::size_t>((key * 0x9e3779b97f4a7c15ULL) >> 32) & (slots - 1);
}

// Where two expressions of the same variant first differ: either a field that
// decides the order, or a pair of distinct operand ids whose order decides it.
struct FirstDifference {
  std::strong_ordering decided = std::strong_ordering::equal;
  bool descend = false;
  CanonExprId a;
  CanonExprId b;
};

FirstDifference decided(std::strong_ordering o) { return FirstDifference{o, false, {}, {}}; }

// Walks the fields in order; an operand pair of distinct ids ends the walk, and
// the fields after an operand are only looked at when the pair is one id.
FirstDifference first_difference(const CanonExpr& ex, const CanonExpr& ey) {
  if (ex.index() != ey.index()) return decided(ex.index() <=> ey.index());
  auto ids = [](CanonExprId x, CanonExprId y) -> std::optional<FirstDifference> {
    if (x == y) return std::nullopt;
    return FirstDifference{std::strong_ordering::equal, true, x, y};
  };
  return std::visit(
      [&](const auto& fx) -> FirstDifference {
        using T = std::decay_t<decltype(fx)>;
        const auto& fy = std::get<T>(ey);
        if constexpr (std::is_same_v<T, canon::Parameter>) {
          if (auto c = compare_text(fx.name, fy.name); c != 0) return decided(c);
          return decided(compare_dtype(fx.dtype, fy.dtype));
        } else if constexpr (std::is_same_v<T, canon::Constant>) {
          return decided(compare_constants(fx, fy));
        } else if constexpr (std::is_same_v<T, canon::Unary>) {
          if (fx.op != fy.op) {
            if (auto c = compare_text(ir::to_str(fx.op), ir::to_str(fy.op)); c != 0) return decided(c);
          }
          if (auto d = ids(fx.operand, fy.operand)) return *d;
          return decided(compare_dtype(fx.dtype, fy.dtype));
        } else if constexpr (std::is_same_v<T, canon::Binary>) {
          if (fx.op != fy.op) {
            if (auto c = compare_text(ir::as_str(fx.op), ir::as_str(fy.op)); c != 0) return decided(c);
          }
          if (auto d = ids(fx.left, fy.left)) return *d;
          if (auto d = ids(fx.right, fy.right)) return *d;
          return decided(compare_dtype(fx.dtype, fy.dtype));
        } else if constexpr (std::is_same_v<T, canon::Call>) {
          if (auto c = compare_text(fx.name, fy.name); c != 0) return decided(c);
          const std::size_t common = std::min(fx.args.size(), fy.args.size());
          for (std::size_t i = 0; i < common; ++i) {
            if (auto d = ids(fx.args[i], fy.args[i])) return *d;
          }
          if (auto c = fx.args.size() <=> fy.args.size(); c != 0) return decided(c);
          return decided(compare_dtype(fx.dtype, fy.dtype));
        } else if constexpr (std::is_same_v<T, canon::Select>) {
          if (auto d = ids(fx.cond, fy.cond)) return *d;
          if (auto d = ids(fx.then_branch, fy.then_branch)) return *d;
          if (auto d = ids(fx.else_branch, fy.else_branch)) return *d;
          return decided(compare_dtype(fx.dtype, fy.dtype));
        } else {
          if (auto d = ids(fx.operand, fy.operand)) return *d;
          if (auto c = compare_dtype(fx.dtype, fy.dtype); c != 0) return decided(c);
          return decided(fx.is_explicit <=> fy.is_explicit);
        }
      },
      ex);
}

// ---------------------------------------------------------------------------
// Order prefixes: 64 bits per expression that follow the structural order as
// far as they reach. The top three bits are the variant; below them come the
// first fields in order, an operand standing for the prefix of its own, cut
// to the bits left. A cut order-preserving encoding still orders strictly
// where it differs, so `prefix(a) < prefix(b)` implies `a < b`; equal
// prefixes say nothing.

// The rank of each operator's spelling among the distinct spellings, so that
// ranks order as the spellings do.
template <typename Info, std::size_t N>
constexpr std::array<std::uint8_t, N> spelling_ranks(const std::array<Info, N>& table) {
  std::array<std::uint8_t, N> ranks{};
  for (std::size_t i = 0; i < N; ++i) {
    for (std::size_t j = 0; j < N; ++j) {
      bool first_of_its_spelling = true;
      for (std::size_t k = 0; k < j; ++k)
        first_of_its_spelling = first_of_its_spelling && table[k].name != table[j].name;
      if (first_of_its_spelling && table[j].name < table[i].name) ++ranks[i];
    }
  }
  return ranks;
}

constexpr auto kUnaryRanks = spelling_ranks(ir::kUnaryOps);
constexpr auto kBinaryRanks = spelling_ranks(ir::kBinaryOps);
static_assert(ir::kBinaryOpCount <= 16 && ir::kUnaryOpCount <= 16, "an operator rank takes four bits");

constexpr int kVariantShift = 61;
static_assert(std::variant_size_v<CanonExpr> <= 8, "the variant takes three bits");

std::uint64_t variant_bits(std::size_t index) { return std::uint64_t{index} << kVariantShift; }

// The first seven bytes of a name, zero-padded: a shorter name sorts first
// where it is a prefix, and a zero byte decides nothing.
std::uint64_t name_bytes(std::string_view name) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < 7; ++i) {
    v = (v << 8) | (i < name.size() ? static_cast<unsigned char>(name[i]) : 0U);
  }
  return v;
}

// The literal's kind, then its value as an unsigned number in value order.
std::uint64_t constant_prefix(const canon::Constant& c) {
  const std::uint64_t value = std::visit(
      [](const auto& lit) -> std::uint64_t {
        using L = std::decay_t<decltype(lit)>;
        if constexpr (std::is_same_v<L, literal::Bool>) {
          return lit.value ? std::uint64_t{1} << 63 : 0;
        } else if constexpr (std::is_same_v<L, literal::Int>) {
          return static_cast<std::uint64_t>(lit.value) ^ (std::uint64_t{1} << 63);
        } else if constexpr (std::is_same_v<L, literal::Float>) {
          return bits_of(lit.value);
        } else if constexpr (std::is_same_v<L, literal::Complex>) {
          return bits_of(lit.re);
        } else {
          return 0;
        }
      },
      c.value);
  return variant_bits(1) | (std::uint64_t{c.value.index()} << 58) | (value >> 6);
}

std::uint64_t binary_order_prefix(const canon::Binary& b, std::uint64_t left_prefix) {
  return variant_bits(3) | (std::uint64_t{kBinaryRanks[static_cast<std::size_t>(b.op)]} << 57) | (left_prefix >> 7);
}

// `prefixes` holds the prefix of every operand.
std::uint64_t order_prefix(const CanonExpr& expr, const std::vector<std::uint64_t>& prefixes) {
  return std::visit(
      [&](const auto& e) -> std::uint64_t {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, canon::Parameter>) {
          return variant_bits(0) | (name_bytes(e.name) << 5);
        } else if constexpr (std::is_same_v<T, canon::Constant>) {
          return constant_prefix(e);
        } else if constexpr (std::is_same_v<T, canon::Unary>) {
          return variant_bits(2) | (std::uint64_t{kUnaryRanks[static_cast<std::size_t>(e.op)]} << 57) |
                 (prefixes[e.operand.value] >> 7);
        } else if constexpr (std::is_same_v<T, canon::Binary>) {
          return binary_order_prefix(e, prefixes[e.left.value]);
        } else if constexpr (std::is_same_v<T, canon::Call>) {
          return variant_bits(4) | (name_bytes(e.name) << 5);
        } else if constexpr (std::is_same_v<T, canon::Select>) {
          return variant_bits(5) | (prefixes[e.cond.value] >> 3);
        } else {
          return variant_bits(6) | (prefixes[e.operand.value] >> 3);
        }
      },
      expr);
}

bool is_chain_node(const std::vector<CanonExpr>& exprs, CanonExprId id, ir::BinaryOp op, ir::DType dtype) {
  const auto* b = id.value < exprs.size() ? std::get_if<canon::Binary>(&exprs[id.value]) : nullptr;
  return b != nullptr && b->op == op && b->dtype == dtype;
}

// The first name in `signature` that an earlier entry already has. Short
// signatures, the usual ones, are compared pair by pair without allocating.
const std::string* first_repeated_name(const std::vector<ir::ParamDecl>& signature) {
  constexpr std::size_t kPairwise = 16;
  if (signature.size() <= kPairwise) {
    for (std::size_t i = 1; i < signature.size(); ++i) {
      for (std::size_t j = 0; j < i; ++j) {
        if (signature[j].name == signature[i].name) return &signature[i].name;
      }
    }
    return nullptr;
  }
  std::set<std::string_view> seen;
  for (const ir::ParamDecl& p : signature) {
    if (!seen.insert(p.name).second) return &p.name;
  }
  return nullptr;
}

// The intern set starts at this many slots and doubles.
constexpr std::size_t kInternMinSlots = std::size_t{1} << 10;

// The 32 bits of a hash that a slot keeps, never 0 (the mark of a free slot).
std::uint32_t slot_tag(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32) | 1U; }

}  // namespace

// ---------------------------------------------------------------------------

InternedCanonExprBuilder::InternedCanonExprBuilder(std::size_t max_exprs)
    : max_exprs_(std::min(max_exprs, kMaxExprs)) {}

void InternedCanonExprBuilder::Tables::clear() {
  interned.clear();
  order_prefix.clear();
  chain_leaves.clear();
  terms.clear();
  rest.clear();
  merged.clear();
}

std::size_t InternedCanonExprBuilder::Tables::capacity() const {
  return interned.capacity() * sizeof(InternSlot) + order_prefix.capacity() * sizeof(std::uint64_t) +
         chain_leaves.capacity() + (terms.capacity() + rest.capacity() + merged.capacity()) * sizeof(CanonExprId);
}

Result<void, CanonBuildError> InternedCanonExprBuilder::invalid_id(CanonExprId id) {
  return unexpected(CanonBuildError{CanonBuildError::InvalidId{id}});
}

namespace {

// The first operand id of `expr` that is not below `size`.
std::optional<CanonExprId> first_invalid_operand(const CanonExpr& expr, std::size_t size) {
  auto bad = [size](CanonExprId id) { return id.value >= size; };
  return std::visit(
      [&](const auto& e) -> std::optional<CanonExprId> {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, canon::Unary> || std::is_same_v<T, canon::Cast>) {
          if (bad(e.operand)) return e.operand;
        } else if constexpr (std::is_same_v<T, canon::Binary>) {
          if (bad(e.left)) return e.left;
          if (bad(e.right)) return e.right;
        } else if constexpr (std::is_same_v<T, canon::Call>) {
          for (CanonExprId a : e.args) {
            if (bad(a)) return a;
          }
        } else if constexpr (std::is_same_v<T, canon::Select>) {
          if (bad(e.cond)) return e.cond;
          if (bad(e.then_branch)) return e.then_branch;
          if (bad(e.else_branch)) return e.else_branch;
        }
        return std::nullopt;
      },
      expr);
}

}  // namespace

template <typename Same>
std::optional<CanonExprId> InternedCanonExprBuilder::find_interned(std::uint64_t hash, Same same) const {
  if (interned_.empty()) return std::nullopt;
  const std::uint32_t tag = slot_tag(hash);
  const std::size_t mask = interned_.size() - 1;
  for (std::size_t s = hash & mask; interned_[s].tag != 0; s = (s + 1) & mask) {
    if (interned_[s].tag == tag && same(exprs_[interned_[s].id])) return CanonExprId{interned_[s].id};
  }
  return std::nullopt;
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::intern_expr(CanonExpr expr) {
  // Operands must already exist: every expression then refers only to smaller
  // ids, so the expression list stays acyclic and every walk over it ends.
  if (auto bad = first_invalid_operand(expr, exprs_.size())) {
    return unexpected(CanonBuildError{CanonBuildError::InvalidId{*bad}});
  }
  const std::uint64_t hash = key_hash(expr);
  if (auto found = find_interned(hash, [&](const CanonExpr& e) { return same_key(e, expr); })) return *found;
  if (exprs_.size() >= max_exprs_) return unexpected(CanonBuildError{CanonBuildError::TooMany{}});
  return append(std::move(expr), hash);
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::intern_binary(canon::Binary binary) {
  for (CanonExprId operand : {binary.left, binary.right}) {
    if (operand.value >= exprs_.size()) return unexpected(CanonBuildError{CanonBuildError::InvalidId{operand}});
  }
  const std::uint64_t hash = binary_key_hash(binary);
  auto same = [&](const CanonExpr& e) {
    const auto* b = std::get_if<canon::Binary>(&e);
    return b != nullptr && b->op == binary.op && b->left == binary.left && b->right == binary.right &&
           b->dtype == binary.dtype;
  };
  if (auto found = find_interned(hash, same)) return *found;
  if (exprs_.size() >= max_exprs_) return unexpected(CanonBuildError{CanonBuildError::TooMany{}});
  return append_binary(binary, hash);
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::intern_constant(const Literal& value, ir::DType dtype) {
  const canon::Constant constant{value, dtype};
  const std::uint64_t hash = constant_key_hash(constant);
  auto same = [&](const CanonExpr& e) {
    const auto* c = as_constant(e);
    return c != nullptr && same_constant_key(*c, constant);
  };
  if (auto found = find_interned(hash, same)) return *found;
  if (exprs_.size() >= max_exprs_) return unexpected(CanonBuildError{CanonBuildError::TooMany{}});
  const CanonExprId id = claim_slot(hash);
  exprs_.emplace_back(std::in_place_type<canon::Constant>, constant);
  order_prefix_.push_back(constant_prefix(constant));
  chain_leaves_.push_back(1);
  return id;
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::intern_constant_or(const Literal& value, ir::DType dtype,
                                                                        CanonExprId likely) {
  // Interned keys are unique, so a constant with the key asked for is the one.
  const auto* c = as_constant(exprs_[likely.value]);
  if (c != nullptr && same_constant_key(*c, canon::Constant{value, dtype})) return likely;
  return intern_constant(value, dtype);
}

CanonExprId InternedCanonExprBuilder::claim_slot(std::uint64_t hash) {
  if (2 * (exprs_.size() + 1) > interned_.size()) {
    grow_interned(interned_.empty() ? kInternMinSlots : 2 * interned_.size());
  }
  const CanonExprId id{static_cast<std::uint32_t>(exprs_.size())};
  const std::size_t mask = interned_.size() - 1;
  std::size_t s = hash & mask;
  while (interned_[s].tag != 0) s = (s + 1) & mask;
  interned_[s] = InternSlot{slot_tag(hash), id.value};
  return id;
}

CanonExprId InternedCanonExprBuilder::append_binary(const canon::Binary& b, std::uint64_t hash) {
  const CanonExprId id = claim_slot(hash);
  std::uint8_t leaves = 1;
  if (b.op == ir::BinaryOp::Add || b.op == ir::BinaryOp::Mul) {
    auto leaves_of = [&](CanonExprId operand) -> unsigned {
      const auto* inner = std::get_if<canon::Binary>(&exprs_[operand.value]);
      return inner != nullptr && inner->op == b.op && inner->dtype == b.dtype ? chain_leaves_[operand.value] : 1;
    };
    leaves = static_cast<std::uint8_t>(std::min<unsigned>(leaves_of(b.left) + leaves_of(b.right), kMaxCollected + 1));
  }
  order_prefix_.push_back(binary_order_prefix(b, order_prefix_[b.left.value]));
  chain_leaves_.push_back(leaves);
  exprs_.emplace_back(std::in_place_type<canon::Binary>, b);
  return id;
}

CanonExprId InternedCanonExprBuilder::append(CanonExpr expr, std::uint64_t hash) {
  if (const auto* b = std::get_if<canon::Binary>(&expr)) return append_binary(*b, hash);
  const CanonExprId id = claim_slot(hash);
  order_prefix_.push_back(order_prefix(expr, order_prefix_));
  chain_leaves_.push_back(1);
  exprs_.push_back(std::move(expr));
  return id;
}

void InternedCanonExprBuilder::reserve(std::size_t count) {
  count = std::min(count, max_exprs_);
  exprs_.reserve(count);
  order_prefix_.reserve(count);
  chain_leaves_.reserve(count);
  if (2 * count > interned_.size()) grow_interned(std::bit_ceil(2 * count));
}

void InternedCanonExprBuilder::grow_interned(std::size_t slots) {
  interned_.assign(slots, InternSlot{});
  const std::size_t mask = slots - 1;
  for (std::size_t k = 0; k < exprs_.size(); ++k) {
    const std::uint64_t hash = key_hash(exprs_[k]);
    std::size_t s = hash & mask;
    while (interned_[s].tag != 0) s = (s + 1) & mask;
    interned_[s] = InternSlot{slot_tag(hash), static_cast<std::uint32_t>(k)};
  }
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::parameter(std::string_view name, ir::DType dtype) {
  return intern_expr(canon::Parameter{CanonName(name), dtype});
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::unary(ir::UnaryOp op, CanonExprId operand, ir::DType dtype) {
  MORVALEN_TRY_VOID(check_id(operand));
  switch (op) {
    case ir::UnaryOp::Not:
      if (const auto* c = as_constant(exprs_[operand.value])) {
        if (const auto* b = std::get_if<literal::Bool>(&c->value)) {
          return intern_constant(literal::Bool{!b->value}, dtype);
        }
      }
      return intern_expr(canon::Unary{dtype, operand, ir::UnaryOp::Not});
    case ir::UnaryOp::Neg:
      return build_neg(operand, dtype);
  }
  throw InternalError("canonical builder: unknown unary operator");
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::build_neg(CanonExprId operand, ir::DType t) {
  const CanonExpr& x = exprs_[operand.value];
  if (const auto* c = as_constant(x)) {
    std::optional<Literal> folded;
    switch (t.kind) {
      case ir::DTypeKind::Bool:
        break;
      case ir::DTypeKind::UInt:
      case ir::DTypeKind::Int:
        if (const auto* i = std::get_if<literal::Int>(&c->value)) {
          // Saturating: the most negative value becomes the most positive.
          folded = literal::Int{i->value == std::numeric_limits<std::int64_t>::min()
                                    ? std::numeric_limits<std::int64_t>::max()
                                    : -i->value};
        }
        break;
      case ir::DTypeKind::Float:
        if (auto n = read_number(c->value, NumClass::Float)) folded = literal::Float{-n->re};
        break;
      case ir::DTypeKind::Complex:
        if (auto n = read_number(c->value, NumClass::Complex)) {
          folded = literal::Complex{flip_sign(n->re), flip_sign(n->im)};
        }
        break;
    }
    if (folded) return intern_constant(*folded, t);
  }
  if (const auto* u = std::get_if<canon::Unary>(&x); u != nullptr && u->op == ir::UnaryOp::Neg) return u->operand;
  return intern_expr(canon::Unary{t, operand, ir::UnaryOp::Neg});
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::binary(ir::BinaryOp op, CanonExprId left, CanonExprId right,
                                                            ir::DType dtype) {
  MORVALEN_TRY_VOID(check_id(left));
  MORVALEN_TRY_VOID(check_id(right));
  switch (op) {
    case ir::BinaryOp::Add:
      return build_add(left, right, dtype);
    case ir::BinaryOp::Sub: {
      auto negated = build_neg(right, dtype);
      if (!negated) return negated;
      return build_add(left, *negated, dtype);
    }
    case ir::BinaryOp::Mul:
      return build_mul(left, right, dtype);
    case ir::BinaryOp::Pow:
      return build_pow(left, right, dtype);
    case ir::BinaryOp::Div:
    case ir::BinaryOp::FloorDiv:
    case ir::BinaryOp::Rem:
    case ir::BinaryOp::Eq:
    case ir::BinaryOp::Ne:
    case ir::BinaryOp::Lt:
    case ir::BinaryOp::Le:
    case ir::BinaryOp::Gt:
    case ir::BinaryOp::Ge:
    case ir::BinaryOp::And:
    case ir::BinaryOp::Or:
      break;
  }
  return intern_binary(canon::Binary{dtype, left, right, op});
}

bool InternedCanonExprBuilder::collect_all_leaves(CanonExprId root, ir::BinaryOp op, ir::DType dtype,
                                                  std::vector<CanonExprId>& out) const {
  if (!is_chain_node(exprs_, root, op, dtype)) {
    out.push_back(root);
    return true;
  }
  if (chain_leaves_[root.value] > kMaxCollected) return false;
  // At most kMaxCollected leaves, so the pending ids fit in a fixed array
  // (of plain numbers: an array of ids would be zeroed first).
  std::array<std::uint32_t, kMaxCollected> pending;
  std::size_t top = 0;
  pending[top++] = root.value;
  while (top != 0) {
    const CanonExprId id{pending[--top]};
    if (is_chain_node(exprs_, id, op, dtype)) {
      const auto& b = std::get<canon::Binary>(exprs_[id.value]);
      pending[top++] = b.right.value;
      pending[top++] = b.left.value;
    } else {
      out.push_back(id);
    }
  }
  return true;
}

void InternedCanonExprBuilder::collect_leaves(CanonExprId root, ir::BinaryOp op, ir::DType dtype,
                                              std::vector<CanonExprId>& out) const {
  if (collect_all_leaves(root, op, dtype, out)) return;
  const auto& b = std::get<canon::Binary>(exprs_[root.value]);
  for (CanonExprId child : {b.left, b.right}) {
    if (!collect_all_leaves(child, op, dtype, out)) out.push_back(child);
  }
}

void InternedCanonExprBuilder::collect_add_terms(CanonExprId id, ir::DType dtype, std::vector<CanonExprId>& out) const {
  collect_leaves(id, ir::BinaryOp::Add, dtype, out);
}

void InternedCanonExprBuilder::collect_mul_factors(CanonExprId id, ir::DType dtype,
                                                   std::vector<CanonExprId>& out) const {
  collect_leaves(id, ir::BinaryOp::Mul, dtype, out);
}

namespace {

// Adds or multiplies two numbers of a class; false on 64-bit integer overflow.
bool combine(Number& acc, const Number& n, NumClass k, bool multiply) {
  switch (k) {
    case NumClass::None:
      return true;
    case NumClass::Integer: {
      std::int64_t r = 0;
      const bool overflow = multiply ? __builtin_mul_overflow(acc.i, n.i, &r) : __builtin_add_overflow(acc.i, n.i, &r);
      if (overflow) return false;
      acc.i = r;
      return true;
    }
    case NumClass::Float:
      acc.re = multiply ? acc.re * n.re : acc.re + n.re;
      return true;
    case NumClass::Complex:
      if (multiply) {
        const double re = acc.re * n.re - acc.im * n.im;
        const double im = acc.re * n.im + acc.im * n.re;
        acc.re = re;
        acc.im = im;
      } else {
        acc.re += n.re;
        acc.im += n.im;
      }
      return true;
  }
  return true;
}

// Sorts a short range by binary insertion: few comparisons, which are what
// costs here, and no allocation.
template <typename Less>
void insertion_sort(std::vector<CanonExprId>::iterator first, std::vector<CanonExprId>::iterator last, Less less) {
  for (auto it = first; it != last; ++it) {
    if (it == first || !less(*it, *(it - 1))) continue;
    const auto at = std::upper_bound(first, it, *it, less);
    std::rotate(at, it, it + 1);
  }
}

}  // namespace

// Every run is sorted if it is not, then the two are merged. Distinct ids
// never compare equal, so the result is the one sorted order of the ids.
void InternedCanonExprBuilder::sort_runs(std::vector<CanonExprId>& ids, std::size_t split, bool first_sorted) {
  auto less = [this](CanonExprId a, CanonExprId b) { return compare_ids(a, b) < 0; };
  const auto mid = ids.begin() + static_cast<std::ptrdiff_t>(split);
  if (!first_sorted && !std::is_sorted(ids.begin(), mid, less)) insertion_sort(ids.begin(), mid, less);
  if (!std::is_sorted(mid, ids.end(), less)) insertion_sort(mid, ids.end(), less);
  if (split == 0 || split == ids.size() || !less(*mid, *(mid - 1))) return;
  constexpr std::size_t kShort = 8;
  const std::size_t right_len = ids.size() - split;
  merged_.clear();
  if (split > kShort && right_len > kShort) {
    std::merge(ids.begin(), mid, mid, ids.end(), std::back_inserter(merged_), less);
  } else if (split <= right_len) {
    // Binary insertion of the short first run's elements into the second.
    auto pos = mid;
    for (auto x = ids.begin(); x != mid; ++x) {
      const auto at = std::lower_bound(pos, ids.end(), *x, less);
      merged_.insert(merged_.end(), pos, at);
      merged_.push_back(*x);
      pos = at;
    }
    merged_.insert(merged_.end(), pos, ids.end());
  } else {
    // The same for a short second run.
    auto pos = ids.begin();
    for (auto x = mid; x != ids.end(); ++x) {
      const auto at = std::upper_bound(pos, mid, *x, less);
      merged_.insert(merged_.end(), pos, at);
      merged_.push_back(*x);
      pos = at;
    }
    merged_.insert(merged_.end(), pos, mid);
  }
  ids.swap(merged_);
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::build_add(CanonExprId left, CanonExprId right, ir::DType dtype) {
  return build_sum_or_product(left, right, dtype, false);
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::build_mul(CanonExprId left, CanonExprId right, ir::DType dtype) {
  return build_sum_or_product(left, right, dtype, true);
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::build_sum_or_product(CanonExprId left, CanonExprId right,
                                                                          ir::DType dtype, bool multiply) {
  MORVALEN_TRY_VOID(check_id(left));
  MORVALEN_TRY_VOID(check_id(right));
  const ir::BinaryOp op = multiply ? ir::BinaryOp::Mul : ir::BinaryOp::Add;
  if (!is_chain_node(exprs_, left, op, dtype) && !is_chain_node(exprs_, right, op, dtype)) {
    if (std::optional<IdResult> built = build_two_terms(left, right, dtype, multiply)) return std::move(*built);
  }
  std::vector<CanonExprId>& terms = terms_;
  terms.clear();
  collect_leaves(left, op, dtype, terms);
  const std::size_t split = terms.size();
  collect_leaves(right, op, dtype, terms);
  sort_runs(terms, split, false);

  const NumClass k = num_class(dtype);
  std::optional<Number> acc;
  std::vector<CanonExprId>& rest = rest_;
  rest.clear();
  bool kept_any = false;
  bool acc_appended = false;
  for (CanonExprId id : terms) {
    const auto* c = as_constant(exprs_[id.value]);
    std::optional<Number> n = c ? read_number(c->value, k) : std::nullopt;
    if (!n) {
      rest.push_back(id);
      continue;
    }
    if (!acc) {
      acc = *n;
    } else if (!combine(*acc, *n, k, multiply)) {
      // Integer overflow: keep what was accumulated so far as a term of its
      // own, so no constant is lost, and start afresh with this constant.
      auto kept = intern_constant(number_literal(*acc, k), dtype);
      if (!kept) return kept;
      rest.push_back(*kept);
      kept_any = true;
      acc = *n;
    }
  }
  if (acc) {
    if (multiply && is_zero_number(*acc, k)) return intern_constant(zero_literal(dtype), dtype);
    const bool drop = multiply ? is_one_number(*acc, k) : is_zero_number(*acc, k);
    if (!drop) {
      auto folded = intern_constant(number_literal(*acc, k), dtype);
      if (!folded) return folded;
      rest.push_back(*folded);
      acc_appended = true;
    }
  }
  if (rest.empty()) {
    return intern_constant(multiply ? one_literal(dtype) : zero_literal(dtype), dtype);
  }
  if (rest.size() == 1) return rest.front();
  // `rest` is a subsequence of the sorted terms plus the folded constant at the
  // end, unless an overflow kept constants of its own.
  sort_runs(rest, rest.size() - (acc_appended ? 1 : 0), !kept_any);
  CanonExprId chain = rest.front();
  for (std::size_t i = 1; i < rest.size(); ++i) {
    auto next = intern_binary(canon::Binary{dtype, chain, rest[i], op});
    if (!next) return next;
    chain = *next;
  }
  return chain;
}

// The general path cut down to two terms: the sorted pair, the folded
// constant, or the other term beside the folded constant in their order.
std::optional<CanonExprBuilder::IdResult> InternedCanonExprBuilder::build_two_terms(CanonExprId left, CanonExprId right,
                                                                                    ir::DType dtype, bool multiply) {
  const ir::BinaryOp op = multiply ? ir::BinaryOp::Mul : ir::BinaryOp::Add;
  if (compare_ids(right, left) < 0) std::swap(left, right);
  const NumClass k = num_class(dtype);
  auto number_of = [&](CanonExprId id) -> std::optional<Number> {
    const auto* c = as_constant(exprs_[id.value]);
    return c ? read_number(c->value, k) : std::nullopt;
  };
  const std::optional<Number> left_number = number_of(left);
  const std::optional<Number> right_number = number_of(right);
  if (left_number && right_number) {
    Number acc = *left_number;
    if (!combine(acc, *right_number, k, multiply)) return std::nullopt;
    if (multiply && is_zero_number(acc, k)) return intern_constant(zero_literal(dtype), dtype);
    if (multiply ? is_one_number(acc, k) : is_zero_number(acc, k)) {
      return intern_constant(multiply ? one_literal(dtype) : zero_literal(dtype), dtype);
    }
    return intern_constant(number_literal(acc, k), dtype);
  }
  if (!left_number && !right_number) return intern_binary(canon::Binary{dtype, left, right, op});
  const Number n = left_number ? *left_number : *right_number;
  const CanonExprId constant = left_number ? left : right;
  const CanonExprId other = left_number ? right : left;
  if (multiply && is_zero_number(n, k)) return intern_constant_or(zero_literal(dtype), dtype, constant);
  if (multiply ? is_one_number(n, k) : is_zero_number(n, k)) return other;
  auto folded = intern_constant_or(number_literal(n, k), dtype, constant);
  if (!folded) return folded;
  if (compare_ids(*folded, other) < 0) return intern_binary(canon::Binary{dtype, *folded, other, op});
  return intern_binary(canon::Binary{dtype, other, *folded, op});
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::build_pow(CanonExprId base, CanonExprId exponent, ir::DType t) {
  const CanonExpr& a = exprs_[base.value];
  const CanonExpr& b = exprs_[exponent.value];
  if (power_literal_equals(b, t, 0)) return intern_constant(one_literal(t), t);
  if (power_literal_equals(b, t, 1)) return base;
  if (power_literal_equals(a, t, 1)) return intern_constant(one_literal(t), t);
  const auto* b_int = as_int_literal(b);
  if (b_int != nullptr && b_int->value > 0 && power_literal_equals(a, t, 0)) {
    return intern_constant(zero_literal(t), t);
  }
  if (const auto* inner = std::get_if<canon::Binary>(&a);
      b_int != nullptr && inner != nullptr && inner->op == ir::BinaryOp::Pow && inner->dtype == t) {
    if (const auto* c = as_int_literal(exprs_[inner->right.value])) {
      std::int64_t product = 0;
      if (!__builtin_mul_overflow(c->value, b_int->value, &product)) {
        const CanonExprId inner_base = inner->left;
        auto power = intern_constant(literal::Int{product}, ir::DType::i64());
        if (!power) return power;
        return intern_binary(canon::Binary{t, inner_base, *power, ir::BinaryOp::Pow});
      }
    }
  }
  return intern_binary(canon::Binary{t, base, exponent, ir::BinaryOp::Pow});
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::call(std::string_view name, std::span<const CanonExprId> args,
                                                          ir::DType dtype) {
  for (CanonExprId arg : args) MORVALEN_TRY_VOID(check_id(arg));
  // Looked up by name and arguments as given: the name and the argument block
  // are only built for a new call.
  const std::uint64_t hash = call_key_hash(name, args, dtype);
  auto same = [&](const CanonExpr& e) {
    const auto* c = std::get_if<canon::Call>(&e);
    return c != nullptr && c->name.view() == name &&
           std::equal(c->args.begin(), c->args.end(), args.begin(), args.end()) && c->dtype == dtype;
  };
  if (auto found = find_interned(hash, same)) return *found;
  if (exprs_.size() >= max_exprs_) return unexpected(CanonBuildError{CanonBuildError::TooMany{}});
  return append(canon::Call{CanonName(name), CanonArgs(args), dtype}, hash);
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::select(CanonExprId cond, CanonExprId then_branch,
                                                            CanonExprId else_branch, ir::DType dtype) {
  MORVALEN_TRY_VOID(check_id(cond));
  MORVALEN_TRY_VOID(check_id(then_branch));
  MORVALEN_TRY_VOID(check_id(else_branch));
  if (then_branch == else_branch) return then_branch;
  return intern_expr(canon::Select{dtype, cond, then_branch, else_branch});
}

CanonExprBuilder::IdResult InternedCanonExprBuilder::cast_with_explicit(CanonExprId operand, ir::DType target,
                                                                        bool is_explicit) {
  MORVALEN_TRY_VOID(check_id(operand));
  const CanonExpr& x = exprs_[operand.value];
  if (const auto* c = as_constant(x)) {
    double re = 0.0;
    double im = 0.0;
    std::visit(
        [&](const auto& lit) {
          using L = std::decay_t<decltype(lit)>;
          if constexpr (std::is_same_v<L, literal::Bool>) {
            re = lit.value ? 1.0 : 0.0;
          } else if constexpr (std::is_same_v<L, literal::Int>) {
            re = static_cast<double>(lit.value);
          } else if constexpr (std::is_same_v<L, literal::Float>) {
            re = lit.value;
          } else if constexpr (std::is_same_v<L, literal::Complex>) {
            re = lit.re;
            im = lit.im;
          } else if constexpr (std::is_same_v<L, literal::E>) {
            re = kEValue;
          } else {
            re = kPiValue;
          }
        },
        c->value);
    Literal folded = literal::Bool{false};
    switch (target.kind) {
      case ir::DTypeKind::Bool:
        folded = literal::Bool{re != 0.0 || im != 0.0};
        break;
      case ir::DTypeKind::UInt:
      case ir::DTypeKind::Int:
        folded = literal::Int{ir::f64_to_i64_saturating(re)};
        break;
      case ir::DTypeKind::Float:
        folded = literal::Float{re};
        break;
      case ir::DTypeKind::Complex:
        folded = literal::Complex{re, im};
        break;
    }
    return intern_constant(folded, target);
  }
  if (auto own = expr_dtype(x); own && *own == target) return operand;
  return intern_expr(canon::Cast{target, operand, is_explicit});
}

Result<CanonFunction, CanonBuildError> InternedCanonExprBuilder::finish(std::vector<ir::ParamDecl> signature,
                                                                        std::vector<CanonExprId> outputs) && {
  if (const std::string* repeated = first_repeated_name(signature)) {
    return unexpected(CanonBuildError{CanonBuildError::DuplicateParameter{*repeated}});
  }
  for (CanonExprId id : outputs) MORVALEN_TRY_VOID(check_id(id));
  // Tables small enough to be kept for the next builder are only emptied;
  // larger ones are freed now, before the caller lowers the result.
  if (tables_.value.capacity() > kKeptTablesBytes) {
    tables_.value = Tables{};
  } else {
    tables_.value.clear();
  }
  compare_cache_.clear();
  return CanonFunction(std::move(signature), std::move(exprs_), std::move(outputs));
}

signed char InternedCanonExprBuilder::PairOrderCache::find(std::uint64_t key) const {
  for (const Table* t : {&young_, &old_}) {
    if (t->keys.empty()) continue;
    const std::size_t mask = t->keys.size() - 1;
    for (std::size_t s = cache_slot(key, t->keys.size());; s = (s + 1) & mask) {
      if (t->keys[s] == key) return t->signs[s];
      if (t->keys[s] == 0) break;
    }
  }
  return -2;
}

void InternedCanonExprBuilder::PairOrderCache::insert(std::uint64_t key, signed char sign) {
  if (young_.keys.empty() || 2 * (young_.used + 1) > young_.keys.size()) {
    if (young_.keys.size() >= kCacheMaxSlots) {
      old_ = std::move(young_);
      young_ = Table{};
      young_.keys.assign(kCacheMaxSlots, 0);
      young_.signs.assign(kCacheMaxSlots, 0);
    } else {
      Table grown;
      const std::size_t slots = young_.keys.empty() ? kCacheMinSlots : 2 * young_.keys.size();
      grown.keys.assign(slots, 0);
      grown.signs.assign(slots, 0);
      std::swap(grown, young_);
      for (std::size_t s = 0; s < grown.keys.size(); ++s) {
        if (grown.keys[s] != 0) insert(grown.keys[s], grown.signs[s]);
      }
    }
  }
  const std::size_t mask = young_.keys.size() - 1;
  std::size_t s = cache_slot(key, young_.keys.size());
  while (young_.keys[s] != 0 && young_.keys[s] != key) s = (s + 1) & mask;
  if (young_.keys[s] == 0) ++young_.used;
  young_.keys[s] = key;
  young_.signs[s] = sign;
}

void InternedCanonExprBuilder::PairOrderCache::clear() {
  young_ = Table{};
  old_ = Table{};
}

std::strong_ordering InternedCanonExprBuilder::compare_ids(CanonExprId a, CanonExprId b) const {
  // Interning gives structurally equal expressions one id, and every operand id
  // is smaller than its user's, so two distinct ids never compare equal: the
  // order of a pair is decided by its first differing field, and when that is
  // an operand, by the order of that operand pair alone. Most pairs differ in
  // their order prefixes or within a few steps of such a walk; longer walks go
  // on in `compare_deep`.
  const std::size_t n = exprs_.size();
  for (int step = 0; step < kShortWalk; ++step) {
    if (a == b) return std::strong_ordering::equal;
    if (a.value >= n || b.value >= n) break;
    const std::uint64_t pa = order_prefix_[a.value];
    const std::uint64_t pb = order_prefix_[b.value];
    if (pa != pb) return pa <=> pb;
    const FirstDifference d = first_difference(exprs_[a.value], exprs_[b.value]);
    if (!d.descend) return d.decided;
    a = d.a;
    b = d.b;
  }
  return compare_deep(a, b);
}

std::strong_ordering InternedCanonExprBuilder::compare_deep(CanonExprId a, CanonExprId b) const {
  // The walk is one chain of pairs (no recursion), and every pair on the
  // chain shares the result, which is cached: sorting the factors of deep
  // expressions would otherwise walk the same chains again and again.
  const std::size_t n = exprs_.size();
  std::vector<std::uint64_t>& chain = compare_chain_;
  chain.clear();
  std::strong_ordering result = std::strong_ordering::equal;
  while (true) {
    if (a == b) {
      result = std::strong_ordering::equal;
      break;
    }
    const bool a_valid = a.value < n;
    const bool b_valid = b.value < n;
    if (!a_valid || !b_valid) {
      result = a_valid != b_valid ? (a_valid ? std::strong_ordering::less : std::strong_ordering::greater)
                                  : a.value <=> b.value;
      break;
    }
    if (order_prefix_[a.value] != order_prefix_[b.value]) {
      result = order_prefix_[a.value] <=> order_prefix_[b.value];
      break;
    }
    const std::uint64_t key = (std::uint64_t{a.value} << 32) | b.value;
    if (const signed char known = compare_cache_.find(key); known != -2) {
      result = known < 0 ? std::strong_ordering::less
                         : (known > 0 ? std::strong_ordering::greater : std::strong_ordering::equal);
      break;
    }
    chain.push_back(key);
    const FirstDifference d = first_difference(exprs_[a.value], exprs_[b.value]);
    if (!d.descend) {
      result = d.decided;
      break;
    }
    a = d.a;
    b = d.b;
  }
  const signed char sign = result < 0 ? -1 : (result > 0 ? 1 : 0);
  // The first 64 pairs and every 64th one below them are remembered: a later
  // walk that joins this chain then ends within 64 steps, and a long walk does
  // not flood the cache.
  for (std::size_t k = 0; k < chain.size(); k += (k < 64 ? 1 : 64)) {
    compare_cache_.insert(chain[k], sign);
  }
  return result;
}

std::strong_ordering InternedCanonExprBuilder::compare_id_slices(std::span<const CanonExprId> a,
                                                                 std::span<const CanonExprId> b) const {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (auto c = compare_ids(a[i], b[i]); c != 0) return c;
  }
  return a.size() <=> b.size();
}

}  // namespace morvalen::diff

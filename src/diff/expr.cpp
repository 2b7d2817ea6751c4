#include "diff/expr.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <optional>
#include <string_view>
#include <type_traits>

namespace morvalen::diff {
namespace {

std::uint64_t bits_of(double v) { return std::bit_cast<std::uint64_t>(v); }

bool same_dtype(const std::optional<ir::DType>& a, const std::optional<ir::DType>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a.has_value() || *a == *b;
}

// One multiply-xorshift round per word: cheap, and enough to spread the small
// dense ids of operands over the whole word.
std::uint64_t mix(std::uint64_t h, std::uint64_t v) {
  h = (h ^ v) * 0x9e3779b97f4a7c15ULL;
  return h ^ (h >> 29);
}

// Kind and width, and the bfloat flag only where `DType` equality reads it.
std::uint64_t dtype_word(ir::DType d) {
  const bool flag = d.is_bfloat && (d.kind == ir::DTypeKind::Float || d.kind == ir::DTypeKind::Complex);
  return static_cast<std::uint64_t>(d.kind) | (static_cast<std::uint64_t>(flag) << 8) |
         (static_cast<std::uint64_t>(d.bits) << 16);
}

std::uint64_t opt_dtype_word(const std::optional<ir::DType>& d) { return d.has_value() ? dtype_word(*d) + 1 : 0; }

std::uint64_t ids_word(CanonExprId a, CanonExprId b) { return std::uint64_t{a.value} | (std::uint64_t{b.value} << 32); }

std::uint64_t binary_hash_body(std::uint64_t seed, const canon::Binary& e) {
  return mix(mix(seed, ids_word(e.left, e.right)), static_cast<std::uint64_t>(e.op) | (dtype_word(e.dtype) << 8));
}

constexpr std::uint64_t kHashSeed = 0x2545f4914f6cdd1dULL;

std::uint64_t call_hash_body(std::uint64_t seed, std::string_view name, std::span<const CanonExprId> args,
                             ir::DType dtype) {
  std::uint64_t h = mix(seed, std::hash<std::string_view>{}(name));
  for (CanonExprId a : args) h = mix(h, a.value);
  return mix(h, args.size() | (dtype_word(dtype) << 32));
}

// A last avalanche, so that the low bits (the table slot) depend on every word.
std::uint64_t finish_hash(std::uint64_t h) { return mix(h, h >> 32); }

// The literal kinds are tested in turn rather than visited: on so short a
// hash the visit's indirect call is a large part of the cost.
std::uint64_t constant_hash_body(std::uint64_t seed, const canon::Constant& e) {
  const std::uint64_t kind = mix(seed, e.value.index());
  if (const auto* f = std::get_if<literal::Float>(&e.value)) {
    return mix(mix(kind, bits_of(f->value)), opt_dtype_word(e.dtype));
  }
  if (const auto* i = std::get_if<literal::Int>(&e.value)) {
    return mix(mix(kind, static_cast<std::uint64_t>(i->value)), opt_dtype_word(e.dtype));
  }
  if (const auto* b = std::get_if<literal::Bool>(&e.value)) return mix(kind, b->value ? 1 : 0);
  if (const auto* z = std::get_if<literal::Complex>(&e.value)) {
    return mix(mix(mix(kind, bits_of(z->re)), bits_of(z->im)), opt_dtype_word(e.dtype));
  }
  return kind;
}

}  // namespace

Literal zero_literal(ir::DType dtype) {
  switch (dtype.kind) {
    case ir::DTypeKind::Bool:
      return literal::Bool{false};
    case ir::DTypeKind::UInt:
    case ir::DTypeKind::Int:
      return literal::Int{0};
    case ir::DTypeKind::Float:
      return literal::Float{0.0};
    case ir::DTypeKind::Complex:
      return literal::Complex{0.0, 0.0};
  }
  return literal::Bool{false};
}

Literal one_literal(ir::DType dtype) {
  switch (dtype.kind) {
    case ir::DTypeKind::Bool:
      return literal::Bool{true};
    case ir::DTypeKind::UInt:
    case ir::DTypeKind::Int:
      return literal::Int{1};
    case ir::DTypeKind::Float:
      return literal::Float{1.0};
    case ir::DTypeKind::Complex:
      return literal::Complex{1.0, 0.0};
  }
  return literal::Bool{true};
}

CanonName::CanonName(std::string_view text) {
  if (text.size() <= kInline) {
    std::copy(text.begin(), text.end(), bytes_.begin());
    bytes_[kInline] = static_cast<char>(text.size());
    return;
  }
  char* heap = new char[text.size()];
  std::copy(text.begin(), text.end(), heap);
  const auto size = static_cast<std::uint64_t>(text.size());
  std::memcpy(bytes_.data(), &heap, sizeof heap);
  std::memcpy(bytes_.data() + sizeof heap, &size, sizeof size - 1);
  bytes_[kInline] = kOnHeap;
}

CanonName& CanonName::operator=(const CanonName& other) {
  if (this != &other) *this = CanonName(other.view());
  return *this;
}

CanonName& CanonName::operator=(CanonName&& other) noexcept {
  if (this != &other) {
    release();
    bytes_ = other.bytes_;
    other.bytes_ = {};
  }
  return *this;
}

std::string_view CanonName::view() const {
  if (bytes_[kInline] != kOnHeap) return {bytes_.data(), static_cast<unsigned char>(bytes_[kInline])};
  const char* heap = nullptr;
  std::uint64_t size = 0;
  std::memcpy(&heap, bytes_.data(), sizeof heap);
  std::memcpy(&size, bytes_.data() + sizeof heap, sizeof size - 1);
  return {heap, static_cast<std::size_t>(size)};
}

void CanonName::release() {
  if (bytes_[kInline] != kOnHeap) return;
  char* heap = nullptr;
  std::memcpy(&heap, bytes_.data(), sizeof heap);
  delete[] heap;
  bytes_ = {};
}

CanonArgs::CanonArgs(std::span<const CanonExprId> ids) {
  if (ids.empty()) return;
  block_ = new CanonExprId[ids.size() + 1];
  block_[0] = CanonExprId{static_cast<std::uint32_t>(ids.size())};
  std::copy(ids.begin(), ids.end(), block_ + 1);
}

CanonArgs& CanonArgs::operator=(const CanonArgs& other) {
  if (this != &other) *this = CanonArgs(other);
  return *this;
}

CanonArgs& CanonArgs::operator=(CanonArgs&& other) noexcept {
  if (this != &other) {
    delete[] block_;
    block_ = other.block_;
    other.block_ = nullptr;
  }
  return *this;
}

std::string CanonExprId::debug() const { return "CanonExprId(" + std::to_string(value) + ")"; }

std::optional<ir::DType> expr_dtype(const CanonExpr& expr) {
  return std::visit([](const auto& e) -> std::optional<ir::DType> { return e.dtype; }, expr);
}

bool same_key(const CanonExpr& a, const CanonExpr& b) {
  if (a.index() != b.index()) return false;
  return std::visit(
      [&](const auto& ea) -> bool {
        using T = std::decay_t<decltype(ea)>;
        const auto& eb = std::get<T>(b);
        if constexpr (std::is_same_v<T, canon::Parameter>) {
          return ea.name == eb.name && ea.dtype == eb.dtype;
        } else if constexpr (std::is_same_v<T, canon::Constant>) {
          return same_constant_key(ea, eb);
        } else if constexpr (std::is_same_v<T, canon::Unary>) {
          return ea.op == eb.op && ea.operand == eb.operand && ea.dtype == eb.dtype;
        } else if constexpr (std::is_same_v<T, canon::Binary>) {
          return ea.op == eb.op && ea.left == eb.left && ea.right == eb.right && ea.dtype == eb.dtype;
        } else if constexpr (std::is_same_v<T, canon::Call>) {
          return ea.name == eb.name && ea.args == eb.args && ea.dtype == eb.dtype;
        } else if constexpr (std::is_same_v<T, canon::Select>) {
          return ea.cond == eb.cond && ea.then_branch == eb.then_branch && ea.else_branch == eb.else_branch &&
                 ea.dtype == eb.dtype;
        } else {
          return ea.operand == eb.operand && ea.dtype == eb.dtype && ea.is_explicit == eb.is_explicit;
        }
      },
      a);
}

std::uint64_t key_hash(const CanonExpr& expr) {
  const std::uint64_t seed = kHashSeed + expr.index();
  const std::uint64_t h = std::visit(
      [&](const auto& e) -> std::uint64_t {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, canon::Parameter>) {
          return mix(mix(seed, std::hash<std::string_view>{}(e.name)), dtype_word(e.dtype));
        } else if constexpr (std::is_same_v<T, canon::Constant>) {
          return constant_hash_body(seed, e);
        } else if constexpr (std::is_same_v<T, canon::Unary>) {
          return mix(seed, std::uint64_t{e.operand.value} | (static_cast<std::uint64_t>(e.op) << 32) |
                               (dtype_word(e.dtype) << 40));
        } else if constexpr (std::is_same_v<T, canon::Binary>) {
          return binary_hash_body(seed, e);
        } else if constexpr (std::is_same_v<T, canon::Call>) {
          return call_hash_body(seed, e.name, std::span<const CanonExprId>(e.args.begin(), e.args.size()), e.dtype);
        } else if constexpr (std::is_same_v<T, canon::Select>) {
          return mix(mix(seed, ids_word(e.cond, e.then_branch)), e.else_branch.value | (dtype_word(e.dtype) << 32));
        } else {
          return mix(seed, std::uint64_t{e.operand.value} | (static_cast<std::uint64_t>(e.is_explicit) << 32) |
                               (dtype_word(e.dtype) << 40));
        }
      },
      expr);
  return finish_hash(h);
}

std::uint64_t binary_key_hash(const canon::Binary& binary) {
  constexpr std::size_t kBinaryIndex = 3;
  static_assert(std::is_same_v<std::variant_alternative_t<kBinaryIndex, CanonExpr>, canon::Binary>);
  return finish_hash(binary_hash_body(kHashSeed + kBinaryIndex, binary));
}

std::uint64_t constant_key_hash(const canon::Constant& constant) {
  constexpr std::size_t kConstantIndex = 1;
  static_assert(std::is_same_v<std::variant_alternative_t<kConstantIndex, CanonExpr>, canon::Constant>);
  return finish_hash(constant_hash_body(kHashSeed + kConstantIndex, constant));
}

std::uint64_t call_key_hash(std::string_view name, std::span<const CanonExprId> args, ir::DType dtype) {
  constexpr std::size_t kCallIndex = 4;
  static_assert(std::is_same_v<std::variant_alternative_t<kCallIndex, CanonExpr>, canon::Call>);
  return finish_hash(call_hash_body(kHashSeed + kCallIndex, name, args, dtype));
}

bool same_constant_key(const canon::Constant& a, const canon::Constant& b) {
  if (a.value.index() != b.value.index()) return false;
  if (const auto* fa = std::get_if<literal::Float>(&a.value)) {
    return bits_of(fa->value) == bits_of(std::get<literal::Float>(b.value).value) && same_dtype(a.dtype, b.dtype);
  }
  if (const auto* ia = std::get_if<literal::Int>(&a.value)) {
    return ia->value == std::get<literal::Int>(b.value).value && same_dtype(a.dtype, b.dtype);
  }
  if (const auto* ba = std::get_if<literal::Bool>(&a.value)) return ba->value == std::get<literal::Bool>(b.value).value;
  if (const auto* za = std::get_if<literal::Complex>(&a.value)) {
    const auto& zb = std::get<literal::Complex>(b.value);
    return bits_of(za->re) == bits_of(zb.re) && bits_of(za->im) == bits_of(zb.im) && same_dtype(a.dtype, b.dtype);
  }
  return true;
}

}  // namespace morvalen::diff

#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "ir/ops.h"
#include "parse/error.h"
#include "parse/large_pages.h"
#include "support/span.h"

namespace morvalen::parse {

/// Token kinds, in their fixed order (the variant index is the kind number).
/// Payload-free kinds compare equal to each other; `Ident`, `TypeName`, `Int`,
/// `Float` and `Imag` compare by payload too.
namespace tok {
#define MORVALEN_EMPTY_TOKEN(Name)                              \
  struct Name {                                                 \
    friend bool operator==(const Name&, const Name&) = default; \
  };
MORVALEN_EMPTY_TOKEN(If)
MORVALEN_EMPTY_TOKEN(Then)
MORVALEN_EMPTY_TOKEN(Else)
MORVALEN_EMPTY_TOKEN(Cast)
MORVALEN_EMPTY_TOKEN(Diff)
MORVALEN_EMPTY_TOKEN(True)
MORVALEN_EMPTY_TOKEN(False)
MORVALEN_EMPTY_TOKEN(E)
MORVALEN_EMPTY_TOKEN(Pi)
struct Ident {
  std::string text;
  friend bool operator==(const Ident&, const Ident&) = default;
};
/// One of the fifteen dtype spellings; turned into a `DType` by the parser.
struct TypeName {
  std::string text;
  friend bool operator==(const TypeName&, const TypeName&) = default;
};
struct Int {
  std::int64_t value = 0;
  friend bool operator==(const Int&, const Int&) = default;
};
struct Float {
  double value = 0.0;
  friend bool operator==(const Float&, const Float&) = default;
};
/// The imaginary part of a float literal written with a trailing `j`.
struct Imag {
  double value = 0.0;
  friend bool operator==(const Imag&, const Imag&) = default;
};
MORVALEN_EMPTY_TOKEN(Plus)
MORVALEN_EMPTY_TOKEN(Minus)
MORVALEN_EMPTY_TOKEN(Star)
MORVALEN_EMPTY_TOKEN(Slash)
MORVALEN_EMPTY_TOKEN(SlashSlash)
MORVALEN_EMPTY_TOKEN(Percent)
MORVALEN_EMPTY_TOKEN(StarStar)
MORVALEN_EMPTY_TOKEN(AndAnd)
MORVALEN_EMPTY_TOKEN(OrOr)
MORVALEN_EMPTY_TOKEN(Bang)
MORVALEN_EMPTY_TOKEN(EqEq)
MORVALEN_EMPTY_TOKEN(NotEq)
MORVALEN_EMPTY_TOKEN(LtEq)
MORVALEN_EMPTY_TOKEN(GtEq)
MORVALEN_EMPTY_TOKEN(Lt)
MORVALEN_EMPTY_TOKEN(Gt)
MORVALEN_EMPTY_TOKEN(LParen)
MORVALEN_EMPTY_TOKEN(RParen)
MORVALEN_EMPTY_TOKEN(LBracket)
MORVALEN_EMPTY_TOKEN(RBracket)
MORVALEN_EMPTY_TOKEN(Comma)
MORVALEN_EMPTY_TOKEN(At)
#undef MORVALEN_EMPTY_TOKEN
}  // namespace tok

using TokenKind = std::variant<tok::If, tok::Then, tok::Else, tok::Cast, tok::Diff, tok::True, tok::False, tok::E,
                               tok::Pi, tok::Ident, tok::TypeName, tok::Int, tok::Float, tok::Imag, tok::Plus,
                               tok::Minus, tok::Star, tok::Slash, tok::SlashSlash, tok::Percent, tok::StarStar,
                               tok::AndAnd, tok::OrOr, tok::Bang, tok::EqEq, tok::NotEq, tok::LtEq, tok::GtEq, tok::Lt,
                               tok::Gt, tok::LParen, tok::RParen, tok::LBracket, tok::RBracket, tok::Comma, tok::At>;

inline constexpr std::size_t kTokenKindCount = 36;
static_assert(std::variant_size_v<TokenKind> == kTokenKindCount);

namespace detail {
template <typename T, typename... Ts>
constexpr std::size_t index_in(const std::variant<Ts...>*) {
  constexpr bool same[] = {std::is_same_v<T, Ts>...};
  for (std::size_t i = 0; i < sizeof...(Ts); ++i) {
    if (same[i]) return i;
  }
  return sizeof...(Ts);
}
}  // namespace detail

/// The kind number (0 to 35) of a token type, for switches and tables.
template <typename T>
constexpr std::size_t token_index() {
  constexpr std::size_t index = detail::index_in<T>(static_cast<const TokenKind*>(nullptr));
  static_assert(index < kTokenKindCount, "not a token type");
  return index;
}

/// The token kinds as an enumeration, in kind order (`TokenTag::X` is the kind
/// number of `tok::X`): the kind of a compact token, switched over without a
/// `default:` so that a forgotten kind is a compiler warning. `End` is no
/// token: it stands for the end of the input in the parser's lookahead.
enum class TokenTag : std::uint8_t {
  If,
  Then,
  Else,
  Cast,
  Diff,
  True,
  False,
  E,
  Pi,
  Ident,
  TypeName,
  Int,
  Float,
  Imag,
  Plus,
  Minus,
  Star,
  Slash,
  SlashSlash,
  Percent,
  StarStar,
  AndAnd,
  OrOr,
  Bang,
  EqEq,
  NotEq,
  LtEq,
  GtEq,
  Lt,
  Gt,
  LParen,
  RParen,
  LBracket,
  RBracket,
  Comma,
  At,
  End,
};

/// The tag of a token type.
template <typename T>
constexpr TokenTag tag_of() {
  return static_cast<TokenTag>(token_index<T>());
}

static_assert(static_cast<std::size_t>(TokenTag::End) == kTokenKindCount);
static_assert(tag_of<tok::If>() == TokenTag::If && tag_of<tok::Then>() == TokenTag::Then &&
              tag_of<tok::Else>() == TokenTag::Else && tag_of<tok::Cast>() == TokenTag::Cast &&
              tag_of<tok::Diff>() == TokenTag::Diff && tag_of<tok::True>() == TokenTag::True &&
              tag_of<tok::False>() == TokenTag::False && tag_of<tok::E>() == TokenTag::E &&
              tag_of<tok::Pi>() == TokenTag::Pi && tag_of<tok::Ident>() == TokenTag::Ident &&
              tag_of<tok::TypeName>() == TokenTag::TypeName && tag_of<tok::Int>() == TokenTag::Int &&
              tag_of<tok::Float>() == TokenTag::Float && tag_of<tok::Imag>() == TokenTag::Imag &&
              tag_of<tok::Plus>() == TokenTag::Plus && tag_of<tok::Minus>() == TokenTag::Minus &&
              tag_of<tok::Star>() == TokenTag::Star && tag_of<tok::Slash>() == TokenTag::Slash &&
              tag_of<tok::SlashSlash>() == TokenTag::SlashSlash && tag_of<tok::Percent>() == TokenTag::Percent &&
              tag_of<tok::StarStar>() == TokenTag::StarStar && tag_of<tok::AndAnd>() == TokenTag::AndAnd &&
              tag_of<tok::OrOr>() == TokenTag::OrOr && tag_of<tok::Bang>() == TokenTag::Bang &&
              tag_of<tok::EqEq>() == TokenTag::EqEq && tag_of<tok::NotEq>() == TokenTag::NotEq &&
              tag_of<tok::LtEq>() == TokenTag::LtEq && tag_of<tok::GtEq>() == TokenTag::GtEq &&
              tag_of<tok::Lt>() == TokenTag::Lt && tag_of<tok::Gt>() == TokenTag::Gt &&
              tag_of<tok::LParen>() == TokenTag::LParen && tag_of<tok::RParen>() == TokenTag::RParen &&
              tag_of<tok::LBracket>() == TokenTag::LBracket && tag_of<tok::RBracket>() == TokenTag::RBracket &&
              tag_of<tok::Comma>() == TokenTag::Comma && tag_of<tok::At>() == TokenTag::At);

struct TokenInfo {
  /// The kind's name, e.g. "StarStar".
  std::string_view name;
  /// The fixed source text of keywords and operators; empty for the five
  /// payload kinds.
  std::string_view spelling;
};

namespace detail {
constexpr std::string_view token_of(ir::BinaryOp op) { return ir::info(op).token; }
}  // namespace detail

/// One row per kind, in kind order. The operators are spelled as the operator
/// vocabulary spells them.
inline constexpr std::array<TokenInfo, kTokenKindCount> kTokenTable = {{
    {"If", "if"},
    {"Then", "then"},
    {"Else", "else"},
    {"Cast", "cast"},
    {"Diff", "diff"},
    {"True", "true"},
    {"False", "false"},
    {"E", "e"},
    {"Pi", "pi"},
    {"Ident", ""},
    {"TypeName", ""},
    {"Int", ""},
    {"Float", ""},
    {"Imag", ""},
    {"Plus", detail::token_of(ir::BinaryOp::Add)},
    {"Minus", detail::token_of(ir::BinaryOp::Sub)},
    {"Star", detail::token_of(ir::BinaryOp::Mul)},
    {"Slash", detail::token_of(ir::BinaryOp::Div)},
    {"SlashSlash", detail::token_of(ir::BinaryOp::FloorDiv)},
    {"Percent", detail::token_of(ir::BinaryOp::Rem)},
    {"StarStar", detail::token_of(ir::BinaryOp::Pow)},
    {"AndAnd", detail::token_of(ir::BinaryOp::And)},
    {"OrOr", detail::token_of(ir::BinaryOp::Or)},
    {"Bang", ir::info(ir::UnaryOp::Not).token},
    {"EqEq", detail::token_of(ir::BinaryOp::Eq)},
    {"NotEq", detail::token_of(ir::BinaryOp::Ne)},
    {"LtEq", detail::token_of(ir::BinaryOp::Le)},
    {"GtEq", detail::token_of(ir::BinaryOp::Ge)},
    {"Lt", detail::token_of(ir::BinaryOp::Lt)},
    {"Gt", detail::token_of(ir::BinaryOp::Gt)},
    {"LParen", "("},
    {"RParen", ")"},
    {"LBracket", "["},
    {"RBracket", "]"},
    {"Comma", ","},
    {"At", "@"},
}};

/// The token spelled `spelling`, or `End` when none is (the payload kinds
/// have no fixed spelling).
constexpr TokenTag token_spelled(std::string_view spelling) {
  for (std::size_t k = 0; k < kTokenKindCount; ++k)
    if (!spelling.empty() && kTokenTable[k].spelling == spelling) return static_cast<TokenTag>(k);
  return TokenTag::End;
}

// The prefix operators share their tokens with the infix ones.
static_assert(token_spelled(ir::info(ir::UnaryOp::Neg).token) == TokenTag::Minus);
static_assert(token_spelled(ir::info(ir::UnaryOp::Not).token) == TokenTag::Bang);

/// Keywords and dtype names, which are no identifiers.
bool is_reserved_word(std::string_view word);

/// The kind's name ("Ident", "LtEq", ...).
inline std::string_view token_name(const TokenKind& kind) { return kTokenTable[kind.index()].name; }

struct Token {
  TokenKind kind;
  Span span;
  friend bool operator==(const Token&, const Token&) = default;
};

/// What one lexing run produced. `tokens` is present whenever the whole text
/// was consumed (literal conversion errors may still be listed); it is absent
/// after unexpected input. `errors` lists the conversion failures in source
/// order, then the unexpected-input error if any. Spans are relative to the
/// lexed text.
struct LexOutput {
  std::optional<std::vector<Token>> tokens;
  std::vector<Rich> errors;
};

/// A token in the compact form the expression parser reads: the kind number,
/// the byte range in the lexed text (see `CompactLexOutput::span`) and, for
/// `Int`, `Float` and `Imag` tokens, the place of the value in
/// `CompactLexOutput::values`. The text of `Ident` and `TypeName` tokens is the
/// source text under the span. A quarter of a `Token`'s size and half of what
/// whole spans and values would take: on long inputs the token table is the
/// largest thing a parse holds besides the tree.
struct CompactToken {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  TokenTag kind = TokenTag::End;
  std::uint32_t value = 0;
};

/// The token sequence of a lexing run: long ones are stored in large pages.
using CompactTokens = std::vector<CompactToken, LargePageAllocator<CompactToken>>;

/// `complete` when the whole text was consumed (`tokens` is then the token
/// sequence); errors as for `LexOutput`, with spans relative to the text.
struct CompactLexOutput {
  bool complete = false;
  CompactTokens tokens;
  /// The values of the number tokens, as bits.
  std::vector<std::uint64_t> values;
  std::vector<Rich> errors;
  /// Added to token positions to make spans.
  std::size_t offset = 0;

  Span span(const CompactToken& t) const { return {offset + t.start, offset + t.end}; }
  std::int64_t int_value(const CompactToken& t) const { return std::bit_cast<std::int64_t>(values[t.value]); }
  double float_value(const CompactToken& t) const { return std::bit_cast<double>(values[t.value]); }
};

/// Lexes like `lexer`, with token spans (see `CompactLexOutput::span`) shifted
/// by `offset` (error spans are not). Texts of 4 GiB and more are not lexed:
/// they give one `ExpectedFound` error at that position.
CompactLexOutput lex_compact(std::string_view text, std::size_t offset);
/// `lex_compact` into `out`, whose earlier contents are dropped and whose
/// storage is reused.
void lex_compact_into(std::string_view text, std::size_t offset, CompactLexOutput& out);

/// Tokenises one expression text. Whitespace is every White_Space character;
/// identifiers start with `_` or an XID_Start character and go on with
/// XID_Continue characters. Integer literals beyond the signed 64-bit range
/// yield value 0 and the custom error "invalid integer literal". Unexpected
/// input stops lexing with one `ExpectedFound` error located at the furthest
/// position any token rule reached (for `1.x`, the `x`). Never throws.
LexOutput lexer(std::string_view text);

}  // namespace morvalen::parse

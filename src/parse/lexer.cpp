#include "parse/lexer.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <limits>
#include <system_error>
#include <utility>

#include "support/internal_error.h"
#include "support/unicode.h"

namespace morvalen::parse {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Keywords and dtype spellings, both matched exactly and case-sensitively.
struct Word {
  std::string_view text;
  std::size_t kind;
};
constexpr std::array<Word, 24> kWords = {{
    {"if", token_index<tok::If>()},       {"then", token_index<tok::Then>()},
    {"else", token_index<tok::Else>()},   {"cast", token_index<tok::Cast>()},
    {"diff", token_index<tok::Diff>()},   {"true", token_index<tok::True>()},
    {"false", token_index<tok::False>()}, {"e", token_index<tok::E>()},
    {"pi", token_index<tok::Pi>()},       {"bool", token_index<tok::TypeName>()},
    {"u8", token_index<tok::TypeName>()}, {"u16", token_index<tok::TypeName>()},
    {"u32", token_index<tok::TypeName>()}, {"u64", token_index<tok::TypeName>()},
    {"i8", token_index<tok::TypeName>()}, {"i16", token_index<tok::TypeName>()},
    {"i32", token_index<tok::TypeName>()}, {"i64", token_index<tok::TypeName>()},
    {"f16", token_index<tok::TypeName>()}, {"bf16", token_index<tok::TypeName>()},
    {"f32", token_index<tok::TypeName>()}, {"f64", token_index<tok::TypeName>()},
    {"c64", token_index<tok::TypeName>()}, {"c128", token_index<tok::TypeName>()},
}};

bool may_be_reserved(std::string_view word) {
  // Every keyword and dtype name is two to five ASCII bytes long and starts
  // with one of these letters; most identifiers are ruled out here.
  if (word.size() > 5) return false;
  switch (word[0]) {
    case 'b':
    case 'c':
    case 'd':
    case 'e':
    case 'f':
    case 'i':
    case 'p':
    case 't':
    case 'u':
      return true;
    default:
      return false;
  }
}

std::uint8_t classify_word(std::string_view word) {
  if (may_be_reserved(word)) {
    for (const Word& w : kWords) {
      if (w.text == word) return static_cast<std::uint8_t>(w.kind);
    }
  }
  return static_cast<std::uint8_t>(token_index<tok::Ident>());
}

template <typename T>
constexpr std::uint8_t kind_of() {
  return static_cast<std::uint8_t>(token_index<T>());
}

// The public token for a compact one; identifier texts are copied out of the
// source.
Token to_token(const CompactToken& t, std::string_view text) {
  Span span = t.span;
  std::string_view word = text.substr(span.start, span.end - span.start);
  switch (t.kind) {
    case kind_of<tok::If>(): return {tok::If{}, span};
    case kind_of<tok::Then>(): return {tok::Then{}, span};
    case kind_of<tok::Else>(): return {tok::Else{}, span};
    case kind_of<tok::Cast>(): return {tok::Cast{}, span};
    case kind_of<tok::Diff>(): return {tok::Diff{}, span};
    case kind_of<tok::True>(): return {tok::True{}, span};
    case kind_of<tok::False>(): return {tok::False{}, span};
    case kind_of<tok::E>(): return {tok::E{}, span};
    case kind_of<tok::Pi>(): return {tok::Pi{}, span};
    case kind_of<tok::Ident>(): return {tok::Ident{std::string(word)}, span};
    case kind_of<tok::TypeName>(): return {tok::TypeName{std::string(word)}, span};
    case kind_of<tok::Int>(): return {tok::Int{t.int_value()}, span};
    case kind_of<tok::Float>(): return {tok::Float{t.float_value()}, span};
    case kind_of<tok::Imag>(): return {tok::Imag{t.float_value()}, span};
    case kind_of<tok::Plus>(): return {tok::Plus{}, span};
    case kind_of<tok::Minus>(): return {tok::Minus{}, span};
    case kind_of<tok::Star>(): return {tok::Star{}, span};
    case kind_of<tok::Slash>(): return {tok::Slash{}, span};
    case kind_of<tok::SlashSlash>(): return {tok::SlashSlash{}, span};
    case kind_of<tok::Percent>(): return {tok::Percent{}, span};
    case kind_of<tok::StarStar>(): return {tok::StarStar{}, span};
    case kind_of<tok::AndAnd>(): return {tok::AndAnd{}, span};
    case kind_of<tok::OrOr>(): return {tok::OrOr{}, span};
    case kind_of<tok::Bang>(): return {tok::Bang{}, span};
    case kind_of<tok::EqEq>(): return {tok::EqEq{}, span};
    case kind_of<tok::NotEq>(): return {tok::NotEq{}, span};
    case kind_of<tok::LtEq>(): return {tok::LtEq{}, span};
    case kind_of<tok::GtEq>(): return {tok::GtEq{}, span};
    case kind_of<tok::Lt>(): return {tok::Lt{}, span};
    case kind_of<tok::Gt>(): return {tok::Gt{}, span};
    case kind_of<tok::LParen>(): return {tok::LParen{}, span};
    case kind_of<tok::RParen>(): return {tok::RParen{}, span};
    case kind_of<tok::LBracket>(): return {tok::LBracket{}, span};
    case kind_of<tok::RBracket>(): return {tok::RBracket{}, span};
    case kind_of<tok::Comma>(): return {tok::Comma{}, span};
    case kind_of<tok::At>(): return {tok::At{}, span};
    default: break;
  }
  throw InternalError("compact token with an unknown kind");
}

class Lexer {
 public:
  Lexer(std::string_view text, std::size_t offset) : text_(text), offset_(offset) {}

  CompactLexOutput run() {
    CompactLexOutput out;
    std::vector<CompactToken>& tokens = out.tokens;
    // Tokens of real programs average more than two bytes each; reserving for
    // that avoids moving the whole sequence while it grows.
    tokens.reserve(text_.size() / 2 + 16);
    skip_white_space();
    while (pos_ < text_.size()) {
      if (!lex_token(tokens, out.errors)) {
        out.errors.push_back(Rich{ExpectedFound{}, found_span(furthest_)});
        tokens.clear();
        return out;
      }
      skip_white_space();
    }
    out.complete = true;
    return out;
  }

 private:
  // Every rule that fails at some position reports it here; unexpected input
  // is located at the furthest such position.
  void reached(std::size_t p) {
    if (p > furthest_) furthest_ = p;
  }

  // The span of the character at `p`, or the empty span at the end.
  Span found_span(std::size_t p) const {
    if (p >= text_.size()) return {text_.size(), text_.size()};
    support::Utf8Char c = support::decode_utf8(text_, p);
    return {p, p + (c.length == 0 ? 1 : c.length)};
  }

  void skip_white_space() {
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (static_cast<unsigned char>(c) < 0x80) {
        if (c == ' ' || (c >= '\t' && c <= '\r')) {
          ++pos_;
          continue;
        }
        break;
      }
      support::Utf8Char u = support::decode_utf8(text_, pos_);
      if (!u.valid || !support::is_white_space(u.code_point)) break;
      pos_ += u.length;
    }
  }

  std::size_t digit_run(std::size_t p) {
    while (p < text_.size() && is_digit(text_[p])) ++p;
    reached(p);
    return p;
  }

  // An exponent at `p`: `e`/`E`, an optional sign, digits. Returns its end or 0.
  std::size_t exponent(std::size_t p) {
    if (p >= text_.size() || (text_[p] != 'e' && text_[p] != 'E')) {
      reached(p);
      return 0;
    }
    ++p;
    if (p < text_.size() && (text_[p] == '+' || text_[p] == '-')) ++p;
    std::size_t end = digit_run(p);
    return end == p ? 0 : end;
  }

  // The end of a float form starting at `p` (digits `.` digits [exponent], or
  // digits exponent), or 0 when there is none.
  std::size_t float_form(std::size_t p) {
    std::size_t int_end = digit_run(p);
    if (int_end == p) return 0;
    if (int_end < text_.size() && text_[int_end] == '.') {
      std::size_t frac_end = digit_run(int_end + 1);
      if (frac_end > int_end + 1) {
        std::size_t exp_end = exponent(frac_end);
        return exp_end ? exp_end : frac_end;
      }
    } else {
      reached(int_end);
    }
    return exponent(int_end);
  }

  // Nearest double (ties to even); overflow gives infinity and underflow zero.
  double to_double(std::size_t start, std::size_t end, bool& ok) const {
    double value = 0.0;
    auto res = std::from_chars(text_.data() + start, text_.data() + end, value);
    if (res.ec == std::errc::result_out_of_range && res.ptr == text_.data() + end) {
      ok = true;
      return overflows(text_.substr(start, end - start)) ? std::numeric_limits<double>::infinity() : 0.0;
    }
    ok = res.ec == std::errc() && res.ptr == text_.data() + end;
    return ok ? value : 0.0;
  }

  // Whether an out-of-range float form is too large (rather than too small):
  // the decimal position of its leading non-zero digit plus its exponent.
  static bool overflows(std::string_view form) {
    std::int64_t int_digits = 0;
    std::int64_t first_nonzero = -1;
    std::int64_t index = 0;
    std::size_t i = 0;
    bool in_fraction = false;
    for (; i < form.size(); ++i) {
      char ch = form[i];
      if (ch == '.') {
        in_fraction = true;
        continue;
      }
      if (!is_digit(ch)) break;
      if (!in_fraction) ++int_digits;
      if (ch != '0' && first_nonzero < 0) first_nonzero = index;
      ++index;
    }
    std::int64_t exp = 0;
    bool negative = false;
    if (i < form.size()) {
      ++i;  // e or E
      if (i < form.size() && (form[i] == '+' || form[i] == '-')) negative = form[i++] == '-';
      for (; i < form.size(); ++i) exp = std::min<std::int64_t>(exp * 10 + (form[i] - '0'), 1'000'000'000);
    }
    if (first_nonzero < 0) return false;
    std::int64_t magnitude = int_digits - first_nonzero + (negative ? -exp : exp);
    return magnitude > 0;
  }

  // The operator or punctuation token at `p` and its length; two-byte
  // spellings win, so "**" is one token and never two stars.
  std::optional<std::pair<std::uint8_t, std::size_t>> operator_at(std::size_t p) const {
    const char c = text_[p];
    const char next = p + 1 < text_.size() ? text_[p + 1] : '\0';
    using R = std::pair<std::uint8_t, std::size_t>;
    switch (c) {
      case '*': return next == '*' ? R{kind_of<tok::StarStar>(), 2} : R{kind_of<tok::Star>(), 1};
      case '/': return next == '/' ? R{kind_of<tok::SlashSlash>(), 2} : R{kind_of<tok::Slash>(), 1};
      case '&':
        if (next == '&') return R{kind_of<tok::AndAnd>(), 2};
        return std::nullopt;
      case '|':
        if (next == '|') return R{kind_of<tok::OrOr>(), 2};
        return std::nullopt;
      case '=':
        if (next == '=') return R{kind_of<tok::EqEq>(), 2};
        return std::nullopt;
      case '!': return next == '=' ? R{kind_of<tok::NotEq>(), 2} : R{kind_of<tok::Bang>(), 1};
      case '<': return next == '=' ? R{kind_of<tok::LtEq>(), 2} : R{kind_of<tok::Lt>(), 1};
      case '>': return next == '=' ? R{kind_of<tok::GtEq>(), 2} : R{kind_of<tok::Gt>(), 1};
      case '+': return R{kind_of<tok::Plus>(), 1};
      case '-': return R{kind_of<tok::Minus>(), 1};
      case '%': return R{kind_of<tok::Percent>(), 1};
      case '(': return R{kind_of<tok::LParen>(), 1};
      case ')': return R{kind_of<tok::RParen>(), 1};
      case '[': return R{kind_of<tok::LBracket>(), 1};
      case ']': return R{kind_of<tok::RBracket>(), 1};
      case ',': return R{kind_of<tok::Comma>(), 1};
      case '@': return R{kind_of<tok::At>(), 1};
      default: return std::nullopt;
    }
  }

  bool lex_token(std::vector<CompactToken>& tokens, std::vector<Rich>& errors) {
    const std::size_t start = pos_;
    const char c = text_[start];
    if (is_digit(c)) {
      std::size_t f = float_form(start);
      if (f != 0) {
        bool ok = true;
        double value = to_double(start, f, ok);
        if (f < text_.size() && text_[f] == 'j') {
          if (!ok) errors.push_back(Rich{CustomReason{"invalid complex literal"}, {start, f + 1}});
          tokens.push_back(compact(kind_of<tok::Imag>(), start, f + 1, 0, value));
          pos_ = f + 1;
          return true;
        }
        reached(f);
        if (!ok) errors.push_back(Rich{CustomReason{"invalid float literal"}, {start, f}});
        tokens.push_back(compact(kind_of<tok::Float>(), start, f, 0, value));
        pos_ = f;
        return true;
      }
      std::size_t end = c == '0' ? start + 1 : digit_run(start + 1);
      std::int64_t value = 0;
      auto res = std::from_chars(text_.data() + start, text_.data() + end, value);
      if (res.ec != std::errc() || res.ptr != text_.data() + end) {
        value = 0;
        errors.push_back(Rich{CustomReason{"invalid integer literal"}, {start, end}});
      }
      tokens.push_back(compact(kind_of<tok::Int>(), start, end, value, 0.0));
      pos_ = end;
      return true;
    }
    if (std::size_t end = identifier_end(start); end != start) {
      tokens.push_back(compact(classify_word(text_.substr(start, end - start)), start, end, 0, 0.0));
      pos_ = end;
      return true;
    }
    if (std::optional<std::pair<std::uint8_t, std::size_t>> op = operator_at(start)) {
      tokens.push_back(compact(op->first, start, start + op->second, 0, 0.0));
      pos_ = start + op->second;
      return true;
    }
    reached(start);
    return false;
  }

  CompactToken compact(std::uint8_t kind, std::size_t start, std::size_t end, std::int64_t i, double f) const {
    std::uint64_t bits = kind == kind_of<tok::Float>() || kind == kind_of<tok::Imag>() ? std::bit_cast<std::uint64_t>(f)
                                                                                       : std::bit_cast<std::uint64_t>(i);
    return CompactToken{kind, Span{start + offset_, end + offset_}, bits};
  }

  // The end of an identifier starting at `p`, or `p` when none starts there.
  std::size_t identifier_end(std::size_t p) {
    auto is_start = [](char32_t u) { return u == '_' || support::is_xid_start(u); };
    support::Utf8Char first = support::decode_utf8(text_, p);
    if (!first.valid || !is_start(first.code_point)) {
      reached(p);
      return p;
    }
    p += first.length;
    while (p < text_.size()) {
      char ch = text_[p];
      if (static_cast<unsigned char>(ch) < 0x80) {
        if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || is_digit(ch) || ch == '_') {
          ++p;
          continue;
        }
        break;
      }
      support::Utf8Char u = support::decode_utf8(text_, p);
      if (!u.valid || !support::is_xid_continue(u.code_point)) break;
      p += u.length;
    }
    reached(p);
    return p;
  }

  std::string_view text_;
  std::size_t offset_;
  std::size_t pos_ = 0;
  std::size_t furthest_ = 0;
};

}  // namespace

CompactLexOutput lex_compact(std::string_view text, std::size_t offset) { return Lexer(text, offset).run(); }

LexOutput lexer(std::string_view text) {
  CompactLexOutput compact = lex_compact(text, 0);
  LexOutput out;
  out.errors = std::move(compact.errors);
  if (compact.complete) {
    std::vector<Token> tokens;
    tokens.reserve(compact.tokens.size());
    for (const CompactToken& t : compact.tokens) tokens.push_back(to_token(t, text));
    out.tokens = std::move(tokens);
  }
  return out;
}

}  // namespace morvalen::parse

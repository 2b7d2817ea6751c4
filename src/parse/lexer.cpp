#include "parse/lexer.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <limits>
#include <system_error>
#include <utility>

#include "ir/dtype.h"
#include "support/internal_error.h"
#include "support/unicode.h"

namespace morvalen::parse {
namespace {

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

constexpr bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Keywords and dtype spellings, both matched exactly and case-sensitively.
struct Word {
  std::string_view text;
  TokenTag kind;
};

constexpr std::size_t kKeywordCount = [] {
  std::size_t n = 0;
  for (const TokenInfo& t : kTokenTable) n += !t.spelling.empty() && is_ascii_letter(t.spelling[0]);
  return n;
}();

constexpr std::array<Word, kKeywordCount + ir::kDTypeSpellings.size()> kWords = [] {
  std::array<Word, kKeywordCount + ir::kDTypeSpellings.size()> words{};
  std::size_t n = 0;
  for (std::size_t k = 0; k < kTokenKindCount; ++k) {
    std::string_view spelling = kTokenTable[k].spelling;
    if (!spelling.empty() && is_ascii_letter(spelling[0])) words[n++] = {spelling, static_cast<TokenTag>(k)};
  }
  for (std::string_view name : ir::kDTypeSpellings) words[n++] = {name, TokenTag::TypeName};
  return words;
}();

// Keywords and dtype names are short and start with one of a few letters; most
// identifiers are ruled out by a glance at these.
constexpr std::size_t kLongestWord = [] {
  std::size_t longest = 0;
  for (const Word& w : kWords) longest = std::max(longest, w.text.size());
  return longest;
}();

constexpr std::array<bool, 128> kWordStarts = [] {
  std::array<bool, 128> starts{};
  for (const Word& w : kWords) starts[static_cast<unsigned char>(w.text[0])] = true;
  return starts;
}();

bool may_be_reserved(std::string_view word) {
  if (word.size() > kLongestWord) return false;
  const auto first = static_cast<unsigned char>(word[0]);
  return first < kWordStarts.size() && kWordStarts[first];
}

// A word of at most eight bytes as one number, its first byte lowest.
constexpr std::uint64_t word_key(std::string_view word) {
  std::uint64_t key = 0;
  for (std::size_t i = word.size(); i-- > 0;) key = key << 8 | static_cast<unsigned char>(word[i]);
  return key;
}

// The reserved words in an open-addressed table by their key, so that a word
// is looked up with a probe or two instead of a comparison with each of them.
struct WordSlot {
  std::uint64_t key = 0;
  std::size_t size = 0;  // 0 for an empty slot
  TokenTag kind = TokenTag::Ident;
};

constexpr std::size_t kWordSlots = 64;
static_assert(kWordSlots >= 2 * kWords.size() && std::has_single_bit(kWordSlots));

constexpr std::size_t word_slot(std::uint64_t key) {
  return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15u) >> (64 - std::countr_zero(kWordSlots)));
}

constexpr std::array<WordSlot, kWordSlots> kWordTable = [] {
  std::array<WordSlot, kWordSlots> table{};
  for (const Word& w : kWords) {
    if (w.text.empty() || w.text.size() > sizeof(std::uint64_t)) throw "a reserved word that has no word key";
    std::size_t i = word_slot(word_key(w.text));
    while (table[i].size != 0) i = (i + 1) % kWordSlots;
    table[i] = WordSlot{word_key(w.text), w.text.size(), w.kind};
  }
  return table;
}();

// The key and the size together tell every word apart, even one holding zero
// bytes.
TokenTag classify_word(std::string_view word) {
  if (!may_be_reserved(word)) return TokenTag::Ident;
  const std::uint64_t key = word_key(word);
  for (std::size_t i = word_slot(key); kWordTable[i].size != 0; i = (i + 1) % kWordSlots) {
    if (kWordTable[i].key == key && kWordTable[i].size == word.size()) return kWordTable[i].kind;
  }
  return TokenTag::Ident;
}

// What an ASCII byte can start or continue, so that the lexer's common cases
// cost one table lookup. Bytes from 0x80 up are `Other`: they take the
// Unicode-aware paths.
enum class ByteClass : std::uint8_t { Other, Space, Digit, Letter, Operator };

constexpr std::array<ByteClass, 256> kByteClass = [] {
  std::array<ByteClass, 256> table{};
  for (unsigned c = 0; c < 128; ++c) {
    const char ch = static_cast<char>(c);
    if (ch == ' ' || (ch >= '\t' && ch <= '\r')) {
      table[c] = ByteClass::Space;
    } else if (is_digit(ch)) {
      table[c] = ByteClass::Digit;
    } else if (is_ascii_letter(ch) || ch == '_') {
      table[c] = ByteClass::Letter;
    }
  }
  for (const TokenInfo& t : kTokenTable) {
    if (!t.spelling.empty() && !is_ascii_letter(t.spelling[0])) {
      table[static_cast<unsigned char>(t.spelling[0])] = ByteClass::Operator;
    }
  }
  return table;
}();

ByteClass byte_class(char c) { return kByteClass[static_cast<unsigned char>(c)]; }

// Whether an ASCII byte continues an identifier (letters, digits, `_`).
bool continues_ascii_word(char c) {
  const ByteClass k = byte_class(c);
  return k == ByteClass::Letter || k == ByteClass::Digit;
}

// The operator and punctuation tokens by their first byte: the one-byte token
// the byte spells and the two-byte token it starts with `second` (`End` for
// none). The two-byte spelling is tried first, so that "**" is one token and
// never two stars.
struct OperatorStart {
  TokenTag one = TokenTag::End;
  TokenTag two = TokenTag::End;
  char second = '\0';
};

constexpr std::array<OperatorStart, 256> kOperatorStarts = [] {
  std::array<OperatorStart, 256> table{};
  for (std::size_t k = 0; k < kTokenKindCount; ++k) {
    std::string_view spelling = kTokenTable[k].spelling;
    if (spelling.empty() || is_ascii_letter(spelling[0])) continue;
    if (spelling.size() > 2) throw "an operator spelling longer than the lexer expects";
    OperatorStart& start = table[static_cast<unsigned char>(spelling[0])];
    if (spelling.size() == 1) {
      if (start.one != TokenTag::End) throw "two one-byte operators with one spelling";
      start.one = static_cast<TokenTag>(k);
    } else {
      if (start.two != TokenTag::End) throw "more two-byte operators start with one byte than the lexer expects";
      start.two = static_cast<TokenTag>(k);
      start.second = spelling[1];
    }
  }
  return table;
}();

// The public token for a compact one; identifier texts are copied out of the
// source.
Token to_token(const CompactToken& t, const CompactLexOutput& lexed, std::string_view text) {
  const Span span = lexed.span(t);
  std::string_view word = text.substr(t.start, t.end - t.start);
  switch (t.kind) {
    case TokenTag::If:
      return {tok::If{}, span};
    case TokenTag::Then:
      return {tok::Then{}, span};
    case TokenTag::Else:
      return {tok::Else{}, span};
    case TokenTag::Cast:
      return {tok::Cast{}, span};
    case TokenTag::Diff:
      return {tok::Diff{}, span};
    case TokenTag::True:
      return {tok::True{}, span};
    case TokenTag::False:
      return {tok::False{}, span};
    case TokenTag::E:
      return {tok::E{}, span};
    case TokenTag::Pi:
      return {tok::Pi{}, span};
    case TokenTag::Ident:
      return {tok::Ident{std::string(word)}, span};
    case TokenTag::TypeName:
      return {tok::TypeName{std::string(word)}, span};
    case TokenTag::Int:
      return {tok::Int{lexed.int_value(t)}, span};
    case TokenTag::Float:
      return {tok::Float{lexed.float_value(t)}, span};
    case TokenTag::Imag:
      return {tok::Imag{lexed.float_value(t)}, span};
    case TokenTag::Plus:
      return {tok::Plus{}, span};
    case TokenTag::Minus:
      return {tok::Minus{}, span};
    case TokenTag::Star:
      return {tok::Star{}, span};
    case TokenTag::Slash:
      return {tok::Slash{}, span};
    case TokenTag::SlashSlash:
      return {tok::SlashSlash{}, span};
    case TokenTag::Percent:
      return {tok::Percent{}, span};
    case TokenTag::StarStar:
      return {tok::StarStar{}, span};
    case TokenTag::AndAnd:
      return {tok::AndAnd{}, span};
    case TokenTag::OrOr:
      return {tok::OrOr{}, span};
    case TokenTag::Bang:
      return {tok::Bang{}, span};
    case TokenTag::EqEq:
      return {tok::EqEq{}, span};
    case TokenTag::NotEq:
      return {tok::NotEq{}, span};
    case TokenTag::LtEq:
      return {tok::LtEq{}, span};
    case TokenTag::GtEq:
      return {tok::GtEq{}, span};
    case TokenTag::Lt:
      return {tok::Lt{}, span};
    case TokenTag::Gt:
      return {tok::Gt{}, span};
    case TokenTag::LParen:
      return {tok::LParen{}, span};
    case TokenTag::RParen:
      return {tok::RParen{}, span};
    case TokenTag::LBracket:
      return {tok::LBracket{}, span};
    case TokenTag::RBracket:
      return {tok::RBracket{}, span};
    case TokenTag::Comma:
      return {tok::Comma{}, span};
    case TokenTag::At:
      return {tok::At{}, span};
    case TokenTag::End:
      break;
  }
  throw InternalError("compact token with an unknown kind");
}

class Lexer {
 public:
  Lexer(std::string_view text, CompactLexOutput& out) : text_(text), out_(out) {}

  void run() {
    CompactLexOutput& out = out_;
    out.complete = false;
    out.tokens.clear();
    out.values.clear();
    out.errors.clear();
    // Token positions are 32-bit.
    constexpr std::size_t kLongest = std::numeric_limits<std::uint32_t>::max() - 1;
    if (text_.size() > kLongest) {
      out.errors.push_back(Rich{ExpectedFound{}, found_span(kLongest)});
      return;
    }
    CompactTokens& tokens = out.tokens;
    // A first guess; `make_room` then sizes the sequence by what it has seen.
    tokens.reserve(std::min<std::size_t>(text_.size(), 4096) + 16);
    const char* const data = text_.data();
    const std::size_t size = text_.size();
    skip_white_space();
    while (pos_ < size) {
      if (tokens.size() == tokens.capacity()) make_room(tokens);
      // Operators, ASCII words and plain numbers, most of the tokens, are
      // taken here; the rest goes through `lex_token`. None of them needs to
      // note the positions the general rules reach: those end where the next
      // token starts, and a failure notes its own start, which is further.
      const std::size_t start = pos_;
      const char c = data[start];
      const ByteClass k = byte_class(c);
      std::size_t end = start;
      TokenTag kind = TokenTag::End;
      if (k == ByteClass::Operator) {
        const OperatorStart& op = kOperatorStarts[static_cast<unsigned char>(c)];
        if (op.two != TokenTag::End && start + 1 < size && data[start + 1] == op.second) {
          kind = op.two;
          end = start + 2;
        } else if (op.one != TokenTag::End) {
          kind = op.one;
          end = start + 1;
        }
      } else if (k == ByteClass::Letter) {
        end = start + 1;
        while (end < size && continues_ascii_word(data[end])) ++end;
        if (end == size || static_cast<unsigned char>(data[end]) < 0x80) {
          kind = classify_word(text_.substr(start, end - start));
        }
      }
      std::uint64_t bits = 0;
      if (k == ByteClass::Digit) kind = plain_number(start, end, bits);
      if (kind == TokenTag::Int || kind == TokenTag::Float || kind == TokenTag::Imag) {
        tokens.push_back(number(kind, start, end, bits));
        pos_ = end;
      } else if (kind != TokenTag::End) {
        tokens.push_back(compact(kind, start, end));
        pos_ = end;
      } else if (!lex_token(tokens, out.errors)) {
        out.errors.push_back(Rich{ExpectedFound{}, found_span(furthest_)});
        tokens.clear();
        return;
      }
      while (pos_ < size && byte_class(data[pos_]) == ByteClass::Space) ++pos_;
      if (pos_ < size && static_cast<unsigned char>(data[pos_]) >= 0x80) skip_white_space();
    }
    out.complete = true;
  }

 private:
  // Grows the full sequence to the number of tokens the rest of the text
  // holds if it is as dense as the part lexed so far, plus an eighth: on long
  // inputs the tokens are then moved about once, while they are still few.
  void make_room(CompactTokens& tokens) const {
    const double lexed = static_cast<double>(std::max<std::size_t>(pos_, 1));
    const double density = static_cast<double>(tokens.size()) / lexed;
    const double rest = static_cast<double>(text_.size() - pos_) * density;
    const std::size_t estimate = tokens.size() + static_cast<std::size_t>(rest * 1.125) + 16;
    tokens.reserve(std::max(estimate, tokens.size() + tokens.size() / 4 + 16));
  }

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
        if (byte_class(c) == ByteClass::Space) {
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
    if (std::optional<double> exact = exact_double(text_.substr(start, end - start))) {
      ok = true;
      return *exact;
    }
    double value = 0.0;
    auto res = std::from_chars(text_.data() + start, text_.data() + end, value);
    if (res.ec == std::errc::result_out_of_range && res.ptr == text_.data() + end) {
      ok = true;
      return overflows(text_.substr(start, end - start)) ? std::numeric_limits<double>::infinity() : 0.0;
    }
    ok = res.ec == std::errc() && res.ptr == text_.data() + end;
    return ok ? value : 0.0;
  }

  // The value of a float form whose digits, as an integer, and the power of
  // ten that scales them are both exact doubles: one multiplication or
  // division then rounds to the nearest double, as a full conversion would.
  // Most literals are of this kind; others give nullopt.
  static std::optional<double> exact_double(std::string_view form) {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    constexpr std::uint64_t kExactLimit = std::uint64_t{1} << 53;
    std::uint64_t digits = 0;
    std::int64_t scale = 0;
    bool in_fraction = false;
    std::size_t i = 0;
    for (; i < form.size(); ++i) {
      const char ch = form[i];
      if (ch == '.') {
        in_fraction = true;
        continue;
      }
      if (!is_digit(ch)) break;
      if (digits >= kExactLimit / 10) return std::nullopt;
      digits = digits * 10 + static_cast<std::uint64_t>(ch - '0');
      if (in_fraction) --scale;
    }
    if (i < form.size()) {
      ++i;  // e or E
      bool negative = false;
      if (i < form.size() && (form[i] == '+' || form[i] == '-')) negative = form[i++] == '-';
      if (form.size() - i > 3) return std::nullopt;
      std::int64_t exp = 0;
      for (; i < form.size(); ++i) exp = exp * 10 + (form[i] - '0');
      scale += negative ? -exp : exp;
    }
    if (scale < -22 || scale > 22) return std::nullopt;
    const auto value = static_cast<double>(digits);
    return scale < 0 ? value / kPowers[-scale] : value * kPowers[scale];
  }

  // A plain integer (`42`) or decimal (`2.5`, `2.5j`) at `start` with at
  // most 15 digits, read in one pass: its kind, end and value bits. The
  // digits of such a number and the power of ten that scales them are exact
  // doubles, so one division gives the value `to_double` would. Anything
  // else (exponents, `1.` without digits after it, longer digit runs, `0`
  // followed by digits) gives `End` and is left to the general rules.
  TokenTag plain_number(std::size_t start, std::size_t& end, std::uint64_t& bits) const {
    static constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    constexpr std::size_t kMostDigits = 15;
    const char* const data = text_.data();
    const std::size_t size = text_.size();
    std::uint64_t digits = 0;
    std::size_t p = start;
    while (p < size && is_digit(data[p])) digits = digits * 10 + static_cast<std::uint64_t>(data[p++] - '0');
    const std::size_t int_digits = p - start;
    if (int_digits > kMostDigits) return TokenTag::End;
    if (p == size || (data[p] != '.' && data[p] != 'e' && data[p] != 'E')) {
      if (data[start] == '0' && int_digits > 1) return TokenTag::End;
      end = p;
      bits = static_cast<std::uint64_t>(digits);
      return TokenTag::Int;
    }
    if (data[p] != '.') return TokenTag::End;
    std::size_t q = p + 1;
    while (q < size && is_digit(data[q])) digits = digits * 10 + static_cast<std::uint64_t>(data[q++] - '0');
    const std::size_t fraction_digits = q - (p + 1);
    if (fraction_digits == 0 || int_digits + fraction_digits > kMostDigits) return TokenTag::End;
    if (q < size && (data[q] == 'e' || data[q] == 'E')) return TokenTag::End;
    bits = std::bit_cast<std::uint64_t>(static_cast<double>(digits) / kPowers[fraction_digits]);
    if (q < size && data[q] == 'j') {
      end = q + 1;
      return TokenTag::Imag;
    }
    end = q;
    return TokenTag::Float;
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

  // The operator or punctuation token at `p` and its length.
  std::optional<std::pair<TokenTag, std::size_t>> operator_at(std::size_t p) const {
    const OperatorStart& start = kOperatorStarts[static_cast<unsigned char>(text_[p])];
    if (start.two != TokenTag::End && p + 1 < text_.size() && text_[p + 1] == start.second) {
      return std::pair{start.two, std::size_t{2}};
    }
    if (start.one != TokenTag::End) return std::pair{start.one, std::size_t{1}};
    return std::nullopt;
  }

  bool lex_token(CompactTokens& tokens, std::vector<Rich>& errors) {
    const std::size_t start = pos_;
    const char c = text_[start];
    // The common ASCII cases first, noting the same positions as the general
    // rules below would (they locate unexpected input).
    const ByteClass k = byte_class(c);
    if (k == ByteClass::Operator) {
      reached(start);  // no identifier starts here
      if (std::optional<std::pair<TokenTag, std::size_t>> op = operator_at(start)) {
        tokens.push_back(compact(op->first, start, start + op->second));
        pos_ = start + op->second;
        return true;
      }
      return false;
    }
    if (k == ByteClass::Letter) {
      std::size_t end = start + 1;
      while (end < text_.size() && continues_ascii_word(text_[end])) ++end;
      if (end == text_.size() || static_cast<unsigned char>(text_[end]) < 0x80) {
        reached(end);
        tokens.push_back(compact(classify_word(text_.substr(start, end - start)), start, end));
        pos_ = end;
        return true;
      }
      // A non-ASCII byte may continue the word: the general rule decides.
    }
    if (is_digit(c)) {
      std::size_t f = float_form(start);
      if (f != 0) {
        bool ok = true;
        double value = to_double(start, f, ok);
        if (f < text_.size() && text_[f] == 'j') {
          if (!ok) errors.push_back(Rich{CustomReason{"invalid complex literal"}, {start, f + 1}});
          tokens.push_back(number(TokenTag::Imag, start, f + 1, std::bit_cast<std::uint64_t>(value)));
          pos_ = f + 1;
          return true;
        }
        reached(f);
        if (!ok) errors.push_back(Rich{CustomReason{"invalid float literal"}, {start, f}});
        tokens.push_back(number(TokenTag::Float, start, f, std::bit_cast<std::uint64_t>(value)));
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
      tokens.push_back(number(TokenTag::Int, start, end, std::bit_cast<std::uint64_t>(value)));
      pos_ = end;
      return true;
    }
    if (std::size_t end = identifier_end(start); end != start) {
      tokens.push_back(compact(classify_word(text_.substr(start, end - start)), start, end));
      pos_ = end;
      return true;
    }
    if (std::optional<std::pair<TokenTag, std::size_t>> op = operator_at(start)) {
      tokens.push_back(compact(op->first, start, start + op->second));
      pos_ = start + op->second;
      return true;
    }
    reached(start);
    return false;
  }

  static CompactToken compact(TokenTag kind, std::size_t start, std::size_t end) {
    return CompactToken{static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end), kind, 0};
  }

  // A number token, its value kept aside.
  CompactToken number(TokenTag kind, std::size_t start, std::size_t end, std::uint64_t bits) {
    out_.values.push_back(bits);
    return CompactToken{static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end), kind,
                        static_cast<std::uint32_t>(out_.values.size() - 1)};
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
  CompactLexOutput& out_;
  std::size_t pos_ = 0;
  std::size_t furthest_ = 0;
};

}  // namespace

void lex_compact_into(std::string_view text, std::size_t offset, CompactLexOutput& out) {
  out.offset = offset;
  Lexer(text, out).run();
}

CompactLexOutput lex_compact(std::string_view text, std::size_t offset) {
  CompactLexOutput out;
  lex_compact_into(text, offset, out);
  return out;
}

bool is_reserved_word(std::string_view word) { return !word.empty() && classify_word(word) != TokenTag::Ident; }

LexOutput lexer(std::string_view text) {
  CompactLexOutput compact = lex_compact(text, 0);
  LexOutput out;
  out.errors = std::move(compact.errors);
  if (compact.complete) {
    std::vector<Token> tokens;
    tokens.reserve(compact.tokens.size());
    for (const CompactToken& t : compact.tokens) tokens.push_back(to_token(t, compact, text));
    out.tokens = std::move(tokens);
  }
  return out;
}

}  // namespace morvalen::parse

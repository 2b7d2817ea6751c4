#include "parse/parser.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>

#include "ir/dtype.h"
#include "parse/error.h"
#include "parse/expr_parser.h"
#include "parse/lexer.h"
#include "support/kept.h"
#include "support/unicode.h"

namespace morvalen::parse {
namespace {

using Diags = std::vector<diag::Diag>;

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Finds an integer followed directly by `j` (`2j`), which the lexer would read
// as `Int` then `Ident`; it gets its own message pointing to the float form.
// Digits right after `.`, `e`/`E` or an exponent sign belong to a float form
// (`2.0j`, `1e5j`, `1e+5j`) and are not findings.
//
// Each finding ends in a `j`, so the scan goes from one `j` to the next and
// looks at the run of digits before it; the leftmost finding is reported.
[[nodiscard]] std::optional<diag::Diag> int_imaginary_scan(std::string_view text, std::size_t offset) {
  for (std::size_t end = text.find('j'); end != std::string_view::npos; end = text.find('j', end + 1)) {
    std::size_t i = end;
    while (i > 0 && is_ascii_digit(text[i - 1])) --i;
    if (i == end) continue;
    bool protected_run = false;
    if (i > 0) {
      char before = text[i - 1];
      if (before == '.' || before == 'e' || before == 'E') {
        protected_run = true;
      } else if ((before == '+' || before == '-') && i >= 2) {
        char two_before = text[i - 2];
        protected_run = two_before == 'e' || two_before == 'E';
      }
    }
    if (!protected_run) {
      std::int64_t value = 0;
      auto res = std::from_chars(text.data() + i, text.data() + end, value);
      if (res.ec != std::errc() || res.ptr != text.data() + end) value = 0;
      return parse_int_imaginary(value, Span{offset + i, offset + end + 1});
    }
  }
  return std::nullopt;
}

// The source with every comment (from `#` to the end of its line) replaced by
// spaces, keeping the newline and every byte offset. Most sources have no
// comment: they are used as they are, and only the others are copied into
// `storage`.
std::string_view without_comments(std::string_view source, std::string& storage) {
  std::size_t hash = source.find('#');
  if (hash == std::string_view::npos) return source;
  storage.assign(source);
  for (; hash != std::string::npos; hash = storage.find('#', hash)) {
    const std::size_t newline = storage.find('\n', hash);
    const std::size_t end = newline == std::string::npos ? storage.size() : newline;
    storage.replace(hash, end - hash, end - hash, ' ');
    hash = end;
  }
  return storage;
}

// A piece of the source by absolute byte offsets.
struct Piece {
  std::size_t start = 0;
  std::size_t end = 0;
  Span span() const { return {start, end}; }
  bool empty() const { return start == end; }
};

bool is_ascii_white_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_ascii(char c) { return static_cast<unsigned char>(c) < 0x80; }

// `text[piece]` without surrounding White_Space; an all-whitespace piece
// becomes empty at its own start. Pieces mostly begin and end in ASCII, where
// a byte is a character and needs no decoding; a piece whose ends lead into
// other characters is decoded as a whole.
Piece trim(std::string_view text, Piece piece) {
  std::size_t start = piece.start;
  std::size_t end = piece.end;
  while (start < end && is_ascii_white_space(text[start])) ++start;
  while (end > start && is_ascii_white_space(text[end - 1])) --end;
  // Only ASCII whitespace: empty.
  if (start == end) return {piece.start, piece.start};
  if (is_ascii(text[start]) && is_ascii(text[end - 1])) return {start, end};
  support::TrimRange r = support::trim_white_space(text.substr(piece.start, piece.end - piece.start));
  return {piece.start + r.start, piece.start + r.end};
}

std::string_view view(std::string_view text, Piece piece) { return text.substr(piece.start, piece.end - piece.start); }

// The first `=` of the line that is neither part of `==` nor the end of `<=`,
// `>=`, `==` or `!=`.
std::optional<std::size_t> assignment_sign(std::string_view line) {
  // `find` jumps from one `=` to the next (a library scan, much faster than a
  // byte loop over a long result line).
  for (std::size_t i = line.find('='); i != std::string_view::npos; i = line.find('=', i + 1)) {
    if (i + 1 < line.size() && line[i + 1] == '=') continue;
    if (i > 0) {
      char before = line[i - 1];
      if (before == '<' || before == '>' || before == '=' || before == '!') continue;
    }
    return i;
  }
  return std::nullopt;
}

// The lines of `text` from `begin` to its end, trimmed, blank ones skipped,
// handed out from the last one back.
class BodyLines {
 public:
  BodyLines(std::string_view text, std::size_t begin) : text_(text), begin_(begin), end_(text.size()) {}

  std::optional<Piece> previous() {
    while (!done_) {
      std::size_t line_start = begin_;
      if (end_ > begin_) {
        // The last newline before `end_`, by a library scan: `rfind` goes
        // byte by byte, which shows on long lines.
        const void* newline = memrchr(text_.data() + begin_, '\n', end_ - begin_);
        if (newline != nullptr)
          line_start = static_cast<std::size_t>(static_cast<const char*>(newline) - text_.data()) + 1;
      }
      const Piece line = trim(text_, Piece{line_start, end_});
      if (line_start == begin_) {
        done_ = true;
      } else {
        end_ = line_start - 1;
      }
      if (!line.empty()) return line;
    }
    return std::nullopt;
  }

 private:
  std::string_view text_;
  std::size_t begin_;
  std::size_t end_;  // of the lines not handed out yet
  bool done_ = false;
};

// The tokens of an expression, kept per thread between parses (see
// `support::Kept`).
struct TokenStorage {
  CompactLexOutput lexed;
  void clear() {
    lexed.tokens.clear();
    lexed.values.clear();
  }
  std::size_t capacity() const { return lexed.tokens.capacity(); }
};
struct KeptTokensTag {};
using TokenBuffer = support::Kept<TokenStorage, KeptTokensTag, std::size_t{1} << 14>;

Diags one(diag::Diag d) {
  Diags out;
  out.push_back(std::move(d));
  return out;
}

}  // namespace

Result<Spanned, std::vector<diag::Diag>> parse_expr_with_offset(std::string_view text, std::size_t offset,
                                                                NodeArena& nodes) {
  if (std::optional<diag::Diag> finding = int_imaginary_scan(text, offset)) return unexpected(one(std::move(*finding)));

  // Token spans come out of the lexer already shifted by the offset.
  TokenBuffer buffer;
  CompactLexOutput& lexed = buffer.value.lexed;
  lex_compact_into(text, offset, lexed);
  if (!lexed.errors.empty()) {
    Diags diags;
    diags.reserve(lexed.errors.size());
    for (const Rich& e : lexed.errors) diags.push_back(lex_error_to_diag(e, offset));
    return unexpected(std::move(diags));
  }
  if (!lexed.complete) return unexpected(one(syntax_diag("lex error", Span{offset, offset})));

  // The tree's names view the text: a copy of it in the arena lives as long
  // as the tree, and one copy is cheaper than one per name.
  ExprParseOutput parsed = expr_parser(lexed, nodes.text(text), nodes);
  if (!parsed.errors.empty()) {
    Diags diags;
    diags.reserve(parsed.errors.size());
    for (const Rich& e : parsed.errors) diags.push_back(parse_error_from_rich(e));
    return unexpected(std::move(diags));
  }
  if (!parsed.tree) return unexpected(one(syntax_diag("parse error", Span{offset, offset})));
  return *parsed.tree;
}

Result<std::string, diag::Diag> parse_ident(std::string_view name, Span span) {
  if (name.empty()) return unexpected(syntax_diag("identifier cannot be empty", span));
  bool valid = is_ascii_letter(name[0]) || name[0] == '_';
  for (std::size_t i = 1; valid && i < name.size(); ++i) {
    valid = is_ascii_letter(name[i]) || is_ascii_digit(name[i]) || name[i] == '_';
  }
  if (!valid) {
    std::string detail = "invalid identifier `";
    detail += name;
    detail += '`';
    return unexpected(syntax_diag(detail, span));
  }
  if (is_reserved_word(name)) return unexpected(parse_reserved_identifier(name, span));
  return std::string(name);
}

Result<FuncDef, std::vector<diag::Diag>> parse_dsl_with_errors(std::string_view source) {
  std::string blanked;
  const std::string_view text = without_comments(source, blanked);

  // Header: the text between the first two bars; anything before is ignored.
  const std::size_t open = text.find('|');
  if (open == std::string_view::npos) {
    return unexpected(one(syntax_diag("expected function header `|...|`", Span{0, 0})));
  }
  const std::size_t close = text.find('|', open + 1);
  if (close == std::string_view::npos) {
    return unexpected(one(syntax_diag("expected closing `|` for function header", Span{open + 1, open + 1})));
  }

  std::vector<FuncParam> params;
  const Piece header = trim(text, Piece{open + 1, close});
  if (!header.empty()) {
    const std::string_view header_text = text.substr(0, header.end);
    std::size_t piece_start = header.start;
    for (;;) {
      const std::size_t comma = header_text.find(',', piece_start);
      const std::size_t piece_end = comma == std::string_view::npos ? header.end : comma;
      const Piece piece = trim(text, Piece{piece_start, piece_end});
      const std::size_t colon = view(text, piece).find(':');
      if (colon == std::string_view::npos) {
        return unexpected(one(syntax_diag("invalid parameter, expected `name: dtype`", piece.span())));
      }
      const Piece name = trim(text, Piece{piece.start, piece.start + colon});
      const Piece type = trim(text, Piece{piece.start + colon + 1, piece.end});
      Result<std::string, diag::Diag> ident = parse_ident(view(text, name), name.span());
      if (!ident) return unexpected(one(std::move(ident).error()));
      Result<ir::DType, std::string> dtype = ir::parse_dtype(view(text, type));
      if (!dtype) return unexpected(one(parse_unknown_dtype(view(text, type), type.span())));
      params.push_back(FuncParam{std::move(*ident), *dtype});
      if (piece_end == header.end) break;
      piece_start = piece_end + 1;
    }
  }

  // Body: the non-blank lines after the closing bar, trimmed, taken from the
  // last one back: the result line first, then each statement.
  BodyLines lines(text, close + 1);
  const std::optional<Piece> result_line = lines.previous();
  if (!result_line) return unexpected(one(syntax_diag("missing function body", Span{close + 1, close + 1})));
  if (assignment_sign(view(text, *result_line))) {
    return unexpected(one(syntax_diag("missing result expression after assignments", result_line->span())));
  }
  NodeArena nodes;
  MORVALEN_TRY(body, parse_expr_with_offset(view(text, *result_line), result_line->start, nodes));

  // Statements, from the one before the result back to the first, each
  // wrapping the body built so far.
  while (const std::optional<Piece> line = lines.previous()) {
    const std::string_view line_text = view(text, *line);
    std::optional<std::size_t> sign = assignment_sign(line_text);
    if (!sign) return unexpected(one(syntax_diag("statement must be assignment `name = expr`", line->span())));
    const Piece name = trim(text, Piece{line->start, line->start + *sign});
    const Piece value = trim(text, Piece{line->start + *sign + 1, line->end});
    if (name.empty() || value.empty()) return unexpected(one(parse_syntax("invalid assignment", line->span())));
    Result<std::string, diag::Diag> ident = parse_ident(view(text, name), name.span());
    if (!ident) return unexpected(one(std::move(ident).error()));
    MORVALEN_TRY(parsed, parse_expr_with_offset(view(text, value), value.start, nodes));
    const Child value_node = nodes.make(parsed);
    const Child body_node = nodes.make(body);
    body = Spanned(Let{nodes.text(*ident), value_node, body_node}, line->span());
  }
  return FuncDef{std::move(params), body, std::move(nodes)};
}

}  // namespace morvalen::parse

#include "parse/expr_parser.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "ir/dtype.h"
#include "ir/ops.h"
#include "support/stack.h"

namespace morvalen::parse {
namespace {

constexpr TokenTag kIf = TokenTag::If;
constexpr TokenTag kThen = TokenTag::Then;
constexpr TokenTag kElse = TokenTag::Else;
constexpr TokenTag kCast = TokenTag::Cast;
constexpr TokenTag kDiff = TokenTag::Diff;
constexpr TokenTag kTrue = TokenTag::True;
constexpr TokenTag kFalse = TokenTag::False;
constexpr TokenTag kE = TokenTag::E;
constexpr TokenTag kPi = TokenTag::Pi;
constexpr TokenTag kIdent = TokenTag::Ident;
constexpr TokenTag kTypeName = TokenTag::TypeName;
constexpr TokenTag kInt = TokenTag::Int;
constexpr TokenTag kFloat = TokenTag::Float;
constexpr TokenTag kImag = TokenTag::Imag;
constexpr TokenTag kMinus = TokenTag::Minus;
constexpr TokenTag kBang = TokenTag::Bang;
constexpr TokenTag kLt = TokenTag::Lt;
constexpr TokenTag kGt = TokenTag::Gt;
constexpr TokenTag kLParen = TokenTag::LParen;
constexpr TokenTag kRParen = TokenTag::RParen;
constexpr TokenTag kLBracket = TokenTag::LBracket;
constexpr TokenTag kRBracket = TokenTag::RBracket;
constexpr TokenTag kComma = TokenTag::Comma;
constexpr TokenTag kAt = TokenTag::At;
/// Stands for the end of input in kind comparisons.
constexpr TokenTag kEnd = TokenTag::End;

using ir::Assoc;

struct InfixOp {
  ir::BinaryOp op;
  Assoc assoc;
  unsigned left;
  unsigned right;
};

/// A level L gives powers (2L, 2L+1) when left-associative, (2L+1, 2L) when
/// right-associative and (2L, 2L) when non-associative.
constexpr InfixOp infix(ir::BinaryOp op, Assoc assoc, unsigned level) {
  switch (assoc) {
    case Assoc::Left:
      return {op, assoc, 2 * level, 2 * level + 1};
    case Assoc::Right:
      return {op, assoc, 2 * level + 1, 2 * level};
    case Assoc::None:
      return {op, assoc, 2 * level, 2 * level};
  }
  return {op, assoc, 0, 0};
}

/// The infix operator table, indexed by token kind (the end of input
/// included); kinds without an entry are not infix operators.
struct InfixTable {
  std::optional<InfixOp> by_kind[kTokenKindCount + 1];
};

/// Every operator of the vocabulary at its token, on the level of its
/// precedence.
constexpr InfixTable make_infix_table() {
  InfixTable t{};
  for (const ir::BinaryOpInfo& row : ir::kBinaryOps) {
    const TokenTag kind = token_spelled(row.token);
    if (kind == TokenTag::End) throw "an operator without a token";
    t.by_kind[static_cast<std::size_t>(kind)] = infix(row.op, row.assoc, row.precedence);
  }
  return t;
}

constexpr InfixTable kInfix = make_infix_table();

/// Minimum power for the operand of a prefix operator: it takes `**` (the
/// tightest infix operator, so -x ** 2 is -(x ** 2)) and nothing looser.
constexpr unsigned kPrefixPower = 2 * ir::info(ir::BinaryOp::Pow).precedence;

// Builds a tree node out of line: the `Expr` temporaries then live in this
// frame instead of in every recursive parse frame, which keeps deep nesting
// cheap in stack.
template <typename T>
[[gnu::noinline]] Child new_node(T&& value, Span span) {
  return make_child(Expr(std::forward<T>(value)), span);
}

// Failure memo bits, per token position. Whether a rule fails at a position
// depends on nothing but the position, and recovery retries the same rules at
// the same positions; remembering failures keeps those retries from
// multiplying (unclosed parentheses would otherwise cost exponential time).
constexpr std::uint8_t kOperandFailed = 1;
constexpr std::uint8_t kChoiceFailed = 2;
constexpr std::uint8_t kExprFailed = 4;

// Error bookkeeping follows the furthest-failure rule: every failed
// expectation is recorded at its token position, and only the furthest one is
// kept (a custom error beats an expected-token error at the same position,
// the first custom error stays). A recovery turns the furthest error seen so
// far into a recorded error; an overall failure reports it last.
class ExprParser {
 public:
  ExprParser(const std::vector<CompactToken>& tokens, std::string_view text, std::size_t offset, Span eoi)
      : tokens_(tokens), text_(text), offset_(offset), n_(tokens.size()), eoi_(eoi), memo_(tokens.size() + 1, 0) {}

  ExprParseOutput run() {
    ExprParseOutput out;
    Child tree = expr();
    if (tree && pos_ == n_) {
      out.tree = std::move(tree);
      out.errors = std::move(errors_);
      return out;
    }
    if (tree) expected_at(pos_);  // the end-of-input check
    out.tree = std::move(tree);
    out.errors = std::move(errors_);
    if (alt_.present) out.errors.push_back(to_rich(alt_));
    return out;
  }

 private:
  struct Mark {
    std::size_t pos;
    std::size_t errors;
  };

  struct Alt {
    bool present = false;
    std::size_t pos = 0;
    bool custom = false;
    std::string message;
  };

  // ---- Input and error bookkeeping ----

  TokenTag kind_at(std::size_t p) const { return p < n_ ? tokens_[p].kind : kEnd; }
  // The source text of the token at `p` (an identifier or dtype name).
  std::string_view word(std::size_t p) const {
    const Span s = tokens_[p].span;
    return text_.substr(s.start - offset_, s.end - s.start);
  }
  Span span_at(std::size_t p) const { return p < n_ ? tokens_[p].span : eoi_; }
  Span prev_span() const { return tokens_[pos_ - 1].span; }

  Mark save() const { return {pos_, errors_.size()}; }
  void rewind(const Mark& m) {
    pos_ = m.pos;
    errors_.erase(errors_.begin() + static_cast<std::ptrdiff_t>(m.errors), errors_.end());
  }

  void expected_at(std::size_t p) {
    if (!alt_.present || p > alt_.pos) {
      alt_.present = true;
      alt_.pos = p;
      alt_.custom = false;
      alt_.message.clear();
    }
  }

  void custom_at(std::size_t p, std::string message) {
    if (!alt_.present || p > alt_.pos || (p == alt_.pos && !alt_.custom)) {
      alt_.present = true;
      alt_.pos = p;
      alt_.custom = true;
      alt_.message = std::move(message);
    }
  }

  Rich to_rich(const Alt& a) const {
    if (a.custom) return Rich{CustomReason{a.message}, span_at(a.pos)};
    return Rich{ExpectedFound{}, span_at(a.pos)};
  }

  Alt take_alt() {
    Alt a = std::move(alt_);
    alt_ = Alt{};
    if (!a.present) {
      a.present = true;
      a.pos = pos_;
    }
    return a;
  }

  bool expect(TokenTag kind) {
    if (kind_at(pos_) == kind) {
      ++pos_;
      return true;
    }
    expected_at(pos_);
    return false;
  }

  // ---- Lookup tables for recovery, built on the first recovery ----

  void build_recovery_tables() {
    if (!next_rparen_.empty()) return;
    next_rparen_.assign(n_ + 2, n_);
    next_sep_.assign(n_ + 2, n_);
    next_stop_.assign(n_ + 2, n_);
    jump_.resize(n_ + 2);
    for (std::size_t i = 0; i < n_ + 2; ++i) jump_[i] = i + 1;
    for (std::size_t i = n_; i-- > 0;) {
      const TokenTag k = tokens_[i].kind;
      next_rparen_[i] = k == kRParen ? i : next_rparen_[i + 1];
      next_sep_[i] = (k == kRParen || k == kComma) ? i : next_sep_[i + 1];
      next_stop_[i] = (k == kComma || k == kRParen || k == kThen || k == kElse) ? i : next_stop_[i + 1];
    }
  }

  // The first position at or after `p` where the choice rule is not known to
  // fail (path-compressed jumps over known failures).
  std::size_t next_candidate(std::size_t p) {
    std::size_t r = p;
    while (r < n_ && (memo_[r] & kChoiceFailed)) r = jump_[r];
    while (p < r && (memo_[p] & kChoiceFailed)) {
      std::size_t next = jump_[p];
      jump_[p] = r;
      p = next;
    }
    return r;
  }

  // `)` closing a cast, diff, call, tuple or parenthesised expression. When it
  // is missing, tokens are skipped up to the next `)`, which is consumed; with
  // none left, recovery fails.
  [[gnu::noinline]] bool close_paren() {
    if (kind_at(pos_) == kRParen) {
      ++pos_;
      return true;
    }
    expected_at(pos_);
    if (pos_ >= n_) return false;
    build_recovery_tables();
    std::size_t q = next_rparen_[pos_ + 1];
    if (q >= n_) return false;
    Alt saved = take_alt();
    expected_at(q - 1);
    errors_.push_back(to_rich(saved));
    pos_ = q + 1;
    return true;
  }

  // `,` between call arguments and tuple elements. When it is missing, tokens
  // are skipped up to the next `,`, which is consumed; a `)` first, or the
  // end, makes recovery fail.
  [[gnu::noinline]] bool separator() {
    if (kind_at(pos_) == kComma) {
      ++pos_;
      return true;
    }
    expected_at(pos_);
    if (pos_ >= n_ || kind_at(pos_) == kRParen) return false;
    build_recovery_tables();
    std::size_t r = next_sep_[pos_];
    if (r >= n_ || kind_at(r) == kRParen) return false;
    Alt saved = take_alt();
    expected_at(r - 1);
    errors_.push_back(to_rich(saved));
    pos_ = r + 1;
    return true;
  }

  // ---- Grammar ----

  // expr = if-expression | operator-expression, with recovery: when neither
  // parses, skip one token at a time and retry, giving up at `,`, `)`, `then`,
  // `else` or the end.
  //
  // Every nesting level passes through here and through `pratt`, so both
  // check the remaining stack. The check is done inline and the switch to a
  // new segment out of line, which keeps the per-level frames small.
  Child expr() {
    if (support::stack_is_low()) return expr_on_new_stack();
    return expr_with_recovery();
  }

  [[gnu::noinline]] Child expr_on_new_stack() {
    return support::grow_stack([&] { return expr_with_recovery(); });
  }

  Child expr_with_recovery() {
    const std::size_t start = pos_;
    if (memo_[start] & kExprFailed) return nullptr;
    const Mark mark = save();
    if (Child c = choice()) return c;
    rewind(mark);
    return recover_expr(start, mark);
  }

  // Kept out of line so that the frames of the common path stay small: deep
  // nesting costs stack in proportion to them.
  [[gnu::noinline]] Child recover_expr(std::size_t start, const Mark mark) {
    const TokenTag first = kind_at(start);
    if (first == kEnd || first == kComma || first == kRParen || first == kThen || first == kElse) {
      // Recovery gives up at once: nothing to skip.
      memo_[start] |= kExprFailed;
      return nullptr;
    }
    Alt saved = take_alt();
    build_recovery_tables();
    const std::size_t stop = next_stop_[start];
    for (std::size_t q = next_candidate(start + 1); q < stop; q = next_candidate(q + 1)) {
      pos_ = q;
      expected_at(q - 1);
      if (auto hit = retry_memo_.find(q); hit != retry_memo_.end()) {
        // The same retry succeeded before, starting from the same error
        // state. Its tree is never observable (a recovery always leaves an
        // error behind, and errors discard the tree), so a placeholder
        // stands in for it and only the position and errors are replayed.
        const RetryOutcome& outcome = hit->second;
        pos_ = outcome.end;
        errors_.insert(errors_.end(), outcome.errors.begin(), outcome.errors.end());
        alt_ = outcome.alt;
        errors_.push_back(to_rich(saved));
        return new_node(Bool{}, Span{span_at(q).start, tokens_[outcome.end - 1].span.end});
      }
      const Mark retry = save();
      if (Child c = choice()) {
        // Remembered so that enclosing recoveries retrying the same position
        // (unclosed parentheses around a long expression) do not parse it
        // again and again.
        RetryOutcome outcome{pos_, std::vector<Rich>(errors_.begin() + static_cast<std::ptrdiff_t>(retry.errors),
                                                     errors_.end()),
                             alt_};
        retry_memo_.emplace(q, std::move(outcome));
        errors_.push_back(to_rich(saved));
        return c;
      }
      rewind(retry);
      alt_ = Alt{};
    }
    alt_ = std::move(saved);
    rewind(mark);
    memo_[start] |= kExprFailed;
    return nullptr;
  }

  Child choice() {
    const std::size_t start = pos_;
    if (memo_[start] & kChoiceFailed) return nullptr;
    Child c;
    if (kind_at(start) == kIf) {
      c = if_expr();
      // `if` starts no operand, so the operator-expression fails right here.
      if (!c) expected_at(start);
    } else {
      c = pratt(0);
    }
    if (!c) {
      memo_[start] |= kChoiceFailed;
      pos_ = start;
    }
    return c;
  }

  // if-expression = `if` expr `then` expr `else` expr
  [[gnu::noinline]] Child if_expr() {
    const Mark mark = save();
    const std::size_t start = span_at(pos_).start;
    ++pos_;
    Child cond = expr();
    if (!cond || !expect(kThen)) return fail(mark);
    Child then_branch = expr();
    if (!then_branch || !expect(kElse)) return fail(mark);
    Child else_branch = expr();
    if (!else_branch) return fail(mark);
    Span span{start, else_branch->span.end};
    return new_node(If{std::move(cond), std::move(then_branch), std::move(else_branch)}, span);
  }

  Child fail(const Mark& mark) {
    rewind(mark);
    return nullptr;
  }

  // operator-expression = operand (infix-op operand)*, by binding power.
  Child pratt(unsigned min_power) {
    if (support::stack_is_low()) return pratt_on_new_stack(min_power);
    return pratt_loop(min_power);
  }

  [[gnu::noinline]] Child pratt_on_new_stack(unsigned min_power) {
    return support::grow_stack([&] { return pratt_loop(min_power); });
  }

  Child pratt_loop(unsigned min_power) {
    Child lhs = operand();
    if (!lhs) return nullptr;
    for (;;) {
      const std::size_t op_pos = pos_;
      const TokenTag kind = kind_at(op_pos);
      const std::optional<InfixOp>& entry = kInfix.by_kind[static_cast<std::size_t>(kind)];
      if (!entry) {
        expected_at(op_pos);
        break;
      }
      const InfixOp& op = *entry;
      if (op.assoc == Assoc::None && op.left == min_power) {
        // A comparison directly inside the right operand of a comparison:
        // comparisons do not chain, so this level fails.
        expected_at(op_pos);
        return nullptr;
      }
      bool applies = op.assoc == Assoc::None ? op.left > min_power : op.left >= min_power;
      if (!applies) {
        expected_at(op_pos);
        break;
      }
      const Mark mark = save();
      ++pos_;
      Child rhs = pratt(op.right);
      if (!rhs) {
        rewind(mark);
        expected_at(op_pos);
        break;
      }
      Span span{lhs->span.start, rhs->span.end};
      lhs = new_node(Binary{std::move(lhs), std::move(rhs), op.op}, span);
    }
    return lhs;
  }

  // operand = (`-` | `!`) operator-expression(10) | postfix-expression
  Child operand() {
    const std::size_t start = pos_;
    if (memo_[start] & kOperandFailed) return nullptr;
    const TokenTag kind = kind_at(start);
    if (kind == kMinus || kind == kBang) {
      const Mark mark = save();
      ++pos_;
      if (Child inner = pratt(kPrefixPower)) {
        Span span{span_at(start).start, inner->span.end};
        ir::UnaryOp op = kind == kMinus ? ir::UnaryOp::Neg : ir::UnaryOp::Not;
        return new_node(Unary{std::move(inner), op}, span);
      }
      rewind(mark);
    }
    Child c = postfix();
    if (!c) {
      memo_[start] |= kOperandFailed;
      pos_ = start;
    }
    return c;
  }

  // postfix-expression = atom (`@` dtype)*
  Child postfix() {
    Child node = atom();
    if (!node) return nullptr;
    while (kind_at(pos_) == kAt) {
      const Mark mark = save();
      ++pos_;
      std::optional<ir::DType> target = dtype();
      if (!target) {
        rewind(mark);
        break;
      }
      Span span{node->span.start, prev_span().end};
      node = new_node(Cast{std::move(node), *target}, span);
    }
    expected_at(pos_);
    return node;
  }

  // dtype = (Ident | TypeName), naming one of the fifteen dtypes.
  [[gnu::noinline]] std::optional<ir::DType> dtype() {
    const TokenTag kind = kind_at(pos_);
    if (kind != kIdent && kind != kTypeName) {
      expected_at(pos_);
      return std::nullopt;
    }
    const std::string_view text = word(pos_);
    Result<ir::DType, std::string> parsed = ir::parse_dtype(text);
    if (!parsed) {
      std::string message(kUnknownDtypePrefix);
      message += text;
      custom_at(pos_, std::move(message));
      return std::nullopt;
    }
    ++pos_;
    return *parsed;
  }

  // An optional `@` dtype directly after a literal.
  [[gnu::noinline]] std::optional<ir::DType> literal_suffix() {
    if (kind_at(pos_) != kAt) {
      expected_at(pos_);
      return std::nullopt;
    }
    const Mark mark = save();
    ++pos_;
    std::optional<ir::DType> target = dtype();
    if (!target) rewind(mark);
    return target;
  }

  // atom = cast | diff | call | tuple | `(` expr `)` | literal | `true` |
  //        `false` | `e` | `pi` | Ident
  Child atom() {
    const std::size_t start = pos_;
    const CompactToken* token = start < n_ ? &tokens_[start] : nullptr;
    switch (kind_at(start)) {
      case kCast:
        if (Child c = cast_atom()) return c;
        break;
      case kDiff:
        if (Child c = diff_atom()) return c;
        break;
      case kIdent: {
        if (Child c = call_atom()) return c;
        ++pos_;
        return new_node(Var{std::string(word(start))}, token->span);
      }
      case kLParen:
        if (Child c = paren_atom()) return c;
        break;
      case kFloat: {
        ++pos_;
        std::optional<ir::DType> suffix = literal_suffix();
        return new_node(Float{token->float_value(), suffix}, literal_span(start));
      }
      case kImag: {
        ++pos_;
        std::optional<ir::DType> suffix = literal_suffix();
        return new_node(Complex{0.0, token->float_value(), suffix}, literal_span(start));
      }
      case kInt: {
        ++pos_;
        std::optional<ir::DType> suffix = literal_suffix();
        return new_node(Int{token->int_value(), suffix}, literal_span(start));
      }
      case kTrue:
      case kFalse:
        ++pos_;
        return new_node(Bool{kind_at(start) == kTrue}, token->span);
      case kE:
        ++pos_;
        return new_node(E{}, token->span);
      case kPi:
        ++pos_;
        return new_node(Pi{}, token->span);
      case TokenTag::If:
      case TokenTag::Then:
      case TokenTag::Else:
      case TokenTag::TypeName:
      case TokenTag::Plus:
      case TokenTag::Minus:
      case TokenTag::Star:
      case TokenTag::Slash:
      case TokenTag::SlashSlash:
      case TokenTag::Percent:
      case TokenTag::StarStar:
      case TokenTag::AndAnd:
      case TokenTag::OrOr:
      case TokenTag::Bang:
      case TokenTag::EqEq:
      case TokenTag::NotEq:
      case TokenTag::LtEq:
      case TokenTag::GtEq:
      case TokenTag::Lt:
      case TokenTag::Gt:
      case TokenTag::RParen:
      case TokenTag::LBracket:
      case TokenTag::RBracket:
      case TokenTag::Comma:
      case TokenTag::At:
      case TokenTag::End:
        break;
    }
    expected_at(start);
    return nullptr;
  }

  Span literal_span(std::size_t start) const { return {span_at(start).start, prev_span().end}; }

  // cast = `cast` `<` dtype `>` `(` expr `)`
  [[gnu::noinline]] Child cast_atom() {
    const Mark mark = save();
    const std::size_t start = span_at(pos_).start;
    ++pos_;
    if (!expect(kLt)) return fail(mark);
    std::optional<ir::DType> target = dtype();
    if (!target || !expect(kGt) || !expect(kLParen)) return fail(mark);
    Child inner = expr();
    if (!inner || !close_paren()) return fail(mark);
    return new_node(Cast{std::move(inner), *target}, Span{start, prev_span().end});
  }

  // diff = `diff` `[` Ident `]` `(` expr `)`
  [[gnu::noinline]] Child diff_atom() {
    const Mark mark = save();
    const std::size_t start = span_at(pos_).start;
    ++pos_;
    if (!expect(kLBracket)) return fail(mark);
    if (kind_at(pos_) != kIdent) {
      expected_at(pos_);
      return fail(mark);
    }
    const std::size_t variable = pos_;
    ++pos_;
    if (!expect(kRBracket) || !expect(kLParen)) return fail(mark);
    Child inner = expr();
    if (!inner || !close_paren()) return fail(mark);
    return new_node(Diff{std::string(word(variable)), std::move(inner)}, Span{start, prev_span().end});
  }

  // call = Ident `(` (expr (`,` expr)*)? `)`
  [[gnu::noinline]] Child call_atom() {
    const Mark mark = save();
    const std::size_t name = pos_;
    ++pos_;
    if (!expect(kLParen)) return fail(mark);
    std::vector<Child> args;
    if (Child first = expr()) {
      args.push_back(std::move(first));
      for (;;) {
        const Mark before_separator = save();
        if (!separator()) {
          rewind(before_separator);
          break;
        }
        Child next = expr();
        if (!next) {
          rewind(before_separator);
          break;
        }
        args.push_back(std::move(next));
      }
    }
    if (!close_paren()) return fail(mark);
    return new_node(Call{std::string(word(name)), std::move(args)}, Span{tokens_[name].span.start, prev_span().end});
  }

  // tuple = `(` expr `,` expr (`,` expr)* `)`, tried before
  // paren = `(` expr `)`.
  // Both start with `(` expr, so that prefix is parsed once: when the tuple
  // does not work out, the parenthesised reading continues from the end of
  // the first expression, exactly where a fresh attempt would get to.
  [[gnu::noinline]] Child paren_atom() {
    const Mark mark = save();
    const std::size_t start = span_at(pos_).start;
    ++pos_;
    Child first = expr();
    if (!first) return fail(mark);
    const Mark after_first = save();
    if (separator()) {
      if (Child second = expr()) {
        std::vector<Child> elements;
        elements.push_back(std::move(first));
        elements.push_back(std::move(second));
        for (;;) {
          const Mark before_separator = save();
          if (!separator()) {
            rewind(before_separator);
            break;
          }
          Child next = expr();
          if (!next) {
            rewind(before_separator);
            break;
          }
          elements.push_back(std::move(next));
        }
        if (close_paren()) return new_node(Tuple{std::move(elements)}, Span{start, prev_span().end});
        first = std::move(elements.front());
      }
    }
    rewind(after_first);
    if (close_paren()) return first;
    return fail(mark);
  }

  const std::vector<CompactToken>& tokens_;
  const std::string_view text_;
  const std::size_t offset_;
  const std::size_t n_;
  const Span eoi_;
  std::size_t pos_ = 0;
  std::vector<Rich> errors_;
  Alt alt_;
  std::vector<std::uint8_t> memo_;
  std::vector<std::size_t> next_rparen_;
  std::vector<std::size_t> next_sep_;
  std::vector<std::size_t> next_stop_;
  std::vector<std::size_t> jump_;
  struct RetryOutcome {
    std::size_t end;
    std::vector<Rich> errors;
    Alt alt;
  };
  // Successful recovery retries by start position; looked up only, never
  // iterated, so its order cannot reach any output.
  std::unordered_map<std::size_t, RetryOutcome> retry_memo_;
};

}  // namespace

ExprParseOutput expr_parser(const std::vector<CompactToken>& tokens, std::string_view text, std::size_t offset, Span eoi) {
  return ExprParser(tokens, text, offset, eoi).run();
}

}  // namespace morvalen::parse

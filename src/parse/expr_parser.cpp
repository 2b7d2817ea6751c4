#include "parse/expr_parser.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ir/dtype.h"
#include "ir/ops.h"
#include "parse/failure_log.h"
#include "parse/large_pages.h"
#include "support/kept.h"
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
using ir::kPrefixPower;

struct InfixOp {
  ir::BinaryOp op;
  Assoc assoc;
  unsigned left;   // compared with the loop's minimum power
  unsigned right;  // the minimum power of the right operand
};

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
    const ir::BindingPowers powers = ir::binding_powers(row.op);
    t.by_kind[static_cast<std::size_t>(kind)] = InfixOp{row.op, row.assoc, powers.left, powers.right};
  }
  return t;
}

constexpr InfixTable kInfix = make_infix_table();

// One byte of bits per token position; long inputs have it in large pages.
using PositionBits = std::vector<std::uint8_t, LargePageAllocator<std::uint8_t>>;

// Failure bits, per token position. Whether a rule fails at a position depends
// on nothing but the position. Recovery uses them to skip retries that are
// known to fail (a failed retry leaves no trace), and a parse without
// memoisation (see `expr_parser`) to fail fast.
constexpr std::uint8_t kOperandFailed = 1;
constexpr std::uint8_t kChoiceFailed = 2;
constexpr std::uint8_t kExprFailed = 4;
// Entry marks of the first try (see `Mode`): a rule entered again at one of
// these positions would be a replay in a memoised parse.
constexpr std::uint8_t kChoiceEntered = 8;
constexpr std::uint8_t kTailEntered = 16;

// How a parser treats sub-parses that recur at a position.
//  - Memoised: replays them (linear on every input; placeholders for trees).
//  - Plain: parses them again (builds every node; used after a memoised
//    parse without errors that replayed).
//  - FirstTry: plain, but gives up as soon as a memoised parse would replay.
//    Up to that point both parses enter the same rules at the same positions,
//    so a first try that finishes did exactly what the memoised parse would
//    have done, at a fraction of the bookkeeping. Valid input hardly ever
//    recurs; any input that does is parsed again, memoised.
enum class Mode : std::uint8_t { Memoised, Plain, FirstTry };

// Error bookkeeping follows the furthest-failure rule: every failed
// expectation is recorded at its token position, and only the furthest one is
// kept (a custom error beats an expected-token error at the same position,
// the first custom error stays). A recovery turns the furthest error seen so
// far into a recorded error; an overall failure reports it last.
//
// Whether a rule succeeds at a position, and where it ends, depends on nothing
// but the position; only the recorded errors depend on the state the rule
// starts in. So the two rules that recovery can reach again and again (an
// expression, and the rest of a comma-separated list) are memoised by
// position, with their effect on the error state kept in a form that can be
// replayed for any starting state (`FailureState`). Each is parsed at most once
// per position, which keeps every input, however malformed, linear.
class ExprParser {
 public:
  // `tokens` ends with an `End` token at the end-of-input span (see
  // `expr_parser`). `memo` is
  // the table of per-position bits, reset here; its storage is the caller's,
  // so that it can outlive the parser and be used again.
  ExprParser(const CompactLexOutput& lexed, std::string_view text, Mode mode, PositionBits& memo, NodeArena& nodes)
      : lexed_(lexed),
        tokens_(lexed.tokens),
        text_(text),
        n_(tokens_.size() - 1),
        memoise_(mode == Mode::Memoised),
        first_try_(mode == Mode::FirstTry),
        memo_(memo),
        nodes_(nodes),
        choice_memo_(memoise_ ? n_ + 1 : 0, 0),
        operand_memo_(memoise_ ? n_ + 1 : 0, 0),
        tail_memo_(memoise_ ? n_ + 1 : 0, 0) {
    memo_.assign(n_ + 1, 0);
    if (memoise_) entries_.reserve(n_ / 2 + 1);
  }

  ExprParseOutput run() {
    ExprParseOutput out;
    Child tree = expr();
    if (tree && pos_ == n_) {
      out.tree = std::move(tree);
      out.errors = recorded_errors();
      out.steps = steps_;
      return out;
    }
    if (tree) expected_at(pos_);  // the end-of-input check
    out.tree = std::move(tree);
    out.errors = recorded_errors();
    if (Failure last = alt_.value_for(Failure{}); last.present()) out.errors.push_back(to_rich(last));
    out.steps = steps_;
    return out;
  }

  /// Whether a replayed sub-parse stood in for a tree (see `Replayed`).
  bool replayed() const { return replays_ > 0; }
  /// Whether a first try gave up; its output is then meaningless.
  bool gave_up() const { return gave_up_; }

 private:
  struct Mark {
    std::size_t pos;
    std::size_t errors;
  };

  using Alt = FailureState;

  // Builds a tree node out of line: the `Expr` temporaries then live in this
  // frame instead of in every recursive parse frame, which keeps deep nesting
  // cheap in stack.
  template <typename T>
  [[gnu::noinline]] Child new_node(T&& value, Span span) {
    return nodes_.make(std::move(value), span);
  }

  // The elements of the list being parsed sit on top of `list_stack_`, shared
  // by all lists (a nested list is done before its outer list goes on); the
  // frame drops them from the stack however the list ends.
  class ListFrame {
   public:
    explicit ListFrame(std::vector<Child>& stack) : stack_(stack), base_(stack.size()) {}
    ~ListFrame() { stack_.resize(base_); }
    ListFrame(const ListFrame&) = delete;
    ListFrame& operator=(const ListFrame&) = delete;
    // The elements, copied into the tree's arena.
    Children take(NodeArena& nodes) const { return nodes.list(std::span<const Child>(stack_).subspan(base_)); }

   private:
    std::vector<Child>& stack_;
    std::size_t base_;
  };

  // ---- Input and error bookkeeping ----

  // Positions run up to `n_`, where the closing `End` token stands for the
  // end of the input.
  TokenTag kind_at(std::size_t p) const { return tokens_[p].kind; }
  // The source text of the token at `p` (an identifier or dtype name).
  std::string_view word(std::size_t p) const {
    const CompactToken& t = tokens_[p];
    return text_.substr(t.start, t.end - t.start);
  }
  Span span_at(std::size_t p) const { return lexed_.span(tokens_[p]); }
  Span prev_span() const { return span_at(pos_ - 1); }

  Mark save() const { return {pos_, log_.size()}; }
  void rewind(const Mark& m) {
    pos_ = m.pos;
    log_.truncate(m.errors);
  }

  void expected_at(std::size_t p) { alt_.note(Failure::expected(p)); }

  // The only custom error names an unknown dtype: the token at `p`.
  void custom_at(std::size_t p) { alt_.note(Failure::custom_at(p)); }

  Rich to_rich(const Failure& a) const {
    if (a.custom()) {
      std::string message(kUnknownDtypePrefix);
      message += word(a.pos());
      return Rich{CustomReason{std::move(message)}, span_at(a.pos())};
    }
    return Rich{ExpectedFound{}, span_at(a.pos())};
  }

  std::vector<Rich> recorded_errors() const {
    std::vector<Rich> out;
    if (log_.size() == 0) return out;
    for (const Failure& f : log_.flatten()) out.push_back(to_rich(f));
    return out;
  }

  Alt take_alt() { return alt_.take(pos_); }

  // ---- Memoised sub-parses ----

  // What a memoised rule did at one position: where it ended and its effect on
  // the errors and the failure state, relative to the state it started in.
  struct MemoEntry {
    std::size_t end;
    FailureLog::SegmentId errors;
    FailureState after;
    bool succeeded = true;
  };

  // Runs `rule` at the current position in terms of a symbolic starting state,
  // so that the returned entry can be replayed for any state; then applies it.
  template <typename Rule>
  MemoEntry run_memoised(Rule&& rule) {
    FailureState input = std::move(alt_);
    alt_ = FailureState::input();
    const std::size_t base = log_.size();
    rule();
    MemoEntry entry{pos_, log_.close_segment(base), std::move(alt_)};
    apply(entry, std::move(input));
    return entry;
  }

  void apply(const MemoEntry& entry, FailureState input) {
    pos_ = entry.end;
    alt_ = entry.after.bound_to(input);
    if (!log_.segment_empty(entry.errors)) log_.push_segment(entry.errors, std::move(input));
  }

  // A replayed sub-parse yields no tree of its own: a placeholder stands in.
  // Replays only happen around recovered errors, and errors discard the tree;
  // should a parse ever finish without errors after a replay, it is parsed
  // again without memoisation (see `expr_parser`).
  Child replayed(std::size_t start, std::size_t end) {
    ++replays_;
    const std::size_t last = end > start ? end - 1 : start;
    return new_node(Bool{}, Span{span_at(start).start, span_at(last).end});
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
    if (first_try_) {
      give_up();
      return false;
    }
    build_recovery_tables();
    std::size_t q = next_rparen_[pos_ + 1];
    if (q >= n_) return false;
    Alt saved = take_alt();
    expected_at(q - 1);
    log_.push(std::move(saved));
    steps_ += q - pos_;
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
    if (first_try_) {
      give_up();
      return false;
    }
    build_recovery_tables();
    std::size_t r = next_sep_[pos_];
    if (r >= n_ || kind_at(r) == kRParen) return false;
    Alt saved = take_alt();
    expected_at(r - 1);
    log_.push(std::move(saved));
    steps_ += r - pos_;
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
    if (memo_[start] & kExprFailed) {
      if (memoise_) replay_failed_expr(start);
      if (first_try_) gave_up_ = true;
      return nullptr;
    }
    const Mark mark = save();
    if (Child c = choice()) return c;
    if (gave_up_) return nullptr;
    rewind(mark);
    return recover_expr(start, mark);
  }

  static bool stops_recovery(TokenTag kind) {
    return kind == kEnd || kind == kComma || kind == kRParen || kind == kThen || kind == kElse;
  }

  // What a failed expression did to the failure state: its choice failed,
  // then recovery, unless it gave up at once, took the state and, every retry
  // failing, put it back.
  [[gnu::noinline]] void replay_failed_expr(std::size_t start) {
    (void)choice();
    if (!stops_recovery(kind_at(start))) alt_ = alt_.take(start);
  }

  // Kept out of line so that the frames of the common path stay small: deep
  // nesting costs stack in proportion to them.
  [[gnu::noinline]] Child recover_expr(std::size_t start, const Mark mark) {
    const TokenTag first = kind_at(start);
    if (stops_recovery(first)) {
      // Recovery gives up at once: nothing to skip.
      memo_[start] |= kExprFailed;
      return nullptr;
    }
    if (first_try_) {
      give_up();
      return nullptr;
    }
    Alt saved = take_alt();
    build_recovery_tables();
    const std::size_t stop = next_stop_[start];
    for (std::size_t q = next_candidate(start + 1); q < stop; q = next_candidate(q + 1)) {
      ++steps_;
      pos_ = q;
      expected_at(q - 1);
      const Mark retry = save();
      if (Child c = choice()) {
        log_.push(std::move(saved));
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
    if (first_try_) {
      if (gave_up_ || (memo_[start] & kChoiceEntered)) {
        give_up();
        return nullptr;
      }
      memo_[start] |= kChoiceEntered;
      return choice_at(start);
    }
    if (!memoise_) return (memo_[start] & kChoiceFailed) ? nullptr : choice_at(start);
    if (const std::uint32_t id = choice_memo_[start]) {
      ++steps_;
      const MemoEntry& entry = entries_[id - 1];
      apply(entry, std::move(alt_));
      return entry.succeeded ? replayed(start, entry.end) : nullptr;
    }
    Child c;
    MemoEntry entry = run_memoised([&] { c = choice_at(start); });
    entry.succeeded = static_cast<bool>(c);
    entries_.push_back(std::move(entry));
    choice_memo_[start] = static_cast<std::uint32_t>(entries_.size());
    return c;
  }

  Child choice_at(std::size_t start) {
    ++steps_;
    Child c;
    if (kind_at(start) == kIf) {
      c = if_expr();
      // `if` starts no operand, so the operator-expression fails right here.
      if (!c) expected_at(start);
    } else {
      // Only reached from `expr`, which has just checked the stack.
      c = pratt_loop(0);
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

  // Also taken where recovery would start: recovery records an error, and a
  // first try with errors is done again anyway.
  [[gnu::noinline]] void give_up() { gave_up_ = true; }

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
    ++steps_;
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
        if (gave_up_) return nullptr;
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
    if (!memoise_) {
      if (!(memo_[start] & kOperandFailed) && !gave_up_) return operand_at(start);
      if (first_try_) give_up();
      return nullptr;
    }
    if (const std::uint32_t id = operand_memo_[start]) {
      ++steps_;
      apply(entries_[id - 1], std::move(alt_));
      return nullptr;
    }
    Child c;
    MemoEntry entry = run_memoised([&] { c = operand_at(start); });
    if (!c) {
      entry.succeeded = false;
      entries_.push_back(std::move(entry));
      operand_memo_[start] = static_cast<std::uint32_t>(entries_.size());
    }
    return c;
  }

  Child operand_at(std::size_t start) {
    ++steps_;
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
      custom_at(pos_);
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
    const CompactToken* token = &tokens_[start];
    switch (kind_at(start)) {
      case kCast:
        if (Child c = cast_atom()) return c;
        break;
      case kDiff:
        if (Child c = diff_atom()) return c;
        break;
      case kIdent: {
        // Without a `(` next the call fails at once, noting only what the
        // operand's end notes again: no need to try it.
        if (kind_at(start + 1) == kLParen) {
          if (Child c = call_atom()) return c;
        }
        ++pos_;
        return new_node(Var{word(start)}, span_at(start));
      }
      case kLParen:
        if (Child c = paren_atom()) return c;
        break;
      case kFloat: {
        ++pos_;
        std::optional<ir::DType> suffix = literal_suffix();
        return new_node(Float{lexed_.float_value(*token), suffix}, literal_span(start));
      }
      case kImag: {
        ++pos_;
        std::optional<ir::DType> suffix = literal_suffix();
        return new_node(Complex{0.0, lexed_.float_value(*token), suffix}, literal_span(start));
      }
      case kInt: {
        ++pos_;
        std::optional<ir::DType> suffix = literal_suffix();
        return new_node(Int{lexed_.int_value(*token), suffix}, literal_span(start));
      }
      case kTrue:
      case kFalse:
        ++pos_;
        return new_node(Bool{kind_at(start) == kTrue}, span_at(start));
      case kE:
        ++pos_;
        return new_node(E{}, span_at(start));
      case kPi:
        ++pos_;
        return new_node(Pi{}, span_at(start));
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
    return new_node(Diff{word(variable), std::move(inner)}, Span{start, prev_span().end});
  }

  // call = Ident `(` (expr (`,` expr)*)? `)`
  [[gnu::noinline]] Child call_atom() {
    const Mark mark = save();
    const std::size_t name = pos_;
    ++pos_;
    if (!expect(kLParen)) return fail(mark);
    const ListFrame args(list_stack_);
    if (Child first = expr()) {
      list_stack_.push_back(first);
      list_tail();
    }
    if (!close_paren()) return fail(mark);
    return new_node(Call{word(name), args.take(nodes_)}, Span{span_at(name).start, prev_span().end});
  }

  // The rest of a call's arguments or a tuple's elements: (`,` expr)*.
  // Memoised per position: after a missing `,`, recovery skips to the next
  // one, which may be where a nested list's own rest begins (unclosed calls
  // nested in calls), so without the memo each level would walk every level
  // inside it again.
  void list_tail() {
    if (first_try_) {
      // A memoised parse memoises the rest at every element's start.
      for (;;) {
        if (memo_[pos_] & kTailEntered) {
          give_up();
          return;
        }
        memo_[pos_] |= kTailEntered;
        if (!list_element()) return;
      }
    }
    if (!memoise_) {
      while (list_element()) {
      }
      return;
    }
    // Each element's rest is a memoised sub-parse of its own, entered through
    // the loop below; its results are pushed onto the list stack as it goes.
    const std::size_t outer = open_tails_.size();
    for (;;) {
      const std::size_t start = pos_;
      if (const std::uint32_t id = tail_memo_[start]) {
        ++steps_;
        const MemoEntry& entry = entries_[id - 1];
        const std::size_t end = entry.end;
        apply(entry, std::move(alt_));
        if (end != start) list_stack_.push_back(replayed(start, end));
        break;
      }
      open_tail(start);
      if (!list_element()) break;
    }
    // Close the sub-parses this call opened, innermost first: each one's entry covers the
    // elements parsed after it started.
    while (open_tails_.size() > outer) close_tail();
  }

  // One `,` expr; false (and nothing consumed) when there is none.
  bool list_element() {
    ++steps_;
    const Mark before_separator = save();
    if (!separator()) {
      rewind(before_separator);
      return false;
    }
    Child next = expr();
    if (!next) {
      rewind(before_separator);
      return false;
    }
    list_stack_.push_back(next);
    return true;
  }

  // A list rest's symbolic start: the caller's state and the log position,
  // restored when it closes.
  struct OpenTail {
    FailureState input;
    std::size_t base;
    std::size_t start;
  };

  void open_tail(std::size_t start) {
    open_tails_.push_back(OpenTail{std::move(alt_), log_.size(), start});
    alt_ = FailureState::input();
  }

  void close_tail() {
    OpenTail open = std::move(open_tails_.back());
    open_tails_.pop_back();
    MemoEntry entry{pos_, log_.close_segment(open.base), std::move(alt_)};
    alt_ = std::move(open.input);
    // Applying leaves the position where it is: the entry ends here.
    apply(entry, std::move(alt_));
    entries_.push_back(std::move(entry));
    tail_memo_[open.start] = static_cast<std::uint32_t>(entries_.size());
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
        const ListFrame elements(list_stack_);
        list_stack_.push_back(first);
        list_stack_.push_back(second);
        list_tail();
        if (close_paren()) return new_node(Tuple{elements.take(nodes_)}, Span{start, prev_span().end});
      }
    }
    rewind(after_first);
    if (close_paren()) return first;
    return fail(mark);
  }

  const CompactLexOutput& lexed_;
  const CompactTokens& tokens_;
  const std::string_view text_;
  const std::size_t n_;
  const bool memoise_;
  const bool first_try_;
  bool gave_up_ = false;
  std::size_t pos_ = 0;
  FailureLog log_;
  Alt alt_;
  PositionBits& memo_;
  NodeArena& nodes_;
  std::vector<Child> list_stack_;
  std::vector<std::size_t> next_rparen_;
  std::vector<std::size_t> next_sep_;
  std::vector<std::size_t> next_stop_;
  std::vector<std::size_t> jump_;
  // Memoised sub-parses by start position: 0 for none, else an index + 1
  // into `entries_`: every expression choice, failed operands, list rests.
  std::vector<std::uint32_t> choice_memo_;
  std::vector<std::uint32_t> operand_memo_;
  std::vector<std::uint32_t> tail_memo_;
  std::vector<MemoEntry> entries_;
  std::vector<OpenTail> open_tails_;
  std::size_t steps_ = 0;
  std::size_t replays_ = 0;
};

// The per-position bits of a parse, kept per thread between parses (see
// `support::Kept`): most texts are short, and allocating the table would cost
// more than parsing them.
struct MemoTag {};
using MemoTable = support::Kept<PositionBits, MemoTag, std::size_t{1} << 16>;

}  // namespace

ExprParseOutput expr_parser(CompactLexOutput& lexed, std::string_view text, NodeArena& nodes) {
  // The parser looks at the token after the last one as at any other: an
  // `End` token at the end-of-input span, taken off again on return.
  struct EndToken {
    CompactTokens& tokens;
    ~EndToken() { tokens.pop_back(); }
  };
  const auto end = static_cast<std::uint32_t>(text.size());
  lexed.tokens.push_back(CompactToken{end, end, TokenTag::End, 0});
  const EndToken end_token{lexed.tokens};

  // Most inputs are valid, and a valid input parses without any sub-parse
  // recurring: try that first, without the memoisation's bookkeeping. The
  // first try's errors would be those of the memoised parse too, but a parse
  // with errors is rare and goes the long way, which is known to be right.
  MemoTable memo;
  ExprParser first(lexed, text, Mode::FirstTry, memo.value, nodes);
  ExprParseOutput out = first.run();
  if (!first.gave_up() && out.tree && out.errors.empty()) return out;
  const std::size_t tried = out.steps;

  ExprParser memoised(lexed, text, Mode::Memoised, memo.value, nodes);
  out = memoised.run();
  out.steps += tried;
  if (out.errors.empty() && memoised.replayed()) {
    // A placeholder may have reached a tree that is returned: parse again,
    // building every node.
    std::size_t steps = out.steps;
    out = ExprParser(lexed, text, Mode::Plain, memo.value, nodes).run();
    out.steps += steps;
  }
  return out;
}

}  // namespace morvalen::parse

#include "repl.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <variant>
#include <vector>

#include "ir/dtype.h"
#include "ir/ops.h"
#include "support/internal_error.h"
#include "support/kept.h"
#include "support/number_text.h"

namespace morvalen::repl {
namespace {

using ir::BinaryOp;
using ir::NodeId;

// Binding strength of each kind of node; higher binds tighter.
constexpr int kPrecIf = 0;
constexpr int kPrecUnary = 7;
constexpr int kPrecCast = 8;
constexpr int kPrecCall = 9;
constexpr int kPrecLeaf = 255;

// Every binary operator binds looser than the node kinds above it.
static_assert([] {
  for (const ir::BinaryOpInfo& op : ir::kBinaryOps)
    if (op.precedence <= kPrecIf || op.precedence >= kPrecUnary) return false;
  return true;
}());

int precedence(BinaryOp op) { return ir::info(op).precedence; }

// Each binary operator's token with a blank on either side (" + ", " && "),
// kept in static storage so that the pieces of a text can point into it.
struct SpacedToken {
  std::array<char, 6> text{};
  std::size_t size = 0;
};

constexpr std::array<SpacedToken, ir::kBinaryOpCount> kSpacedTokens = [] {
  std::array<SpacedToken, ir::kBinaryOpCount> out{};
  for (std::size_t i = 0; i < out.size(); ++i) {
    SpacedToken& spaced = out[i];
    spaced.text[spaced.size++] = ' ';
    for (char c : ir::kBinaryOps[i].token) spaced.text[spaced.size++] = c;
    spaced.text[spaced.size++] = ' ';
  }
  return out;
}();

std::string_view spaced_token(BinaryOp op) {
  const SpacedToken& spaced = kSpacedTokens[static_cast<std::size_t>(op)];
  return {spaced.text.data(), spaced.size};
}

// What the parenthesis rules ask about a node used as an operand, found once
// per node so that deciding a use does not look at the operand's node again.
// The "below" flags describe the node under any chain of hidden casts.
enum ShapeFlag : std::uint8_t {
  kLeafShape = 1,          // a parameter or a constant
  kUnaryShape = 2,         // a prefix operator
  kBinaryOrIfShape = 4,    // a binary operator or an `if`
  kBelowComplex = 8,       // a complex constant, written as a sum
  kBelowNegative = 16,     // a constant whose text starts with "-"
  kBelowUnary = 32,        // a prefix operator
  kBelowPow = 64,          // a `**`
  kBelowComparison = 128,  // a comparison
};

// Where a node's text is placed: the precedence of the enclosing operator,
// whether the node is that operator's right operand, and the shapes of operand
// that the operator wraps whatever the precedence (the node-kind rules of the
// surface syntax, and the cases where precedence alone would not read back
// the same).
struct Context {
  int precedence = 0;
  bool right = false;
  std::uint8_t wraps = 0;  // `ShapeFlag`s
};

constexpr Context kFreeOperand{0, false, 0};

// The context of the operand of a prefix operator.
constexpr Context unary_operand(ir::UnaryOp op) {
  // A complex constant is written as a sum; `--x` would read as one token.
  const std::uint8_t shapes =
      op == ir::UnaryOp::Neg ? kBelowComplex | kUnaryShape | kBinaryOrIfShape : kBelowComplex | kBinaryOrIfShape;
  return {kPrecUnary, false, shapes};
}

// The context of operand `position` (0 or 1) of a binary operator.
constexpr Context binary_operand(BinaryOp op, bool right) {
  std::uint8_t shapes = kBelowComplex;
  // Comparisons do not chain.
  if (ir::is_comparison(op)) shapes |= kBelowComparison;
  // `**` groups to the right and binds tighter than a prefix sign.
  if (op == BinaryOp::Pow && !right) shapes |= kBelowPow | kBelowUnary | kBelowNegative;
  return {ir::info(op).precedence, right, shapes};
}

// The contexts of each binary operator's operands, left then right.
constexpr std::array<std::array<Context, 2>, ir::kBinaryOpCount> kBinaryOperands = [] {
  std::array<std::array<Context, 2>, ir::kBinaryOpCount> out{};
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i][0] = binary_operand(ir::kBinaryOps[i].op, false);
    out[i][1] = binary_operand(ir::kBinaryOps[i].op, true);
  }
  return out;
}();

// An `if` wraps operators and other `if`s in any of its places.
constexpr Context kIfOperand{0, false, kBinaryOrIfShape};

// A shown cast is a postfix operator, tighter than a prefix sign; a hidden
// cast wraps nothing of its own.
constexpr Context cast_operand(bool is_explicit) {
  return is_explicit ? Context{kPrecCast, false, kBelowComplex | kBelowNegative} : Context{kPrecCast, false, 0};
}

bool needs_parens(int own, Context ctx) { return own < ctx.precedence || (own == ctx.precedence && ctx.right); }

// True when the "(" at the start of `text` is closed by the ")" at its end, so
// that wrapping it again would only double the parentheses.
bool is_enclosed(std::string_view text) {
  if (text.size() < 2 || text.front() != '(' || text.back() != ')') return false;
  std::size_t depth = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '(') {
      ++depth;
    } else if (text[i] == ')') {
      if (depth == 0) return false;
      if (--depth == 0) return i + 1 == text.size();
    }
  }
  return false;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

void append_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
  } else if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
  } else {
    support::append_shortest_fixed(out, value);
  }
}

// Appends the text of a constant to `out`.
void append_const_text(std::string& out, const ir::Scalar& value, ir::DType dtype) {
  if (const bool* b = std::get_if<bool>(&value)) {
    out += *b ? "true" : "false";
  } else if (const auto* i = std::get_if<std::int64_t>(&value)) {
    // An unsigned value is held as its 64-bit pattern.
    if (dtype.is_unsigned()) {
      support::append_decimal(out, static_cast<std::uint64_t>(*i));
    } else {
      support::append_decimal(out, *i);
    }
  } else if (const auto* f = std::get_if<double>(&value)) {
    append_float(out, *f);
  } else {
    const auto& c = std::get<ir::ComplexValue>(value);
    append_float(out, c.re);
    out += '+';
    append_float(out, c.im);
    out += 'j';
  }
}

// Appends the name of a parameter that the DAG does not declare.
void append_arg_name(std::string& out, std::size_t index) {
  out += "arg";
  support::append_decimal(out, static_cast<std::uint64_t>(index));
}

// Copies the `size` bytes of a part of the text. Parts are mostly a few
// bytes long: two overlapping fixed-size copies write them without a call or
// a loop.
void copy_part(char* to, const char* from, std::size_t size) {
  if (size >= 4) {
    if (size > 8) {
      std::memcpy(to, from, size);
      return;
    }
    std::memcpy(to, from, 4);
    std::memcpy(to + size - 4, from + size - 4, 4);
  } else if (size >= 2) {
    std::memcpy(to, from, 2);
    std::memcpy(to + size - 2, from + size - 2, 2);
  } else if (size == 1) {
    *to = *from;
  }
}

// Lengths saturate here; anything this long is refused long before.
constexpr std::uint64_t kLengthCap = std::uint64_t{1} << 62;
std::uint64_t add_length(std::uint64_t a, std::uint64_t b) { return std::min(a + b, kLengthCap); }

// Where the text of a leaf lies in the renderer's buffer of leaf texts.
struct LeafText {
  std::size_t start = 0;
  std::size_t size = 0;
};

// A node whose remembered text goes at offset `at` of the output.
struct Task {
  std::size_t node;
  std::size_t at;
};

constexpr const char* kLengthMismatch = "rendered expression length differs from its measure";

// Renders in passes so that neither the depth of the DAG nor the length of
// the texts costs more than proportional memory:
//  1. a depth-first walk from the root, in the order the text is written,
//     records the context of each node's first placement (it fixes the
//     parentheses of the node's remembered text);
//  2. a forward pass over node ids (operands first) decides every pair of
//     parentheses and the length of every node's text;
//  3. the root's text is written into one buffer of the known length by an
//     explicit stack of nodes and their offsets (every length is known, so
//     each node writes its own parts in place and leaves its operands to the
//     stack), shared nodes being copied from their first use.
class Renderer {
 public:
  struct NodeState;
  struct Visit;

  // The tables of one rendering, kept per thread between calls (see
  // `support::Kept`).
  struct Scratch {
    std::vector<NodeState> nodes;
    // The texts of the leaves, one after the other.
    std::string leaf_chars;
    std::vector<Task> tasks;
    std::vector<Visit> visits;

    void clear() {
      nodes.clear();
      leaf_chars.clear();
      tasks.clear();
      visits.clear();
    }
    std::size_t capacity() const { return nodes.capacity(); }
  };

  Renderer(const ir::TypedDag& dag, NodeId root, Scratch& scratch)
      : dag_(dag),
        root_(root),
        nodes_(scratch.nodes),
        leaf_chars_(scratch.leaf_chars),
        tasks_(scratch.tasks),
        visits_(scratch.visits) {
    nodes_.resize(dag.size());
  }

  Result<std::string, RenderTooLong> run() {
    place();
    measure();
    std::uint64_t length = nodes_[root_.value].length;
    if (length > kMaxRenderedBytes) return unexpected(RenderTooLong{});
    // The text is written straight into a buffer of its measured length.
    std::string out(static_cast<std::size_t>(length), '\0');
    write(out.data());
    return clean(std::move(out));
  }

  struct NodeState {
    std::uint64_t length = 0;  // of the remembered text, parentheses included
    Context first{};           // context of the first placement
    int precedence = 0;
    bool placed = false;         // reached from the root
    bool memo_parens = false;    // the remembered text carries added parentheses
    bool memo_enclosed = false;  // the remembered text is enclosed in one pair
    std::uint8_t shape = 0;      // `ShapeFlag`s
    // Where the remembered text was first written in the output, if it was.
    std::size_t written_at = kNotWritten;
    LeafText leaf;  // a leaf's text in the buffer of leaf texts
  };
  static constexpr std::size_t kNotWritten = std::numeric_limits<std::size_t>::max();

  struct Visit {
    NodeId node;
    Context ctx;
  };

 private:
  // Calls `f(operand, context)` for every operand in the order the text is
  // written: lhs before rhs, cond before then before else, arguments in order.
  // The context of an operand depends on its node's kind and, for the right
  // operand of a binary operator, on its position.
  // It and the per-operand lambdas of the passes are forced inline: GCC kept
  // them as calls, two or more per node.
  template <typename F>
  [[gnu::always_inline]] static void for_each_use(const ir::Node& node, F&& f) {
    if (const auto* b = std::get_if<ir::Binary>(&node)) {
      const auto& operands = kBinaryOperands[static_cast<std::size_t>(b->op)];
      f(b->lhs, operands[0]);
      f(b->rhs, operands[1]);
    } else if (const auto* u = std::get_if<ir::Unary>(&node)) {
      f(u->arg, unary_operand(u->op));
    } else if (const auto* k = std::get_if<ir::Cast>(&node)) {
      f(k->arg, cast_operand(k->is_explicit));
    } else if (std::holds_alternative<ir::If>(node)) {
      ir::for_each_operand(node, [&](NodeId operand) { f(operand, kIfOperand); });
    } else {
      ir::for_each_operand(node, [&](NodeId operand) { f(operand, kFreeOperand); });
    }
  }

  void place() {
    std::vector<Visit>& stack = visits_;
    stack.push_back({root_, kFreeOperand});
    while (!stack.empty()) {
      const Visit v = stack.back();
      stack.pop_back();
      NodeState& state = nodes_[v.node.value];
      if (state.placed) continue;
      state.placed = true;
      state.first = v.ctx;
      const std::size_t first_operand = stack.size();
      for_each_use(
          dag_.node(v.node), [&](NodeId child, Context ctx) __attribute__((always_inline)) {
            if (child.value >= v.node.value) {
              throw InternalError("operand " + std::to_string(child.value) + " of node " +
                                  std::to_string(v.node.value) + " does not precede it in TypedDag");
            }
            // An operand placed before keeps its first context.
            NodeState& operand_state = nodes_[child.value];
            if (operand_state.placed) return;
            // A leaf is never wrapped for its place (it binds tightest), so
            // where it is first placed does not matter: it is marked at once
            // instead of taking a turn on the stack.
            const ir::Node& operand = dag_.nodes()[child.value];
            if (std::holds_alternative<ir::Param>(operand) || std::holds_alternative<ir::Const>(operand)) {
              operand_state.placed = true;
            } else {
              stack.push_back({child, ctx});
            }
          });
      // The stack hands out the last operand first.
      const std::size_t pushed = stack.size() - first_operand;
      if (pushed == 2) {
        std::swap(stack[first_operand], stack[first_operand + 1]);
      } else if (pushed > 2) {
        std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first_operand), stack.end());
      }
    }
  }

  struct UseParens {
    bool parens;    // the use adds a pair around the remembered text
    bool enclosed;  // the text there is enclosed in one pair
  };

  // Decides the parentheses of one operand use. It depends only on the
  // operand's measured state and the context, so that measuring and writing
  // decide alike without recording the decision.
  static UseParens use_parens(const NodeState& c, Context ctx) {
    // The remembered text is reused as it was first placed, and wrapped
    // wherever this context needs parentheses that it does not carry.
    bool by_precedence = needs_parens(c.precedence, ctx);
    bool enclosed = by_precedence || c.memo_enclosed;
    bool by_kind = (c.shape & ctx.wraps) != 0;
    bool parens = (by_precedence && !c.memo_enclosed) || (by_kind && !enclosed);
    return {parens, enclosed || by_kind};
  }

  // The shape of a constant as an operand.
  static std::uint8_t const_shape(const ir::Const& k, ir::DType dtype) {
    std::uint8_t shape = kLeafShape;
    if (std::holds_alternative<ir::ComplexValue>(k.value)) shape |= kBelowComplex;
    // Read back, a leading sign is a prefix operator and binds looser than
    // `**` and `@`.
    if (const auto* i = std::get_if<std::int64_t>(&k.value)) {
      if (*i < 0 && !dtype.is_unsigned()) shape |= kBelowNegative;
    } else if (const auto* f = std::get_if<double>(&k.value)) {
      if (std::signbit(*f) && !std::isnan(*f)) shape |= kBelowNegative;
    }
    return shape;
  }

  static std::uint8_t binary_shape(BinaryOp op) {
    std::uint8_t shape = kBinaryOrIfShape;
    if (op == BinaryOp::Pow) shape |= kBelowPow;
    if (ir::is_comparison(op)) shape |= kBelowComparison;
    return shape;
  }

  // The flags that a hidden cast passes on from the node below it.
  static constexpr std::uint8_t kBelowShapes =
      kBelowComplex | kBelowNegative | kBelowUnary | kBelowPow | kBelowComparison;

  void measure() {
    const auto& dag_nodes = dag_.nodes();
    for (std::size_t id = 0; id < dag_nodes.size(); ++id) {
      NodeState& state = nodes_[id];
      if (!state.placed) continue;
      const ir::Node& node = dag_nodes[id];
      std::uint64_t length = 0;
      bool own_enclosed = false;
      bool hidden_cast = false;
      if (const auto* b = std::get_if<ir::Binary>(&node)) {
        state.precedence = precedence(b->op);
        state.shape = binary_shape(b->op);
        length = spaced_token(b->op).size();
      } else if (const auto* p = std::get_if<ir::Param>(&node)) {
        const std::size_t start = leaf_chars_.size();
        if (p->index < dag_.params().size()) {
          leaf_chars_ += dag_.params()[p->index].name;
        } else {
          append_arg_name(leaf_chars_, p->index);
        }
        state.leaf = LeafText{start, leaf_chars_.size() - start};
        state.precedence = kPrecLeaf;
        state.shape = kLeafShape;
        length = state.leaf.size;
        own_enclosed = is_enclosed(leaf_text(id));
      } else if (const auto* k = std::get_if<ir::Const>(&node)) {
        const std::size_t start = leaf_chars_.size();
        append_const_text(leaf_chars_, k->value, dag_.dtypes()[id]);
        state.leaf = LeafText{start, leaf_chars_.size() - start};
        state.precedence = kPrecLeaf;
        state.shape = const_shape(*k, dag_.dtypes()[id]);
        length = state.leaf.size;
      } else if (const auto* u = std::get_if<ir::Unary>(&node)) {
        state.precedence = kPrecUnary;
        state.shape = kUnaryShape | kBelowUnary;
        length = ir::info(u->op).token.size();
      } else if (std::holds_alternative<ir::If>(node)) {
        state.precedence = kPrecIf;
        state.shape = kBinaryOrIfShape;
        length = 3 + 6 + 6;  // "if ", " then ", " else "
      } else if (const auto* c = std::get_if<ir::Call>(&node)) {
        state.precedence = kPrecCall;
        std::size_t separators = c->args.empty() ? 0 : 2 * (c->args.size() - 1);
        length = ir::to_str(c->builtin).size() + 2 + separators;
      } else {
        const auto& cast = std::get<ir::Cast>(node);
        if (cast.is_explicit) {
          state.precedence = kPrecCast;
          length = 1 + ir::to_str(cast.dtype).size();
        } else {
          // A hidden cast is its operand's text, and binds like its operand
          // (a cast below it counting as shown).
          const ir::Node& operand = dag_nodes[cast.arg.value];
          const NodeState& below = nodes_[cast.arg.value];
          state.precedence = std::holds_alternative<ir::Cast>(operand) ? kPrecCast : below.precedence;
          state.shape = below.shape & kBelowShapes;
          hidden_cast = true;
        }
      }
      for_each_use(
          node, [&](NodeId child, Context ctx) __attribute__((always_inline)) {
            const NodeState& c = nodes_[child.value];
            UseParens r = use_parens(c, ctx);
            length = add_length(length, add_length(c.length, r.parens ? 2 : 0));
            // A hidden cast's text is its operand's, with the parentheses it got.
            if (hidden_cast) own_enclosed = r.enclosed;
          });
      bool by_precedence = needs_parens(state.precedence, state.first);
      state.memo_parens = by_precedence && !own_enclosed;
      state.memo_enclosed = by_precedence || own_enclosed;
      state.length = add_length(length, state.memo_parens ? 2 : 0);
    }
  }

  std::string_view leaf_text(std::size_t id) const {
    const LeafText& leaf = nodes_[id].leaf;
    return {leaf_chars_.data() + leaf.start, leaf.size};
  }

  // Writes the remembered text of node `id` from `begin + at` on: its own
  // parts and the leaves among its operands in place, the other operands as
  // tasks on the stack, to be taken in text order.
  // Forced inline into `write`, its only caller: it runs once per node, and
  // the call and its saved registers were a good part of a small node's cost.
  [[gnu::always_inline]] void write_node(std::size_t id, char* const begin, const std::size_t at) {
    const NodeState& state = nodes_[id];
    const std::size_t end = at + static_cast<std::size_t>(state.length);
    std::size_t cursor = at;
    const std::size_t first_task = tasks_.size();
    auto literal = [&](std::string_view text) __attribute__((always_inline)) {
      const std::size_t size = text.size();
      if (size > end - cursor) throw InternalError(kLengthMismatch);
      copy_part(begin + cursor, text.data(), size);
      cursor += size;
    };
    auto put_char = [&](char c) __attribute__((always_inline)) {
      if (cursor == end) throw InternalError(kLengthMismatch);
      begin[cursor++] = c;
    };
    auto operand = [&](NodeId child, Context ctx) __attribute__((always_inline)) {
      const NodeState& c = nodes_[child.value];
      const bool parens = use_parens(c, ctx).parens;
      if (parens) put_char('(');
      // A leaf's text is known here; writing it directly spares a round trip
      // through the stack for most operands.
      if ((c.shape & kLeafShape) != 0 && !c.memo_parens) {
        literal(leaf_text(child.value));
      } else {
        if (c.length > end - cursor) throw InternalError(kLengthMismatch);
        tasks_.push_back({child.value, cursor});
        cursor += static_cast<std::size_t>(c.length);
      }
      if (parens) put_char(')');
    };

    if (state.memo_parens) put_char('(');
    const ir::Node& node = dag_.nodes()[id];
    if (const auto* b = std::get_if<ir::Binary>(&node)) {
      const auto& contexts = kBinaryOperands[static_cast<std::size_t>(b->op)];
      operand(b->lhs, contexts[0]);
      literal(spaced_token(b->op));
      operand(b->rhs, contexts[1]);
    } else if ((state.shape & kLeafShape) != 0) {
      literal(leaf_text(id));
    } else if (const auto* u = std::get_if<ir::Unary>(&node)) {
      literal(ir::info(u->op).token);
      operand(u->arg, unary_operand(u->op));
    } else if (const auto* i = std::get_if<ir::If>(&node)) {
      literal("if ");
      operand(i->cond, kIfOperand);
      literal(" then ");
      operand(i->then_branch, kIfOperand);
      literal(" else ");
      operand(i->else_branch, kIfOperand);
    } else if (const auto* c = std::get_if<ir::Call>(&node)) {
      literal(ir::to_str(c->builtin));
      put_char('(');
      for (std::size_t k = 0; k < c->args.size(); ++k) {
        if (k > 0) literal(", ");
        operand(c->args[k], kFreeOperand);
      }
      put_char(')');
    } else {
      const auto& cast = std::get<ir::Cast>(node);
      operand(cast.arg, cast_operand(cast.is_explicit));
      if (cast.is_explicit) {
        put_char('@');
        literal(ir::to_str(cast.dtype));
      }
    }
    if (state.memo_parens) put_char(')');
    if (cursor != end) throw InternalError(kLengthMismatch);
    // The stack hands out the last task first.
    const std::size_t pushed = tasks_.size() - first_task;
    if (pushed == 2) {
      std::swap(tasks_[first_task], tasks_[first_task + 1]);
    } else if (pushed > 2) {
      std::reverse(tasks_.begin() + static_cast<std::ptrdiff_t>(first_task), tasks_.end());
    }
  }

  // Writes the root's text into `begin`, which has room for exactly its
  // measured length.
  void write(char* const begin) {
    tasks_.push_back({root_.value, 0});
    while (!tasks_.empty()) {
      const Task task = tasks_.back();
      tasks_.pop_back();
      NodeState& state = nodes_[task.node];
      if (state.written_at == kNotWritten) {
        state.written_at = task.at;
        write_node(task.node, begin, task.at);
        continue;
      }
      // A node's remembered text is the same at every use, and a later use
      // never lies inside the first (operands precede their users): copy the
      // text written at the first use instead of walking the node again.
      const std::size_t size = static_cast<std::size_t>(state.length);
      if (state.written_at + size > task.at) throw InternalError(kLengthMismatch);
      std::memcpy(begin + task.at, begin + state.written_at, size);
    }
  }

  // Trims surrounding whitespace and every pair of parentheses around the
  // whole text.
  static std::string clean(std::string text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    auto trim = [&] {
      while (begin < end && is_space(text[begin])) ++begin;
      while (end > begin && is_space(text[end - 1])) --end;
    };
    trim();
    while (end - begin >= 2 && is_enclosed(std::string_view(text).substr(begin, end - begin))) {
      ++begin;
      --end;
      trim();
    }
    // In place: the text may be long, and is not needed otherwise.
    text.erase(end);
    text.erase(0, begin);
    return text;
  }

  const ir::TypedDag& dag_;
  NodeId root_;
  std::vector<NodeState>& nodes_;
  std::string& leaf_chars_;
  std::vector<Task>& tasks_;
  std::vector<Visit>& visits_;
};

struct KeptRenderTag {};
using RenderScratch = support::Kept<Renderer::Scratch, KeptRenderTag, std::size_t{1} << 12>;

}  // namespace

std::string RenderTooLong::to_string() const {
  return "rendered expression is longer than " + std::to_string(kMaxRenderedBytes) + " bytes";
}

Result<std::string, RenderTooLong> render_simplified_expr(const ir::TypedDag& dag, ir::NodeId output) {
  if (output.value >= dag.size()) {
    throw InternalError("rendered node " + std::to_string(output.value) + " out of range (nodes len " +
                        std::to_string(dag.size()) + ")");
  }
  RenderScratch scratch;
  return Renderer(dag, output, scratch.value).run();
}

}  // namespace morvalen::repl

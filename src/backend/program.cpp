#include "backend/program.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "backend/const_text.h"
#include "backend/reachable.h"
#include "backend/source_shape.h"
#include "backend/text_form.h"
#include "ir/dtype.h"
#include "ir/node.h"
#include "ir/ops.h"
#include "support/internal_error.h"
#include "support/number_text.h"

namespace morvalen::backend {
namespace {

using ir::BinaryOp;
using ir::DType;
using ir::NodeId;

// An expression used once gets a line of its own when its text would be
// longer than this; it also keeps every text that is copied into its user's
// short, so that writing costs time proportional to the output.
constexpr std::size_t kLongText = 100;

// A parameter name at least this long, used more than once, is bound to a
// short name, so that the text stays proportional to the DAG, not to the DAG
// times the name.
constexpr std::size_t kLongParamName = 24;

// Where a bound node's name goes in a text.
struct Ref {
  std::size_t offset;
  std::size_t node;
};

// Text with holes for the names of bound nodes, which are numbered only once
// every line is known.
struct Template {
  std::string text;
  std::vector<Ref> refs;

  std::size_t estimated_size() const { return text.size() + 4 * refs.size(); }
  void append(std::string_view s) { text += s; }
  void append(Template&& other) {
    for (const Ref& r : other.refs) refs.push_back({r.offset + text.size(), r.node});
    text += other.text;
  }
  void append_name_of(std::size_t node) { refs.push_back({text.size(), node}); }
};

struct Piece {
  Template body;
  TextForm form;
  bool bare_literal = false;  // an unsuffixed number token (see `ConstText`)
};

Piece from_const_text(ConstText c) {
  Piece p;
  p.body.text = std::move(c.text);
  p.form = c.form;
  p.bare_literal = c.bare_literal;
  return p;
}

Template parenthesised(Piece p) {
  Template t;
  t.append("(");
  t.append(std::move(p.body));
  t.append(")");
  return t;
}

Template maybe_parenthesised(Piece p, bool wrap) { return wrap ? parenthesised(std::move(p)) : std::move(p.body); }

// What lowering demands of the operands' dtypes before it promotes them.
bool operand_dtypes_allowed(const ir::Node& user, DType lhs, DType rhs) {
  const auto* b = std::get_if<ir::Binary>(&user);
  if (b == nullptr) return true;
  auto float_or_complex = [](DType d) { return d.is_float() || d.is_complex(); };
  switch (b->op) {
    case BinaryOp::Div:
      return float_or_complex(lhs) && float_or_complex(rhs);
    case BinaryOp::FloorDiv:
      return lhs.is_integer() && rhs.is_integer();
    case BinaryOp::And:
    case BinaryOp::Or:
      return lhs.is_bool() && rhs.is_bool();
    case BinaryOp::Add:
    case BinaryOp::Sub:
    case BinaryOp::Mul:
    case BinaryOp::Rem:
    case BinaryOp::Pow:
    case BinaryOp::Eq:
    case BinaryOp::Ne:
    case BinaryOp::Lt:
    case BinaryOp::Le:
    case BinaryOp::Gt:
    case BinaryOp::Ge:
      return true;
  }
  return true;
}

bool is_divisor_slot(const ir::Node& user, std::size_t slot) {
  const auto* b = std::get_if<ir::Binary>(&user);
  return b != nullptr && slot == 1 && (b->op == BinaryOp::FloorDiv || b->op == BinaryOp::Rem);
}

bool is_int_zero(const ir::Scalar& value) {
  const auto* i = std::get_if<std::int64_t>(&value);
  return i != nullptr && *i == 0;
}

// How an operand is written.
enum class Form : std::uint8_t {
  Name,          // the name of a bound node or of a parameter
  Own,           // the operand's own text
  Const,         // a constant's text (typed, castable, overflowed or divisor)
  OmitCast,      // an implicit cast left out: promotion adds it again
  ExplicitCast,  // a cast written with `@`
};

// One way of writing an operand, and the dtype lowering gives that text. An
// exact text, read at `dtype`, is the operand itself; an inexact one is the
// operand once promotion has cast it to the dtype its place expects.
struct Candidate {
  Form form = Form::Own;
  DType dtype;
  bool exact = true;
  std::optional<ConstText> const_text;
};

class ProgramWriter {
 public:
  explicit ProgramWriter(const ir::TypedDag& dag) : dag_(dag), state_(dag.size()) {
    if (dag.outputs().size() != 1) throw InternalError("a program has one result");
    root_ = dag.outputs().front().value;
    for (const ir::ParamDecl& p : dag.params()) param_names_.insert(p.name);
  }

  Result<std::string, ProgramTooLong> run() {
    count_uses();
    for (std::size_t id = 0; id <= root_; ++id) {
      if (state_[id].reachable) write_node(id);
    }
    Piece result = direct(root_);
    number_lines(result.body);
    return assemble(result.body);
  }

 private:
  struct NodeState {
    std::size_t uses = 0;
    bool reachable = false;
    bool bound = false;
    bool divisor = false;  // a constant that some `//` or `%` divides by
    std::optional<DType> overflow_operation;
    DType bound_dtype;     // the dtype lowering gives the bound name
    Piece own;             // the node's text; for a bound node, its line
    std::size_t line = 0;  // 1-based number of a bound node's line once numbered
  };

  const ir::Node& node(std::size_t id) const { return dag_.nodes()[id]; }
  DType dtype(std::size_t id) const { return dag_.dtypes()[id]; }

  std::vector<OperandView> operand_views(const ir::Node& n) const {
    std::vector<OperandView> views;
    for_each_operand(n, [&](NodeId operand) {
      const auto* c = std::get_if<ir::Const>(&node(operand.value));
      views.push_back({dtype(operand.value), c != nullptr ? &c->value : nullptr});
    });
    return views;
  }

  std::optional<DType> expected(std::size_t user, std::size_t slot) const {
    return expected_operand_dtype(node(user), dtype(user), operand_views(node(user)), slot);
  }

  // Reachability, use counts and what the constants' places ask of them.
  void count_uses() {
    state_[root_].reachable = true;
    for (std::size_t id = root_ + 1; id-- > 0;) {
      if (!state_[id].reachable) continue;
      for_each_operand(node(id), [&](NodeId operand) {
        if (operand.value >= id) {
          throw InternalError("operand " + std::to_string(operand.value) + " of node " + std::to_string(id) +
                              " does not precede it in TypedDag");
        }
        state_[operand.value].reachable = true;
        ++state_[operand.value].uses;
      });
    }
    for (std::size_t id = 0; id <= root_; ++id) {
      if (!state_[id].reachable) continue;
      std::size_t slot = 0;
      for_each_operand(node(id), [&](NodeId operand) {
        NodeState& s = state_[operand.value];
        if (std::holds_alternative<ir::Const>(node(operand.value))) {
          if (is_divisor_slot(node(id), slot)) s.divisor = true;
          auto e = expected(id, slot);
          if (e && *e != dtype(operand.value) && !s.overflow_operation) s.overflow_operation = e;
        }
        ++slot;
      });
    }
    for (std::size_t id = 0; id <= root_; ++id) {
      NodeState& s = state_[id];
      if (!s.reachable || s.uses < 2) continue;
      if (const auto* p = std::get_if<ir::Param>(&node(id))) {
        s.bound = param_name(p->index).size() >= kLongParamName;
      } else {
        s.bound = true;
      }
    }
  }

  const std::string& param_name(std::size_t index) const {
    if (index >= dag_.params().size()) throw InternalError("invalid Param index in TypedDag");
    return dag_.params()[index].name;
  }

  // Texts of constants, as the constant's places need them.
  ConstText typed_const(std::size_t id) const {
    const auto& c = std::get<ir::Const>(node(id));
    return typed_const_text(c.value, dtype(id), state_[id].divisor);
  }

  // The text of a node in a place that casts nothing: the node itself.
  Piece direct(std::size_t id) { return state_[id].bound ? name_piece(id) : unbound_text(id); }

  // The node's own text, which a bound node's line holds.
  Piece unbound_text(std::size_t id) {
    const NodeState& s = state_[id];
    const ir::Node& n = node(id);
    if (const auto* p = std::get_if<ir::Param>(&n)) return text_piece(param_name(p->index));
    if (std::holds_alternative<ir::Const>(n)) {
      if (s.overflow_operation) {
        if (auto text = overflowed_const_text(std::get<ir::Const>(n).value, dtype(id), *s.overflow_operation)) {
          return from_const_text(std::move(*text));
        }
      }
      return from_const_text(typed_const(id));
    }
    if (const auto* k = std::get_if<ir::Cast>(&n); k != nullptr && !k->is_explicit) return written_cast(*k);
    return std::move(state_[id].own);
  }

  Piece name_piece(std::size_t id) const {
    Piece p;
    p.body.append_name_of(id);
    return p;
  }

  static Piece text_piece(std::string_view text) {
    Piece p;
    p.body.append(text);
    return p;
  }

  Piece written_cast(const ir::Cast& cast) {
    Piece operand = direct(cast.arg.value);
    const bool wrap = needs_parens_before_postfix(operand.form) || operand.bare_literal;
    Piece p;
    p.body = maybe_parenthesised(std::move(operand), wrap);
    p.body.append("@");
    p.body.append(ir::to_str(cast.dtype));
    p.form = TextForm::of(TextForm::Kind::Postfix);
    return p;
  }

  // The ways of writing operand `id` in a place of dtype `place`, best first.
  std::vector<Candidate> candidates(std::size_t id, DType place, bool divisor_slot) const {
    const NodeState& s = state_[id];
    const ir::Node& n = node(id);
    if (s.bound) return {Candidate{Form::Name, s.bound_dtype, true, std::nullopt}};
    if (std::holds_alternative<ir::Param>(n)) return {Candidate{Form::Name, dtype(id), true, std::nullopt}};
    if (const auto* c = std::get_if<ir::Const>(&n)) {
      if (dtype(id) != place) {
        if (auto text = overflowed_const_text(c->value, dtype(id), place)) {
          return {Candidate{Form::Const, place, true, std::move(text)}};
        }
        return {Candidate{Form::Const, dtype(id), true, typed_const(id)}};
      }
      if (divisor_slot && is_int_zero(c->value)) {
        return {Candidate{Form::Const, dtype(id), true, typed_const_text(c->value, dtype(id), true)}};
      }
      std::vector<Candidate> out;
      if (auto text = castable_const_text(c->value, dtype(id))) {
        DType natural = text->dtype;
        out.push_back(Candidate{Form::Const, natural, false, std::move(text)});
      }
      out.push_back(Candidate{Form::Const, dtype(id), true, typed_const(id)});
      return out;
    }
    if (const auto* k = std::get_if<ir::Cast>(&n); k != nullptr && !k->is_explicit) {
      std::vector<Candidate> out;
      const NodeState& arg = state_[k->arg.value];
      const DType arg_dtype = arg.bound ? arg.bound_dtype : dtype(k->arg.value);
      if (arg_dtype != dtype(id)) out.push_back(Candidate{Form::OmitCast, arg_dtype, false, std::nullopt});
      out.push_back(Candidate{Form::ExplicitCast, dtype(id), true, std::nullopt});
      return out;
    }
    return {Candidate{Form::Own, dtype(id), true, std::nullopt}};
  }

  Piece written(std::size_t id, Candidate c) {
    switch (c.form) {
      case Form::Name:
        return direct(id);
      case Form::Own:
        return std::move(state_[id].own);
      case Form::Const:
        return from_const_text(std::move(*c.const_text));
      case Form::OmitCast:
        return direct(std::get<ir::Cast>(node(id)).arg.value);
      case Form::ExplicitCast:
        return written_cast(std::get<ir::Cast>(node(id)));
    }
    throw InternalError("unknown operand form");
  }

  // An operand of a place that promotion does not touch: its text must be
  // read at exactly the dtype the place expects.
  Piece direct_operand(std::size_t user, std::size_t slot, NodeId operand) {
    const std::optional<DType> place = expected(user, slot);
    std::vector<Candidate> options = candidates(operand.value, place.value_or(dtype(operand.value)), false);
    for (Candidate& c : options) {
      if (c.exact && c.dtype == place.value_or(c.dtype)) return written(operand.value, std::move(c));
    }
    return written(operand.value, std::move(options.back()));
  }

  // The two operands of a place that promotes them to `place` (arithmetic,
  // comparisons, the branches of `if`): the first pair of texts, best first,
  // that lowering types, promotes and casts back into exactly these operands.
  std::pair<Piece, Piece> promoted_operands(std::size_t user, NodeId lhs, NodeId rhs, std::size_t first_slot) {
    const ir::Node& u = node(user);
    const DType place = expected(user, first_slot).value_or(dtype(user));
    std::vector<Candidate> left = candidates(lhs.value, place, is_divisor_slot(u, first_slot));
    std::vector<Candidate> right = candidates(rhs.value, place, is_divisor_slot(u, first_slot + 1));
    auto accepted = [&](const Candidate& c) { return c.exact == (c.dtype == place); };
    for (Candidate& l : left) {
      for (Candidate& r : right) {
        if (!accepted(l) || !accepted(r) || !operand_dtypes_allowed(u, l.dtype, r.dtype)) continue;
        auto promoted = ir::promote(l.dtype, r.dtype);
        if (!promoted || *promoted != place) continue;
        Piece a = written(lhs.value, std::move(l));
        return {std::move(a), written(rhs.value, std::move(r))};
      }
    }
    // Only a DAG that no text lowers to gets here; its exact texts are the
    // nearest reading.
    Piece a = written(lhs.value, std::move(left.back()));
    return {std::move(a), written(rhs.value, std::move(right.back()))};
  }

  void write_node(std::size_t id) {
    NodeState& s = state_[id];
    const ir::Node& n = node(id);
    s.bound_dtype = dtype(id);
    if (const auto* b = std::get_if<ir::Binary>(&n)) {
      s.own = binary_text(id, *b);
    } else if (const auto* u = std::get_if<ir::Unary>(&n)) {
      Piece operand = direct_operand(id, 0, u->arg);
      const bool wrap = needs_parens_after_prefix(operand.form);
      Piece p;
      p.body.append(ir::info(u->op).token);
      p.body.append(maybe_parenthesised(std::move(operand), wrap));
      p.form = TextForm::of(TextForm::Kind::Prefix);
      s.own = std::move(p);
    } else if (const auto* i = std::get_if<ir::If>(&n)) {
      s.own = if_text(id, *i);
    } else if (const auto* c = std::get_if<ir::Call>(&n)) {
      Piece p;
      p.body.append(ir::to_str(c->builtin));
      p.body.append("(");
      for (std::size_t k = 0; k < c->args.size(); ++k) {
        if (k > 0) p.body.append(", ");
        p.body.append(direct_operand(id, k, c->args[k]).body);
      }
      p.body.append(")");
      s.own = std::move(p);
    } else if (const auto* k = std::get_if<ir::Cast>(&n)) {
      // An implicit cast is written by its user, which may leave it out.
      if (k->is_explicit || s.bound) s.own = written_cast(*k);
    } else if (std::holds_alternative<ir::Const>(n)) {
      if (s.bound) {
        s.own = unbound_text(id);
        if (s.overflow_operation &&
            overflowed_const_text(std::get<ir::Const>(n).value, dtype(id), *s.overflow_operation)) {
          s.bound_dtype = *s.overflow_operation;
        }
      }
    } else if (const auto* p = std::get_if<ir::Param>(&n)) {
      if (s.bound) s.own = text_piece(param_name(p->index));
    }
    const bool compound = std::holds_alternative<ir::Binary>(n) || std::holds_alternative<ir::Unary>(n) ||
                          std::holds_alternative<ir::If>(n) || std::holds_alternative<ir::Call>(n) ||
                          std::holds_alternative<ir::Cast>(n);
    if (!s.bound && compound && id != root_ && s.own.body.estimated_size() > kLongText) s.bound = true;
  }

  Piece binary_text(std::size_t id, const ir::Binary& b) {
    Piece lhs;
    Piece rhs;
    if (ir::is_logical(b.op)) {
      lhs = direct_operand(id, 0, b.lhs);
      rhs = direct_operand(id, 1, b.rhs);
    } else {
      std::tie(lhs, rhs) = promoted_operands(id, b.lhs, b.rhs, 0);
    }
    const bool wrap_lhs = needs_parens_as_operand(lhs.form, b.op, false);
    const bool wrap_rhs = needs_parens_as_operand(rhs.form, b.op, true);
    Piece p;
    p.body = maybe_parenthesised(std::move(lhs), wrap_lhs);
    p.body.append(" ");
    p.body.append(infix_spelling(b.op));
    p.body.append(" ");
    p.body.append(maybe_parenthesised(std::move(rhs), wrap_rhs));
    p.form = TextForm::infix(b.op);
    return p;
  }

  // `if` is not an operand of operators, and an `if` in the condition or the
  // then-branch reads more easily in parentheses; the else-branch runs to
  // the end of the text anyway.
  Piece if_text(std::size_t id, const ir::If& i) {
    Piece cond = direct_operand(id, 0, i.cond);
    auto [then_piece, else_piece] = promoted_operands(id, i.then_branch, i.else_branch, 1);
    const bool wrap_cond = cond.form.kind == TextForm::Kind::If;
    const bool wrap_then = then_piece.form.kind == TextForm::Kind::If;
    Piece p;
    p.body.append("if ");
    p.body.append(maybe_parenthesised(std::move(cond), wrap_cond));
    p.body.append(" then ");
    p.body.append(maybe_parenthesised(std::move(then_piece), wrap_then));
    p.body.append(" else ");
    p.body.append(std::move(else_piece.body));
    p.form = TextForm::of(TextForm::Kind::If);
    return p;
  }

  // Numbers the bound nodes in the order their lines are written: each line
  // after the lines it uses, in the order the text first uses them.
  void number_lines(const Template& result) {
    struct Frame {
      const Template* text;
      std::size_t next_ref;
      std::size_t node;  // the bound node whose line this is; none for the result
    };
    constexpr std::size_t kResult = static_cast<std::size_t>(-1);
    std::vector<Frame> stack{{&result, 0, kResult}};
    std::vector<bool> started(dag_.size(), false);
    while (!stack.empty()) {
      Frame& top = stack.back();
      if (top.next_ref < top.text->refs.size()) {
        const std::size_t ref = top.text->refs[top.next_ref++].node;
        if (!started[ref]) {
          started[ref] = true;
          stack.push_back({&state_[ref].own.body, 0, ref});
        }
        continue;
      }
      if (top.node != kResult) {
        lines_.push_back(top.node);
        state_[top.node].line = lines_.size();
      }
      stack.pop_back();
    }
  }

  // `t` and the line number, with `_` appended while a parameter has that name.
  std::string line_name(std::size_t line) const {
    std::string name = "t";
    support::append_decimal(name, static_cast<std::uint64_t>(line));
    while (param_names_.contains(name)) name += '_';
    return name;
  }

  void fill(std::string& out, const Template& t, const std::vector<std::string>& names) const {
    std::size_t at = 0;
    for (const Ref& r : t.refs) {
      out.append(t.text, at, r.offset - at);
      out += names[state_[r.node].line - 1];
      at = r.offset;
    }
    out.append(t.text, at, std::string::npos);
  }

  Result<std::string, ProgramTooLong> assemble(const Template& result) const {
    std::vector<std::string> names;
    names.reserve(lines_.size());
    std::size_t size = result.text.size() + 2;
    for (std::size_t k = 1; k <= lines_.size(); ++k) names.push_back(line_name(k));
    for (const ir::ParamDecl& p : dag_.params()) size += p.name.size() + 8;
    for (std::size_t k = 0; k < lines_.size(); ++k) {
      const Template& t = state_[lines_[k]].own.body;
      size += names[k].size() + 4 + t.text.size();
      for (const Ref& r : t.refs) size += names[state_[r.node].line - 1].size();
    }
    for (const Ref& r : result.refs) size += names[state_[r.node].line - 1].size();
    if (size > kMaxProgramBytes) return unexpected(ProgramTooLong{});

    std::string out;
    out.reserve(size);
    out += '|';
    for (std::size_t j = 0; j < dag_.params().size(); ++j) {
      if (j > 0) out += ", ";
      out += dag_.params()[j].name;
      out += ": ";
      out += ir::to_str(dag_.params()[j].dtype);
    }
    out += "|\n";
    for (std::size_t k = 0; k < lines_.size(); ++k) {
      out += names[k];
      out += " = ";
      fill(out, state_[lines_[k]].own.body, names);
      out += '\n';
    }
    fill(out, result, names);
    return out;
  }

  const ir::TypedDag& dag_;
  std::size_t root_ = 0;
  std::vector<NodeState> state_;
  std::set<std::string, std::less<>> param_names_;
  std::vector<std::size_t> lines_;  // bound nodes in line order
};

}  // namespace

std::string ProgramTooLong::to_string() const {
  return "program text is longer than " + std::to_string(kMaxProgramBytes) + " bytes";
}

Result<std::string, ProgramTooLong> render_program(const ir::TypedDag& dag) {
  const ir::TypedDag shaped = in_source_shape(dag);
  return ProgramWriter(shaped).run();
}

}  // namespace morvalen::backend

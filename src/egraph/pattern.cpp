#include "egraph/pattern.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string>
#include <utility>

#include "support/internal_error.h"
#include "support/overloaded.h"

namespace morvalen::egraph {
namespace {

struct Sexp {
  bool is_list = false;
  std::string atom;
  std::vector<Sexp> items;

  std::string to_string() const {
    if (!is_list) return atom;
    std::string out = "(";
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i) out += ' ';
      out += items[i].to_string();
    }
    return out + ")";
  }
};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// sexp := atom | quoted | "(" sexp* ")"
class SexpReader {
 public:
  explicit SexpReader(std::string_view text) : text_(text) {}

  Result<Sexp, std::string> read_all() {
    auto sexp = read();
    if (!sexp) return sexp;
    skip_space();
    if (pos_ != text_.size()) return unexpected(std::string("Unexpected trailing input"));
    return sexp;
  }

 private:
  void skip_space() {
    while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
  }

  Result<Sexp, std::string> read() {
    skip_space();
    if (pos_ >= text_.size()) return unexpected(std::string("End of file reached"));
    char c = text_[pos_];
    if (c == ')') return unexpected(std::string("Unexpected )"));
    if (c == '(') {
      ++pos_;
      Sexp list;
      list.is_list = true;
      for (;;) {
        skip_space();
        if (pos_ >= text_.size()) return unexpected(std::string("End of file reached"));
        if (text_[pos_] == ')') {
          ++pos_;
          return list;
        }
        auto item = read();
        if (!item) return item;
        list.items.push_back(std::move(*item));
      }
    }
    if (c == '"') return read_quoted();
    Sexp atom;
    std::size_t start = pos_;
    while (pos_ < text_.size() && !is_space(text_[pos_]) && text_[pos_] != '(' && text_[pos_] != ')') ++pos_;
    atom.atom = std::string(text_.substr(start, pos_ - start));
    return atom;
  }

  // quoted := '"' (char | '\' escape)* '"'
  Result<Sexp, std::string> read_quoted() {
    ++pos_;
    Sexp atom;
    while (pos_ < text_.size()) {
      char c = text_[pos_++];
      if (c == '"') return atom;
      if (c != '\\') {
        atom.atom += c;
        continue;
      }
      if (pos_ >= text_.size()) break;
      char e = text_[pos_++];
      switch (e) {
        case 'n':
          atom.atom += '\n';
          break;
        case 't':
          atom.atom += '\t';
          break;
        case 'r':
          atom.atom += '\r';
          break;
        case '0':
          atom.atom += '\0';
          break;
        default:
          atom.atom += e;  // \" \\ and any other escaped character stand for themselves
      }
    }
    return unexpected(std::string("Unterminated string"));
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

// Appends the pattern nodes of `sexp` after its children; returns its position.
Result<Id, PatternError> convert(const Sexp& sexp, PatternAst& ast) {
  const std::string* op = nullptr;
  std::span<const Sexp> args;
  if (sexp.is_list) {
    if (sexp.items.empty()) return unexpected(PatternError{PatternError::EmptySexp{}});
    if (sexp.items.front().is_list) return unexpected(PatternError{PatternError::HeadList{sexp.to_string()}});
    op = &sexp.items.front().atom;
    args = std::span<const Sexp>(sexp.items).subspan(1);
  } else {
    op = &sexp.atom;
  }
  if (op->size() > 1 && op->front() == '?') {
    if (!args.empty()) return unexpected(PatternError{PatternError::UnexpectedVar{*op}});
    auto var = parse_var(*op);
    if (!var) return unexpected(PatternError{PatternError::BadVar{std::move(var).error()}});
    ast.emplace_back(*var);
    return Id{static_cast<std::uint32_t>(ast.size() - 1)};
  }
  std::vector<Id> children;
  children.reserve(args.size());
  for (const Sexp& arg : args) {
    MORVALEN_TRY(child, convert(arg, ast));
    children.push_back(child);
  }
  auto node = opt::from_op(*op, children);
  if (!node) return unexpected(PatternError{PatternError::BadOp{std::move(node).error()}});
  ast.emplace_back(*node);
  return Id{static_cast<std::uint32_t>(ast.size() - 1)};
}

bool needs_quotes(std::string_view text) {
  if (text.empty() || text.front() == '"') return true;
  for (char c : text)
    if (is_space(c) || c == '(' || c == ')') return true;
  return false;
}

void render(const PatternAst& ast, std::size_t index, std::string& out) {
  if (const Var* v = std::get_if<Var>(&ast[index])) {
    out += v->text();
    return;
  }
  const MathLang& n = std::get<MathLang>(ast[index]);
  switch (n.kind()) {
    case MathKind::Bool:
      out += n.bool_value() ? "true" : "false";
      return;
    case MathKind::Int:
      out += std::to_string(n.int_value());
      return;
    case MathKind::Num:
      out += opt::format_num(n.num_value());
      return;
    case MathKind::TypeToken: {
      std::string_view text = n.token().text();
      if (!needs_quotes(text)) {
        out += text;
        return;
      }
      out += '"';
      for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
      }
      out += '"';
      return;
    }
    case MathKind::Complex:
    case MathKind::Param:
    case MathKind::Cast:
    case MathKind::Add:
    case MathKind::Sub:
    case MathKind::Mul:
    case MathKind::Div:
    case MathKind::FloorDiv:
    case MathKind::Rem:
    case MathKind::Pow:
    case MathKind::Neg:
    case MathKind::Eq:
    case MathKind::Ne:
    case MathKind::Lt:
    case MathKind::Le:
    case MathKind::Gt:
    case MathKind::Ge:
    case MathKind::And:
    case MathKind::Or:
    case MathKind::Not:
    case MathKind::IfElse:
    case MathKind::Exp:
    case MathKind::Log:
    case MathKind::Sqrt:
    case MathKind::Abs:
    case MathKind::Sin:
    case MathKind::Cos:
    case MathKind::Tanh:
    case MathKind::Sigmoid:
    case MathKind::Relu:
    case MathKind::Softplus:
    case MathKind::Floor:
    case MathKind::Ceil:
    case MathKind::FusedExpSigmoid:
    case MathKind::FusedSigmoidLog:
      break;
  }
  out += '(';
  out += opt::kind_info(n.kind()).spelling;
  for (Id c : n.children()) {
    out += ' ';
    render(ast, c.value, out);
  }
  out += ')';
}

}  // namespace

std::string VarError::to_string() const {
  return std::visit(support::Overloaded{
                        [](const MissingQuestionMark& m) { return "variable `" + m.text + "` must start with `?`"; },
                        [](const BadNumber& b) { return "invalid numbered variable `" + b.text + "`"; },
                    },
                    detail);
}

Result<Var, VarError> parse_var(std::string_view text) {
  if (text.size() < 2 || text.front() != '?')
    return unexpected(VarError{VarError::MissingQuestionMark{std::string(text)}});
  if (text.substr(0, 2) == "?#") {
    std::string_view digits = text.substr(2);
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    std::uint32_t number = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (digits.empty() || ec != std::errc() || ptr != digits.data() + digits.size())
      return unexpected(VarError{VarError::BadNumber{std::string(text)}});
  }
  return Var{support::Symbol::intern(text)};
}

std::string PatternError::to_string() const {
  return std::visit(support::Overloaded{
                        [](const Reader& r) { return r.message; },
                        [](const EmptySexp&) { return std::string("Found empty s-expression"); },
                        [](const HeadList& h) { return "Found a list in the head position: " + h.sexp; },
                        [](const UnexpectedVar& u) { return "Found variable `" + u.var + "` with children"; },
                        [](const BadVar& b) { return "Found invalid variable: " + b.error.to_string(); },
                        [](const BadOp& b) { return "Failed to parse op: " + b.error.to_string(); },
                    },
                    detail);
}

Result<Pattern, PatternError> Pattern::parse(std::string_view text) {
  auto sexp = SexpReader(text).read_all();
  if (!sexp) return unexpected(PatternError{PatternError::Reader{std::move(sexp).error()}});
  PatternAst ast;
  MORVALEN_TRY_VOID(convert(*sexp, ast));
  return Pattern(std::move(ast));
}

Pattern::Pattern(PatternAst ast) : ast_(std::move(ast)), program_(Program::compile(ast_)) {
  const std::vector<Var>& vars = program_.vars;
  std::vector<std::uint32_t> slot_of_node(ast_.size(), 0);
  for (std::size_t i = 0; i < ast_.size(); ++i) {
    if (const Var* v = std::get_if<Var>(&ast_[i])) {
      slot_of_node[i] = static_cast<std::uint32_t>(std::find(vars.begin(), vars.end(), *v) - vars.begin());
      continue;
    }
    const MathLang& enode = std::get<MathLang>(ast_[i]);
    kinds_ |= std::uint64_t{1} << static_cast<unsigned>(enode.kind());
    build_nodes_.push_back(enode.map_children([&](Id c) { return Id{slot_of_node[c.value]}; }));
    slot_of_node[i] = static_cast<std::uint32_t>(vars.size() + build_nodes_.size() - 1);
  }
  root_slot_ = slot_of_node.back();
}

std::optional<SearchMatches> Pattern::search_eclass(const EGraph& egraph, Id eclass, std::size_t limit) const {
  egraph.check_clean();
  if (limit == 0) return std::nullopt;
  std::vector<std::optional<Id>> ground(program_.terms.size());
  program_.resolve_ground(egraph, ground);
  std::vector<Id> flat;
  program_.run(egraph, eclass, limit, ground, flat);
  std::vector<SearchMatches> grouped = group_matches(flat);
  if (grouped.empty()) return std::nullopt;
  return std::move(grouped.front());
}

std::vector<SearchMatches> Pattern::search(const EGraph& egraph, std::size_t limit) const {
  std::vector<Id> flat;
  search_into(egraph, limit, flat);
  return group_matches(flat);
}

namespace {

// Runs `program` (whose root is `root`) over its candidate classes, with
// `ground` holding one entry per lookup term, to be filled here.
std::size_t search_with_ground(const Program& program, const ENodeOrVar& root_node, const EGraph& egraph,
                               std::size_t limit, std::span<std::optional<Id>> ground, std::vector<Id>& out) {
  if (!ground.empty()) {
    program.resolve_ground(egraph, ground);
    for (std::size_t i = 0; i < ground.size(); ++i)
      if (program.terms[i].ground && !ground[i]) return 0;  // a missing ground sub-term matches nowhere
  }
  const auto* root = std::get_if<MathLang>(&root_node);
  if (root != nullptr) return program.run_each(egraph, egraph.classes_with(root->kind()), limit, ground, out);
  return program.run_every_class(egraph, limit, ground, out);
}

// `search_with_ground` for a searcher of more lookup terms than are held inline.
[[gnu::noinline]] std::size_t search_with_heap_ground(const Program& program, const ENodeOrVar& root,
                                                      const EGraph& egraph, std::size_t limit, std::vector<Id>& out) {
  std::vector<std::optional<Id>> ground(program.terms.size());
  return search_with_ground(program, root, egraph, limit, ground, out);
}

}  // namespace

std::size_t Pattern::search_into(const EGraph& egraph, std::size_t limit, std::vector<Id>& out) const {
  egraph.check_clean();
  if (limit == 0) return 0;
  // Every e-node of the pattern needs a node of its variant somewhere in the
  // graph (a lookup finds only nodes that classes hold): when one variant is
  // missing nothing matches, and no lookups are needed.
  if (!may_match(egraph)) return 0;
  // Rule searchers have a few lookup terms: keep their results off the heap.
  constexpr std::size_t kInlineGround = 8;
  const std::size_t n_terms = program_.terms.size();
  if (n_terms > kInlineGround) return search_with_heap_ground(program_, ast_.back(), egraph, limit, out);
  std::array<std::optional<Id>, kInlineGround> ground;
  return search_with_ground(program_, ast_.back(), egraph, limit, std::span(ground.data(), n_terms), out);
}

std::vector<SearchMatches> Pattern::group_matches(std::span<const Id> flat) const {
  std::vector<SearchMatches> matches;
  const std::size_t width = match_width();
  for (std::size_t at = 0; at + width <= flat.size(); at += width) {
    if (matches.empty() || matches.back().eclass != flat[at]) matches.push_back(SearchMatches{flat[at], {}, &ast_});
    Subst subst;
    for (std::size_t j = 0; j < program_.vars.size(); ++j) subst.push_unbound(program_.vars[j], flat[at + 1 + j]);
    matches.back().substs.push_back(std::move(subst));
  }
  return matches;
}

Id Pattern::instantiate(EGraph& egraph, const Subst& subst) const {
  egraph.logger().log(LogLevel::Trace, [&] { return "apply_rec " + to_string() + " " + subst.to_string(); });
  std::vector<Id> var_classes;
  var_classes.reserve(program_.vars.size());
  for (Var v : program_.vars) var_classes.push_back(subst[v]);
  return instantiate_vars(egraph, var_classes);
}

Id Pattern::instantiate_vars(EGraph& egraph, std::span<const Id> var_classes) const {
  if (var_classes.size() != program_.vars.size())
    throw InternalError("instantiate needs one class per pattern variable");
  const Logger& log = egraph.logger();
  // Rule appliers are a few nodes long: keep the slots off the heap.
  const std::size_t slots = var_classes.size() + build_nodes_.size();
  std::array<Id, 16> small;
  std::vector<Id> big;
  Id* ids = small.data();
  if (slots > small.size()) {
    big.resize(slots);
    ids = big.data();
  }
  std::copy(var_classes.begin(), var_classes.end(), ids);
  Id* next = ids + var_classes.size();
  for (const MathLang& enode : build_nodes_) {
    MathLang node = enode.map_children([&](Id c) { return ids[c.value]; });
    log.log(LogLevel::Trace, [&] { return "adding: " + node.to_string(); });
    *next++ = egraph.add(node);
  }
  return ids[root_slot_];
}

std::vector<Id> Pattern::apply_matches(EGraph& egraph, std::span<const SearchMatches> matches) const {
  std::vector<Id> changed;
  for (const SearchMatches& m : matches) {
    for (const Subst& subst : m.substs) {
      Id root = instantiate(egraph, subst);
      if (egraph.union_classes(root, m.eclass)) changed.push_back(root);
    }
  }
  return changed;
}

std::string Pattern::to_string() const {
  std::string out;
  if (!ast_.empty()) render(ast_, ast_.size() - 1, out);
  return out;
}

}  // namespace morvalen::egraph

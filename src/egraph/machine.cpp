#include "egraph/machine.h"

#include <algorithm>
#include <string>

#include "support/internal_error.h"

namespace morvalen::egraph {

void Subst::push_unbound(Var var, Id id) {
  if (size_ < kInline)
    inline_[size_] = {var, id};
  else
    more_.emplace_back(var, id);
  ++size_;
}

void Subst::insert(Var var, Id id) {
  for (std::size_t i = 0; i < size_; ++i) {
    if (var_at(i) == var) {
      if (i < kInline)
        inline_[i].second = id;
      else
        more_[i - kInline].second = id;
      return;
    }
  }
  if (size_ < kInline)
    inline_[size_] = {var, id};
  else
    more_.emplace_back(var, id);
  ++size_;
}

std::optional<Id> Subst::get(Var var) const {
  for (std::size_t i = 0; i < size_; ++i)
    if (var_at(i) == var) return id_at(i);
  return std::nullopt;
}

Id Subst::operator[](Var var) const {
  if (auto id = get(var)) return *id;
  throw InternalError("var '" + std::string(var.text()) + "' not found in " + to_string());
}

std::string Subst::to_string() const {
  std::string out = "{";
  for (std::size_t i = 0; i < size_; ++i) {
    if (i) out += ", ";
    out += var_at(i).text();
    out += ": ";
    out += std::to_string(id_at(i).value);
  }
  return out + "}";
}

bool operator==(const Subst& a, const Subst& b) {
  if (a.size_ != b.size_) return false;
  for (std::size_t i = 0; i < a.size_; ++i)
    if (!(a.var_at(i) == b.var_at(i)) || a.id_at(i) != b.id_at(i)) return false;
  return true;
}

namespace {

// Compiles a pattern tree into machine instructions, visiting it depth first
// with children left to right, which is the order in which e-node choices are
// enumerated when the program runs.
class Compiler {
 public:
  explicit Compiler(const PatternAst& ast) : ast_(ast) {
    // Variables in order of first appearance in the flat term.
    for (const ENodeOrVar& n : ast_)
      if (const Var* v = std::get_if<Var>(&n))
        if (std::find(program_.vars.begin(), program_.vars.end(), *v) == program_.vars.end())
          program_.vars.push_back(*v);
    program_.var_regs.assign(program_.vars.size(), LookupTerm::kNoReg);
  }

  Program finish() {
    if (ast_.empty()) throw InternalError("cannot compile an empty pattern");
    visit(ast_.size() - 1, 0);
    program_.instructions.push_back(Instruction{Instruction::Op::Yield});
    return std::move(program_);
  }

 private:
  std::size_t var_index(Var v) const {
    return static_cast<std::size_t>(std::find(program_.vars.begin(), program_.vars.end(), v) - program_.vars.begin());
  }

  bool all_bound(std::size_t node) const {
    if (const Var* v = std::get_if<Var>(&ast_[node])) return program_.var_regs[var_index(*v)] != LookupTerm::kNoReg;
    for (Id c : std::get<MathLang>(ast_[node]).children()) {
      if (c.value >= node) throw InternalError("pattern child does not precede its parent");
      if (!all_bound(c.value)) return false;
    }
    return true;
  }

  bool has_var(std::size_t node) const {
    if (std::holds_alternative<Var>(ast_[node])) return true;
    for (Id c : std::get<MathLang>(ast_[node]).children())
      if (has_var(c.value)) return true;
    return false;
  }

  // Copies the sub-term at `node` into `term`, returning its local index.
  std::uint32_t copy_term(std::size_t node, LookupTerm& term) const {
    LookupTerm::Node out{MathLang::make_bool(false), LookupTerm::kNoReg};
    if (const Var* v = std::get_if<Var>(&ast_[node])) {
      out.var_reg = program_.var_regs[var_index(*v)];
    } else {
      out.node = std::get<MathLang>(ast_[node]).map_children([&](Id c) { return Id{copy_term(c.value, term)}; });
    }
    term.nodes.push_back(out);
    return static_cast<std::uint32_t>(term.nodes.size() - 1);
  }

  void visit(std::size_t node, std::uint32_t reg) {
    if (const Var* v = std::get_if<Var>(&ast_[node])) {
      std::uint32_t& bound = program_.var_regs[var_index(*v)];
      if (bound == LookupTerm::kNoReg)
        bound = reg;
      else
        program_.instructions.push_back(Instruction{Instruction::Op::Compare, reg, bound});
      return;
    }
    if (all_bound(node)) {
      LookupTerm term;
      term.ground = !has_var(node);
      copy_term(node, term);
      program_.terms.push_back(std::move(term));
      program_.instructions.push_back(
          Instruction{Instruction::Op::Lookup, reg, static_cast<std::uint32_t>(program_.terms.size() - 1)});
      return;
    }
    const MathLang& enode = std::get<MathLang>(ast_[node]);
    std::uint32_t out = program_.num_regs;
    program_.num_regs += static_cast<std::uint32_t>(enode.children().size());
    program_.instructions.push_back(Instruction{Instruction::Op::Bind, reg, out, enode});
    std::uint32_t k = 0;
    for (Id c : enode.children()) visit(c.value, out + k++);
  }

  const PatternAst& ast_;
  Program program_;
};

std::optional<Id> lookup_term(const EGraph& egraph, const LookupTerm& term, const Id* regs) {
  // Most ground terms are a single constant: no scratch ids needed.
  if (term.nodes.size() == 1) {
    const LookupTerm::Node& only = term.nodes.front();
    if (only.var_reg != LookupTerm::kNoReg) return regs[only.var_reg];
    return egraph.lookup(only.node);
  }
  // Lookup terms are a few nodes long: keep the ids off the heap.
  std::array<Id, 16> small{};
  std::vector<Id> big;
  Id* ids = small.data();
  if (term.nodes.size() > small.size()) {
    big.resize(term.nodes.size());
    ids = big.data();
  }
  std::size_t k = 0;
  for (const LookupTerm::Node& n : term.nodes) {
    if (n.var_reg != LookupTerm::kNoReg) {
      ids[k++] = regs[n.var_reg];
      continue;
    }
    auto found = egraph.lookup(n.node.map_children([&](Id c) { return ids[c.value]; }));
    if (!found) return std::nullopt;
    ids[k++] = *found;
  }
  return ids[k - 1];
}

// Below this many e-nodes a class is scanned in full; from it on the first
// e-node of the wanted variant is found by binary search.
constexpr std::size_t kBinarySearchMin = 50;

class Machine {
 public:
  Machine(const Program& program, const EGraph& egraph, std::size_t limit, std::span<const std::optional<Id>> ground,
          std::vector<Id>& out)
      : program_(program), egraph_(egraph), limit_(limit), ground_(ground), out_(out) {
    // Rule patterns need a handful of registers: keep them off the heap.
    if (program.num_regs > small_.size()) {
      big_.resize(program.num_regs);
      regs_ = big_.data();
    }
  }

  /// Appends the matches in `eclass` to those found so far; false once the
  /// limit is reached.
  bool run(Id eclass) {
    if (found_ >= limit_) return false;
    regs_[0] = egraph_.find(eclass);
    return !exec(program_.instructions.data());
  }
  std::size_t found() const { return found_; }

 private:
  // Runs the program from `ip` on; returns true once the limit is reached,
  // which ends the enumeration. Only `Bind` branches, so it alone recurses.
  bool exec(const Instruction* ip) {
    for (;; ++ip) {
      switch (ip->op) {
        case Instruction::Op::Bind:
          return bind(ip);
        case Instruction::Op::Compare:
          if (egraph_.find(regs_[ip->reg]) != egraph_.find(regs_[ip->arg])) return false;
          continue;
        case Instruction::Op::Lookup:
          if (!lookup(*ip)) return false;
          continue;
        case Instruction::Op::Yield:
          return yield();
      }
      return false;
    }
  }

  bool bind(const Instruction* ip) {
    const std::vector<MathLang>& nodes = egraph_.eclass(regs_[ip->reg]).nodes;
    const MathLang* it = nodes.data();
    const MathLang* const end = it + nodes.size();
    const MathKind kind = ip->node.kind();
    if (nodes.size() >= kBinarySearchMin)
      it = std::lower_bound(it, end, kind, [](const MathLang& n, MathKind k) { return n.kind() < k; });
    // Operators match on the variant alone; only leaves carry a payload.
    const std::size_t arity = opt::kind_arity(kind);
    const bool leaf = arity == 0;
    Id* const children_out = regs_ + ip->arg;
    // A bind right before the end records its matches itself, sparing a call.
    const Instruction* const next = ip + 1;
    const bool yields_next = next->op == Instruction::Op::Yield;
    for (; it != end; ++it) {
      if (it->kind() != kind) {
        if (it->kind() > kind) break;  // sorted: no later node has the variant
        continue;
      }
      if (leaf && !it->matches_op(ip->node)) continue;
      // At most three children, copied without a loop.
      const Id* children = it->children().data();
      switch (arity) {
        case 3:
          children_out[2] = children[2];
          [[fallthrough]];
        case 2:
          children_out[1] = children[1];
          [[fallthrough]];
        case 1:
          children_out[0] = children[0];
          break;
        default:
          break;
      }
      if (yields_next ? yield() : exec(next)) return true;
    }
    return false;
  }

  bool lookup(const Instruction& instr) const {
    const LookupTerm& term = program_.terms[instr.arg];
    std::optional<Id> found = term.ground ? ground_[instr.arg] : lookup_term(egraph_, term, regs_);
    return found && *found == egraph_.find(regs_[instr.reg]);
  }

  bool yield() {
    out_.push_back(regs_[0]);
    for (std::uint32_t reg : program_.var_regs) out_.push_back(egraph_.find(regs_[reg]));
    ++found_;
    return found_ >= limit_;
  }

  const Program& program_;
  const EGraph& egraph_;
  std::size_t limit_;
  std::span<const std::optional<Id>> ground_;
  std::vector<Id>& out_;
  std::array<Id, 16> small_;
  std::vector<Id> big_;
  Id* regs_ = small_.data();
  std::size_t found_ = 0;
};

}  // namespace

Program Program::compile(const PatternAst& ast) { return Compiler(ast).finish(); }

void Program::resolve_ground(const EGraph& egraph, std::span<std::optional<Id>> out) const {
  if (out.size() != terms.size()) throw InternalError("resolve_ground needs one entry per lookup term");
  for (std::size_t i = 0; i < terms.size(); ++i)
    out[i] = terms[i].ground ? lookup_term(egraph, terms[i], nullptr) : std::nullopt;
}

std::size_t Program::run(const EGraph& egraph, Id eclass, std::size_t limit, std::span<const std::optional<Id>> ground,
                         std::vector<Id>& out) const {
  Machine machine(*this, egraph, limit, ground, out);
  machine.run(eclass);
  return machine.found();
}

std::size_t Program::run_each(const EGraph& egraph, std::span<const Id> classes, std::size_t limit,
                              std::span<const std::optional<Id>> ground, std::vector<Id>& out) const {
  Machine machine(*this, egraph, limit, ground, out);
  for (Id eclass : classes)
    if (!machine.run(eclass)) break;
  return machine.found();
}

std::size_t Program::run_every_class(const EGraph& egraph, std::size_t limit, std::span<const std::optional<Id>> ground,
                                     std::vector<Id>& out) const {
  Machine machine(*this, egraph, limit, ground, out);
  egraph.for_each_class([&](const EClass& c) { machine.run(c.id); });
  return machine.found();
}

}  // namespace morvalen::egraph

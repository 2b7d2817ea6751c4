#include "opt/optimize.h"

#include <iterator>
#include <utility>

#include "egraph/extract.h"
#include "egraph/runner.h"
#include "opt/const_fold.h"
#include "opt/restore.h"
#include "opt/rules/fusion.h"
#include "opt/rules/identity.h"
#include "opt/rules/simplify.h"
#include "opt/strip.h"

namespace morvalen::opt {
namespace {

void append(std::vector<egraph::Rewrite>& out, std::vector<egraph::Rewrite> rules) {
  out.insert(out.end(), std::make_move_iterator(rules.begin()), std::make_move_iterator(rules.end()));
}

std::vector<egraph::Rewrite> build_optimizer_rules(bool aggressive) {
  std::vector<egraph::Rewrite> rules = rules::simplify::rules();
  if (aggressive) append(rules, rules::simplify::aggressive_rules());
  append(rules, rules::identity::rules());
  append(rules, rules::fusion::rules());
  return rules;
}

// A workspace kept per thread so that the e-graph tables and the terms of one
// optimization are reused by the next instead of being allocated and freed
// each time. It is reset when the optimization ends, by return or by
// exception; a graph larger than this then gives its storage back, and so do
// terms of more nodes than the next limit. A run stopped by the node limit
// ends with a graph of several megabytes (7.5 MB for a sum of 300 terms), and
// allocating and freeing its tables again costs a tenth of the next such run:
// the limit keeps them.
constexpr std::size_t kMaxKeptWorkspaceBytes = std::size_t{1} << 24;
constexpr std::size_t kMaxKeptTermNodes = std::size_t{1} << 12;

struct Workspace {
  egraph::Runner runner;
  egraph::Extractor extractor;
  StripResult stripped;
  std::vector<Id> classes;  // the class of each node of `stripped.expr`
  RecExpr best;             // the extracted term
};

class WorkspaceLease {
 public:
  WorkspaceLease() : workspace_(workspace()) {}
  ~WorkspaceLease() {
    workspace_.runner.reset(kMaxKeptWorkspaceBytes);
    workspace_.extractor.clear(kMaxKeptWorkspaceBytes);
    if (workspace_.stripped.expr.capacity() > kMaxKeptTermNodes) {
      workspace_.stripped = StripResult{};
      workspace_.classes = std::vector<Id>{};
    }
    if (workspace_.best.capacity() > kMaxKeptTermNodes) workspace_.best = RecExpr{};
  }
  WorkspaceLease(const WorkspaceLease&) = delete;
  WorkspaceLease& operator=(const WorkspaceLease&) = delete;
  egraph::Runner& runner() { return workspace_.runner; }
  egraph::Extractor& extractor() { return workspace_.extractor; }
  StripResult& stripped() { return workspace_.stripped; }
  std::vector<Id>& classes() { return workspace_.classes; }
  RecExpr& best() { return workspace_.best; }

 private:
  static Workspace& workspace() {
    thread_local Workspace workspace;
    return workspace;
  }
  Workspace& workspace_;
};

}  // namespace

bool effective_aggressive(const OptConfig& config) { return config.aggressive_override.value_or(config.aggressive); }

const std::vector<egraph::Rewrite>& optimizer_rules(bool aggressive) {
  // The rules are immutable and reading their texts costs more than a short
  // optimization, so each list is built once, on first use. The initialisation
  // calls nothing that could wait for another thread.
  if (aggressive) {
    static const std::vector<egraph::Rewrite> with_aggressive = build_optimizer_rules(true);
    return with_aggressive;
  }
  static const std::vector<egraph::Rewrite> normal = build_optimizer_rules(false);
  return normal;
}

Result<OptimizeResult, OptError> optimize_with_info_and_config(const ir::TypedDag& dag, const OptConfig& config) {
  if (dag.outputs().size() != 1) return unexpected(OptError::single_output_only());
  const bool aggressive = effective_aggressive(config);

  FoldResult folded = const_fold(dag);

  WorkspaceLease lease;
  StripResult& stripped = lease.stripped();
  MORVALEN_TRY_VOID(strip_types_into(folded.dag, stripped));

  const std::vector<egraph::Rewrite>& rules = optimizer_rules(aggressive);

  // The output term need not be the last node of the stripped term (a later
  // parameter or an unused binding may follow it), so every node is added and
  // the output's own class becomes the root.
  egraph::Runner& runner = lease.runner();
  runner.with_iter_limit(kOptIterLimit).with_node_limit(kOptNodeLimit);
  // Rewriting a small term typically adds a few times its size in e-nodes;
  // room for that up front spares the tables their early regrowths.
  runner.egraph().reserve(4 * stripped.expr.size() + 16);
  std::vector<Id>& classes = lease.classes();
  runner.egraph().add_expr_nodes(stripped.expr, classes);
  runner.push_root(classes[stripped.output.value]);
  // Every stop, saturation or a limit, goes on to extraction with what the
  // e-graph holds by then.
  runner.run(rules);

  if (runner.roots().empty()) return unexpected(OptError::invalid_expr("runner produced no roots"));
  egraph::Extractor& extractor = lease.extractor();
  extractor.compute(runner.egraph());
  RecExpr& best = lease.best();
  extractor.find_best_into(runner.roots().front(), best);

  MORVALEN_TRY(restored, restore_types_with_info(best, stripped.types, folded.dag.params()));

  std::vector<diag::Diag> diags = std::move(folded.diags);
  diags.insert(diags.end(), std::make_move_iterator(restored.diags.begin()),
               std::make_move_iterator(restored.diags.end()));

  if (aggressive) {
    FoldResult refolded = const_fold(restored.dag);
    return OptimizeResult{std::move(refolded.dag), std::move(diags)};
  }
  return OptimizeResult{std::move(restored.dag), std::move(diags)};
}

}  // namespace morvalen::opt

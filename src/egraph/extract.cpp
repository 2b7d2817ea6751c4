#include "egraph/extract.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string>

#include "support/internal_error.h"

namespace morvalen::egraph {

Cost base_cost(MathKind kind) { return opt::kind_info(kind).cost; }

Cost math_cost(const MathLang& node, std::span<const Cost> child_costs) {
  constexpr Cost kMax = std::numeric_limits<Cost>::max();
  Cost total = base_cost(node.kind());
  for (Cost c : child_costs) total = c > kMax - total ? kMax : total + c;
  return total;
}

void Extractor::compute(const EGraph& egraph, CostFunction cost) {
  egraph_ = &egraph;
  cost_ = cost;
  best_.assign(egraph.number_of_ids(), std::nullopt);
  // Passes to a fixed point: a class gets a cost once all children of one of its
  // e-nodes have one, and an entry only ever gets strictly cheaper.
  bool changed = true;
  while (changed) {
    changed = false;
    egraph.for_each_class([&](const EClass& eclass) {
      if (eclass.nodes.empty())
        throw InternalError("Can't extract, eclass is empty: " + std::to_string(eclass.id.value));
      std::optional<Cost> best_cost;
      const MathLang* best_node = nullptr;
      std::array<Cost, 3> child_costs{};
      for (const MathLang& node : eclass.nodes) {
        bool complete = true;
        std::size_t k = 0;
        for (Id c : node.children()) {
          const auto& entry = best_[egraph.find(c).value];
          if (!entry) {
            complete = false;
            break;
          }
          child_costs[k++] = entry->first;
        }
        if (!complete) continue;
        Cost cost_here = cost_(node, std::span<const Cost>(child_costs.data(), k));
        if (!best_cost || cost_here < *best_cost) {
          best_cost = cost_here;
          best_node = &node;
        }
      }
      if (!best_cost) return;
      auto& entry = best_[eclass.id.value];
      if (!entry || *best_cost < entry->first) {
        entry = std::make_pair(*best_cost, *best_node);
        changed = true;
      }
    });
  }
  const Logger& log = egraph.logger();
  if (log.enabled(LogLevel::Warning)) {
    egraph.for_each_class([&](const EClass& eclass) {
      if (best_[eclass.id.value]) return;
      std::string text = "Failed to compute cost for eclass " + std::to_string(eclass.id.value) + ": [";
      for (std::size_t i = 0; i < eclass.nodes.size(); ++i) {
        if (i) text += ", ";
        text += eclass.nodes[i].to_string();
      }
      log.write(LogLevel::Warning, text + "]");
    });
  }
}

void Extractor::clear(std::size_t max_kept_bytes) {
  egraph_ = nullptr;
  std::size_t bytes = best_.capacity() * sizeof(best_[0]) + position_.capacity() * sizeof(std::uint32_t) +
                      expanded_.capacity() + stack_.capacity() * sizeof(Id) + dedup_.memory_bytes();
  if (bytes > max_kept_bytes) {
    best_ = {};
    position_ = {};
    expanded_ = {};
    stack_ = {};
    dedup_ = NodeMemo();
  } else {
    best_.clear();
  }
}

std::optional<std::pair<Cost, MathLang>> Extractor::best(Id eclass) const {
  if (egraph_ == nullptr) throw InternalError("extractor queried before computing");
  Id root = egraph_->find(eclass);
  if (root.value >= best_.size()) return std::nullopt;  // created after the extractor
  return best_[root.value];
}

BestTerm Extractor::find_best(Id eclass) const {
  BestTerm out;
  // Small terms are laid out without regrowing.
  out.expr.reserve(std::min<std::size_t>(best_.size(), 64));
  out.cost = find_best_into(eclass, out.expr);
  return out;
}

Cost Extractor::find_best_into(Id eclass, RecExpr& expr) const {
  if (egraph_ == nullptr) throw InternalError("extractor queried before computing");
  const EGraph& graph = *egraph_;
  Id root = graph.find(eclass);
  if (root.value >= best_.size()) throw InternalError("no extracted cost for eclass " + std::to_string(root.value));
  const auto& root_entry = best_[root.value];
  if (!root_entry) throw InternalError("no extracted cost for eclass " + std::to_string(root.value));

  constexpr std::uint32_t kUnplaced = 0xFFFFFFFFu;
  // Per class: its output position once placed; whether its children have been
  // pushed (seeing such a class on top again before it is placed means a cycle).
  std::vector<std::uint32_t>& position = position_;
  std::vector<std::uint8_t>& expanded = expanded_;
  position.assign(best_.size(), kUnplaced);
  expanded.assign(best_.size(), 0);
  NodeMemo& dedup = dedup_;
  dedup.clear();
  std::vector<Id>& stack = stack_;
  stack.clear();
  expr.clear();

  auto entry_of = [&](Id c) -> const MathLang& {
    const auto& e = best_[c.value];
    if (!e) throw InternalError("no extracted cost for eclass " + std::to_string(c.value));
    return e->second;
  };
  auto with_positions = [&](const MathLang& node) {
    return node.map_children([&](Id c) { return Id{position[graph.find(c).value]}; });
  };

  for (Id c : root_entry->second.children()) stack.push_back(graph.find(c));
  while (!stack.empty()) {
    Id t = stack.back();
    if (position[t.value] != kUnplaced) {
      stack.pop_back();
      continue;
    }
    const MathLang& node = entry_of(t);
    bool pushed = false;
    if (!expanded[t.value]) {
      expanded[t.value] = 1;
      for (Id c : node.children()) {
        Id cc = graph.find(c);
        if (position[cc.value] == kUnplaced) {
          stack.push_back(cc);
          pushed = true;
        }
      }
    } else {
      for (Id c : node.children())
        if (position[graph.find(c).value] == kUnplaced)
          throw InternalError("cycle while extracting eclass " + std::to_string(t.value));
    }
    if (pushed) continue;
    stack.pop_back();
    MathLang placed = with_positions(node);
    auto [id, fresh] = dedup.find_or_insert(placed, Id{static_cast<std::uint32_t>(expr.size())});
    if (fresh) expr.add(placed);
    position[t.value] = id.value;
  }
  for (Id c : root_entry->second.children())
    if (position[graph.find(c).value] == kUnplaced)
      throw InternalError("cycle while extracting eclass " + std::to_string(root.value));
  expr.add(with_positions(root_entry->second));
  return root_entry->first;
}

}  // namespace morvalen::egraph

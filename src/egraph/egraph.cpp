#include "egraph/egraph.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

#include "support/internal_error.h"

namespace morvalen::egraph {

Id UnionFind::make_set() {
  Id id{static_cast<std::uint32_t>(parents_.size())};
  parents_.push_back(id);
  return id;
}

Id UnionFind::find_mut(Id id) {
  while (parents_[id.value] != id) {
    Id grandparent = parents_[parents_[id.value].value];
    parents_[id.value] = grandparent;
    id = grandparent;
  }
  return id;
}

Id UnionFind::union_roots(Id root1, Id root2) {
  parents_[root2.value] = root1;
  return root1;
}

std::optional<Id> NodeMemo::find(const MathLang& node) const {
  if (slots_.empty()) return std::nullopt;
  std::size_t mask = slots_.size() - 1;
  for (std::size_t i = node.hash() & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.empty()) return std::nullopt;
    if (slot.node == node) return slot.id();
  }
}

std::optional<Id> NodeMemo::insert(const MathLang& node, Id id) {
  // Keep the load at or below one half so that probe runs stay short.
  if ((size_ + 1) * 2 > slots_.size()) grow();
  std::size_t mask = slots_.size() - 1;
  for (std::size_t i = node.hash() & mask;; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.empty()) {
      slot.node = node;
      slot.id_plus_one = id.value + 1;
      ++size_;
      note_filled(i);
      return std::nullopt;
    }
    if (slot.node == node) {
      Id old = slot.id();
      slot.id_plus_one = id.value + 1;
      return old;
    }
  }
}

std::pair<Id, bool> NodeMemo::find_or_insert(const MathLang& node, Id id) {
  if ((size_ + 1) * 2 > slots_.size()) grow();
  std::size_t mask = slots_.size() - 1;
  for (std::size_t i = node.hash() & mask;; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.empty()) {
      slot.node = node;
      slot.id_plus_one = id.value + 1;
      ++size_;
      note_filled(i);
      return {id, true};
    }
    if (slot.node == node) return {slot.id(), false};
  }
}

void NodeMemo::reserve(std::size_t n) {
  if (size_ != 0) return;
  std::size_t slots = 64;
  while (slots < 2 * n) slots *= 2;
  if (slots > slots_.size()) slots_.assign(slots, Slot{});
}

// All-zero bytes make an empty slot (a slot's node is only read when it is full).
static_assert(std::is_trivially_copyable_v<MathLang>);

void NodeMemo::clear() {
  // Refilling a small table costs less than allocating it again.
  constexpr std::size_t kMaxKeptSlots = 4096;
  if (slots_.size() > kMaxKeptSlots) {
    slots_ = {};
    filled_ = {};
  } else if (size_ <= kTrackedEntries) {
    for (std::uint32_t i : filled_) std::memset(static_cast<void*>(&slots_[i]), 0, sizeof(Slot));
  } else {
    std::memset(static_cast<void*>(slots_.data()), 0, slots_.size() * sizeof(Slot));
  }
  filled_.clear();
  size_ = 0;
}

void NodeMemo::grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
  std::size_t mask = slots_.size() - 1;
  filled_.clear();
  for (const Slot& s : old) {
    if (s.empty()) continue;
    std::size_t i = s.node.hash() & mask;
    while (!slots_[i].empty()) i = (i + 1) & mask;
    slots_[i] = s;
    note_filled(i);
  }
}

void EGraph::invalid_id(Id id) { throw InternalError("Invalid id " + std::to_string(id.value)); }

EClass& EGraph::eclass_mut(Id root) {
  if (!live_[root.value]) throw InternalError("Invalid id " + std::to_string(root.value));
  return classes_[root.value];
}

Id EGraph::add_uncanonical(const MathLang& original) {
  // Each child is checked and canonicalized in one pass.
  MathLang node = original;
  for (Id& c : node.children()) {
    if (c.value >= nodes_.size()) throw InternalError("Invalid id " + std::to_string(c.value));
    c = unionfind_.find(c);
  }
  // The id a new class would get; one probe both finds and reserves the entry.
  Id fresh{static_cast<std::uint32_t>(nodes_.size())};
  auto [stored, inserted] = memo_.find_or_insert(node, fresh);
  if (!inserted) return stored;

  Id id = unionfind_.make_set();
  if (id != fresh) throw InternalError("memo collision on a fresh e-node " + node.to_string());
  logger_.log(LogLevel::Trace, [&] { return "  ...adding to " + std::to_string(id.value); });
  nodes_.push_back(original);
  for (Id c : node.children()) {
    // Most classes end up with a few parents: one allocation instead of three.
    std::vector<Id>& parents = eclass_mut(c).parents;
    if (parents.capacity() == 0) parents.reserve(4);
    parents.push_back(id);
  }
  if (id.value < classes_.size()) {
    // A class kept from an earlier use of the graph: reuse its lists' storage.
    EClass& reused = classes_[id.value];
    reused.id = id;
    reused.nodes.assign(1, node);
    reused.parents.clear();
  } else {
    classes_.push_back(EClass{id, {node}, {}});
  }
  live_.push_back(1);
  ++class_count_;
  // The new node is canonical and in the memo, so `rebuild` need not revisit
  // it: should one of its children's classes be merged away later, the node is
  // queued as a parent of that class.
  clean_ = false;
  return id;
}

void EGraph::reserve(std::size_t n) {
  unionfind_.reserve(n);
  memo_.reserve(n);
  pending_.reserve(n);
  nodes_.reserve(n);
  classes_.reserve(n);
  live_.reserve(n);
}

void EGraph::clear(std::size_t max_kept_bytes) {
  if (memory_bytes() > max_kept_bytes) {
    *this = EGraph();
    return;
  }
  unionfind_.clear();
  memo_.clear();
  pending_.clear();
  nodes_.clear();
  live_.clear();
  class_count_ = 0;
  clear_kind_lists();
  clean_ = true;
  logger_ = Logger();
}

Id EGraph::add_expr(const RecExpr& expr) {
  if (expr.empty()) throw InternalError("add_expr of an empty expression");
  std::vector<Id> ids;
  ids.reserve(expr.size());
  for (const MathLang& node : expr.nodes())
    ids.push_back(add_uncanonical(node.map_children([&](Id c) { return ids[c.value]; })));
  return find(ids.back());
}

std::vector<Id> EGraph::add_expr_nodes(const RecExpr& expr) {
  std::vector<Id> ids;
  add_expr_nodes(expr, ids);
  return ids;
}

void EGraph::add_expr_nodes(const RecExpr& expr, std::vector<Id>& ids) {
  ids.clear();
  ids.reserve(expr.size());
  for (const MathLang& node : expr.nodes())
    ids.push_back(add_uncanonical(node.map_children([&](Id c) { return ids[c.value]; })));
  for (Id& id : ids) id = find(id);
}

std::optional<Id> EGraph::lookup(const MathLang& node) const {
  for (Id c : node.children())
    if (c.value >= nodes_.size()) return std::nullopt;
  std::optional<Id> found = memo_.find(canonicalize(node));
  if (!found) return std::nullopt;
  return find(*found);
}

std::optional<Id> EGraph::lookup_expr(const RecExpr& expr) const {
  if (expr.empty()) return std::nullopt;
  std::vector<Id> ids;
  ids.reserve(expr.size());
  for (const MathLang& node : expr.nodes()) {
    auto found = lookup(node.map_children([&](Id c) { return ids[c.value]; }));
    if (!found) return std::nullopt;
    ids.push_back(*found);
  }
  return ids.back();
}

bool EGraph::union_classes(Id a, Id b) {
  clean_ = false;
  if (a.value >= nodes_.size()) throw InternalError("Invalid id " + std::to_string(a.value));
  if (b.value >= nodes_.size()) throw InternalError("Invalid id " + std::to_string(b.value));
  Id r1 = unionfind_.find_mut(a);
  Id r2 = unionfind_.find_mut(b);
  if (r1 == r2) return false;
  if (eclass_mut(r1).parents.size() < eclass_mut(r2).parents.size()) std::swap(r1, r2);
  unionfind_.union_roots(r1, r2);
  // The dead entry keeps whatever storage the concatenation leaves it for a
  // later reuse of the graph.
  EClass& dead = classes_[r2.value];
  live_[r2.value] = 0;
  --class_count_;
  pending_.insert(pending_.end(), dead.parents.begin(), dead.parents.end());

  EClass& keep = eclass_mut(r1);
  // The longer sequence keeps its order and the shorter one is appended to it.
  auto concat = [](auto& into, auto& from) {
    if (into.size() < from.size()) std::swap(into, from);
    into.insert(into.end(), from.begin(), from.end());
  };
  concat(keep.nodes, dead.nodes);
  concat(keep.parents, dead.parents);
  return true;
}

std::size_t EGraph::rebuild() {
  bool log_info = logger_.enabled(LogLevel::Info);
  std::size_t old_memo = memo_.size();
  std::size_t old_classes = class_count_;
  auto start = log_info ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};

  std::size_t merges = 0;
  while (!pending_.empty()) {
    Id p = pending_.back();
    pending_.pop_back();
    MathLang node = nodes_[p.value].map_children([this](Id c) { return unionfind_.find_mut(c); });
    if (auto previous = memo_.insert(node, p)) {
      if (union_classes(*previous, p)) ++merges;
    }
  }

  std::size_t trimmed = 0;
  clear_kind_lists();
  for (std::size_t k = 0; k < live_.size(); ++k) {
    if (!live_[k]) continue;
    EClass* slot = &classes_[k];
    std::vector<MathLang>& nodes = slot->nodes;
    for (MathLang& n : nodes)
      for (Id& c : n.children()) c = unionfind_.find_mut(c);
    if (nodes.size() > 1) {  // most classes hold a single node, already in order
      std::sort(nodes.begin(), nodes.end(), [](const MathLang& x, const MathLang& y) { return x < y; });
      auto end = std::unique(nodes.begin(), nodes.end());
      trimmed += static_cast<std::size_t>(nodes.end() - end);
      nodes.erase(end, nodes.end());
    }
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (i == 0 || nodes[i].kind() != nodes[i - 1].kind()) {
        auto kind = static_cast<std::size_t>(nodes[i].kind());
        by_kind_[kind].push_back(slot->id);
        kinds_present_ |= std::uint64_t{1} << kind;
      }
    }
  }
  clean_ = true;

  if (log_info) {
    auto elapsed = std::chrono::steady_clock::now() - start;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    char millis[8];
    std::snprintf(millis, sizeof millis, "%03d", static_cast<int>(ms % 1000));
    logger_.write(LogLevel::Info,
                  "REBUILT! in " + std::to_string(ms / 1000) + "." + millis + "s\n" + "  Old: hc size " +
                      std::to_string(old_memo) + ", eclasses: " + std::to_string(old_classes) + "\n" +
                      "  New: hc size " + std::to_string(memo_.size()) + ", eclasses: " + std::to_string(class_count_) +
                      "\n" + "  unions: " + std::to_string(merges) + ", trimmed nodes: " + std::to_string(trimmed));
  }
  return merges;
}

void EGraph::clear_kind_lists() {
  // Only the lists of the variants present hold anything.
  for (std::uint64_t bits = kinds_present_; bits != 0; bits &= bits - 1)
    by_kind_[static_cast<std::size_t>(std::countr_zero(bits))].clear();
  kinds_present_ = 0;
}

std::vector<Id> EGraph::class_ids() const {
  std::vector<Id> ids;
  ids.reserve(class_count_);
  for_each_class([&](const EClass& c) { ids.push_back(c.id); });
  return ids;
}

void EGraph::dirty_search() { throw InternalError("Tried to search a dirty e-graph!"); }

std::size_t EGraph::memory_bytes() const {
  std::size_t bytes = memo_.memory_bytes() + unionfind_.parents().capacity() * sizeof(Id) +
                      pending_.capacity() * sizeof(Id) + nodes_.capacity() * sizeof(MathLang) +
                      classes_.capacity() * sizeof(EClass) + live_.capacity();
  // Kept entries past the live ones count too: they still hold their storage.
  for (const EClass& c : classes_) bytes += c.nodes.capacity() * sizeof(MathLang) + c.parents.capacity() * sizeof(Id);
  for (const auto& ids : by_kind_) bytes += ids.capacity() * sizeof(Id);
  return bytes;
}

}  // namespace morvalen::egraph

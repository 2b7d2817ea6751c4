#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "egraph/log.h"
#include "opt/lang.h"

namespace morvalen::egraph {

using opt::Id;
using opt::MathKind;
using opt::MathLang;
using opt::RecExpr;

/// Class identity over densely numbered ids.
class UnionFind {
 public:
  /// Appends a new singleton and returns its id.
  Id make_set();
  void reserve(std::size_t n) { parents_.reserve(n); }
  void clear() { parents_.clear(); }
  /// The root of `id`, without modifying anything.
  Id find(Id id) const {
    while (parents_[id.value] != id) id = parents_[id.value];
    return id;
  }
  /// The root of `id`, halving the path on the way (each visited entry points
  /// to its grandparent afterwards).
  Id find_mut(Id id);
  /// Makes `root2` point at `root1`; both must be roots. Returns `root1`.
  Id union_roots(Id root1, Id root2);
  std::size_t size() const { return parents_.size(); }
  const std::vector<Id>& parents() const { return parents_; }

 private:
  std::vector<Id> parents_;
};

/// One equivalence class.
struct EClass {
  Id id;
  /// After `rebuild`: children canonical, sorted, no duplicates.
  std::vector<MathLang> nodes;
  /// Ids of e-nodes that use this class as a child; may hold stale repeats.
  std::vector<Id> parents;

  std::size_t len() const { return nodes.size(); }
};

/// Hash-cons table from e-node to class id: open addressing with linear probing,
/// entries only added or overwritten, never removed.
class NodeMemo {
 public:
  std::size_t size() const { return size_; }
  std::optional<Id> find(const MathLang& node) const;
  /// Inserts or overwrites; returns the previous value if there was one.
  std::optional<Id> insert(const MathLang& node, Id id);
  /// The stored id of `node`, or inserts `id` for it (one probe sequence);
  /// the flag tells whether it was inserted.
  std::pair<Id, bool> find_or_insert(const MathLang& node, Id id);
  /// Bytes held by the table.
  std::size_t memory_bytes() const {
    return slots_.capacity() * sizeof(Slot) + filled_.capacity() * sizeof(std::uint32_t);
  }
  /// Sizes an empty table for `n` entries without growing.
  void reserve(std::size_t n);
  /// Empties the table; a small one keeps its slots, a large one gives them back.
  void clear();

 private:
  // A slot holds its id plus one, so that an empty slot is all zero bytes and
  // clearing the table is a plain fill.
  struct Slot {
    MathLang node = MathLang::make_bool(false);
    std::uint32_t id_plus_one = 0;
    bool empty() const { return id_plus_one == 0; }
    Id id() const { return Id{id_plus_one - 1}; }
  };
  void grow();
  // Notes the position of a slot just filled (see `filled_`).
  void note_filled(std::size_t i) {
    if (size_ <= kTrackedEntries) filled_.push_back(static_cast<std::uint32_t>(i));
  }
  std::vector<Slot> slots_;
  std::size_t size_ = 0;
  // While the table has at most this many entries, `filled_` lists the
  // positions of its full slots, so that clearing it touches only those.
  static constexpr std::size_t kTrackedEntries = 256;
  std::vector<std::uint32_t> filled_;
};

/// E-graph over `MathLang` e-nodes: hash-consing, union-find, deferred
/// congruence closure (`rebuild`). Classes are kept in a table indexed by id, so
/// iterating the live classes is in increasing id order.
class EGraph {
 public:
  EGraph() = default;

  /// Canonicalizes the children, returns the stored id if the e-node is already
  /// present (not re-canonicalized), else creates a new class for it.
  Id add_uncanonical(const MathLang& node);
  /// `find(add_uncanonical(node))`.
  Id add(const MathLang& node) { return find(add_uncanonical(node)); }
  /// Adds the nodes of `expr` in order (children replaced by the ids returned
  /// for them) and returns the canonical id of the last one.
  Id add_expr(const RecExpr& expr);
  /// Makes room for `n` e-nodes in the tables, so that a graph growing to that
  /// size allocates them once.
  void reserve(std::size_t n);
  /// Back to an empty graph with no log sink. The tables and the classes' node
  /// and parent lists keep their storage for the next use, unless the graph
  /// holds more than `max_kept_bytes`, in which case everything is released.
  void clear(std::size_t max_kept_bytes);
  /// Like `add_expr`, but returns the canonical id of every node of `expr`.
  std::vector<Id> add_expr_nodes(const RecExpr& expr);
  /// `add_expr_nodes` writing the ids to `ids` (emptied first), so that a
  /// caller can reuse its storage.
  void add_expr_nodes(const RecExpr& expr, std::vector<Id>& ids);

  /// The canonical class holding `node` (children canonicalized first), if any.
  std::optional<Id> lookup(const MathLang& node) const;
  /// Looks up the nodes of `expr` bottom-up; absent if any node is absent.
  std::optional<Id> lookup_expr(const RecExpr& expr) const;

  /// The canonical id; an id never created is the "Invalid id N" failure.
  Id find(Id id) const {
    if (id.value >= unionfind_.size()) invalid_id(id);
    return unionfind_.find(id);
  }
  Id find_mut(Id id) {
    if (id.value >= unionfind_.size()) invalid_id(id);
    return unionfind_.find_mut(id);
  }
  /// `node` with every child replaced by its canonical id.
  MathLang canonicalize(const MathLang& node) const {
    return node.map_children([this](Id c) { return find(c); });
  }

  /// Merges the classes of `a` and `b`; false when they were already one. The
  /// class with more parent entries stays canonical, the first argument's on a tie.
  bool union_classes(Id a, Id b);

  /// Restores the invariants after unions; returns the number of merges done.
  std::size_t rebuild();

  /// The class of `find(id)`; "Invalid id N" internal failure if it has none.
  const EClass& eclass(Id id) const {
    if (id.value >= live_.size()) invalid_id(id);
    Id root = unionfind_.find(id);
    if (!live_[root.value]) invalid_id(id);
    return classes_[root.value];
  }
  /// The e-node as first added for `id`.
  const MathLang& id_to_node(Id id) const { return nodes_[id.value]; }

  /// Number of memo entries (stale ones included); only ever grows.
  std::size_t total_size() const { return memo_.size(); }
  /// Number of live classes.
  std::size_t number_of_classes() const { return class_count_; }
  /// Number of ids ever created.
  std::size_t number_of_ids() const { return nodes_.size(); }
  bool is_clean() const { return clean_; }

  /// Calls `f(const EClass&)` for every live class in increasing id order.
  template <typename F>
  void for_each_class(F&& f) const {
    for (std::size_t i = 0; i < live_.size(); ++i)
      if (live_[i]) f(classes_[i]);
  }
  /// The live class ids in increasing order.
  std::vector<Id> class_ids() const;
  /// Classes (increasing id) containing an e-node of `kind`, as of the last
  /// `rebuild`.
  const std::vector<Id>& classes_with(MathKind kind) const { return by_kind_[static_cast<std::size_t>(kind)]; }
  /// Bit k set when some class holds an e-node of the k-th variant, as of the
  /// last `rebuild`.
  std::uint64_t kinds_present() const { return kinds_present_; }

  /// Internal failure "Tried to search a dirty e-graph!" unless clean.
  void check_clean() const {
    if (!clean_) dirty_search();
  }

  /// Approximate bytes held by the e-graph's tables.
  std::size_t memory_bytes() const;

  Logger& logger() { return logger_; }
  const Logger& logger() const { return logger_; }

 private:
  EClass& eclass_mut(Id root);
  // Empties `by_kind_` and `kinds_present_`.
  void clear_kind_lists();
  [[noreturn]] static void invalid_id(Id id);
  [[noreturn]] static void dirty_search();

  UnionFind unionfind_;
  NodeMemo memo_;
  std::vector<Id> pending_;
  std::vector<MathLang> nodes_;
  // Indexed by id. Only the first `live_.size()` entries belong to the graph,
  // and of those the ones flagged in `live_`; the others are kept from earlier
  // uses (see `clear`) so that their lists need not be allocated again.
  std::vector<EClass> classes_;
  std::vector<std::uint8_t> live_;
  std::size_t class_count_ = 0;
  std::array<std::vector<Id>, opt::kMathKindCount> by_kind_{};
  static_assert(opt::kMathKindCount <= 64, "one bit per variant in kinds_present_");
  std::uint64_t kinds_present_ = 0;
  bool clean_ = true;
  Logger logger_;
};

}  // namespace morvalen::egraph

#include "ir/merge.h"

#include <bit>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/internal_error.h"

namespace morvalen::ir {
namespace {

// A node with its operands already merged, reduced to a fixed-size value that
// hashes and compares without allocating. `payload` carries the operator,
// builtin, target dtype or parameter index; `bits` the constant's value.
struct NodeKey {
  std::uint8_t kind = 0;     // the `Node` alternative
  std::uint8_t variant = 0;  // the `Scalar` alternative of a constant
  std::size_t dtype = 0;     // std::hash of the node's dtype (exact for every DType)
  std::uint64_t payload = 0;
  std::uint64_t bits[2] = {0, 0};
  std::size_t operands[3] = {0, 0, 0};

  friend bool operator==(const NodeKey&, const NodeKey&) = default;
};

struct NodeKeyHash {
  std::size_t operator()(const NodeKey& k) const noexcept {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    auto mix = [&h](std::uint64_t v) { h = (h ^ v) * 0x100000001b3ULL + (h >> 29); };
    mix(k.kind);
    mix(k.variant);
    mix(k.dtype);
    mix(k.payload);
    mix(k.bits[0]);
    mix(k.bits[1]);
    for (std::size_t o : k.operands) mix(o);
    return static_cast<std::size_t>(h);
  }
};

void set_scalar(NodeKey& key, const Scalar& value) {
  key.variant = static_cast<std::uint8_t>(value.index());
  if (const bool* b = std::get_if<bool>(&value)) {
    key.bits[0] = *b ? 1 : 0;
  } else if (const auto* i = std::get_if<std::int64_t>(&value)) {
    key.bits[0] = static_cast<std::uint64_t>(*i);
  } else if (const auto* f = std::get_if<double>(&value)) {
    key.bits[0] = std::bit_cast<std::uint64_t>(*f);
  } else {
    const auto& c = std::get<ComplexValue>(value);
    key.bits[0] = std::bit_cast<std::uint64_t>(c.re);
    key.bits[1] = std::bit_cast<std::uint64_t>(c.im);
  }
}

class Merger {
 public:
  explicit Merger(const std::vector<ParamDecl>& params) : params_(params) {}

  void add(const TypedDag& dag) {
    if (dag.params() != params_) throw InternalError("merge_outputs: the DAGs declare different parameters");
    std::vector<NodeId> map;
    map.reserve(dag.size());
    for (std::size_t i = 0; i < dag.size(); ++i) {
      Node node = dag.nodes()[i];
      auto remap = [&](NodeId& id) {
        if (id.value >= i) {
          throw InternalError("merge_outputs: node " + std::to_string(i) + " uses node " + std::to_string(id.value) +
                              ", which does not precede it");
        }
        id = map[id.value];
      };
      NodeKey key;
      key.kind = static_cast<std::uint8_t>(node.index());
      key.dtype = std::hash<DType>{}(dag.dtypes()[i]);
      bool keyed = true;
      if (auto* p = std::get_if<Param>(&node)) {
        key.payload = p->index;
      } else if (auto* k = std::get_if<Const>(&node)) {
        set_scalar(key, k->value);
      } else if (auto* u = std::get_if<Unary>(&node)) {
        remap(u->arg);
        key.payload = static_cast<std::uint64_t>(u->op);
        key.operands[0] = u->arg.value;
      } else if (auto* b = std::get_if<Binary>(&node)) {
        remap(b->lhs);
        remap(b->rhs);
        key.payload = static_cast<std::uint64_t>(b->op);
        key.operands[0] = b->lhs.value;
        key.operands[1] = b->rhs.value;
      } else if (auto* f = std::get_if<If>(&node)) {
        remap(f->cond);
        remap(f->then_branch);
        remap(f->else_branch);
        key.operands[0] = f->cond.value;
        key.operands[1] = f->then_branch.value;
        key.operands[2] = f->else_branch.value;
      } else if (auto* c = std::get_if<Call>(&node)) {
        for (NodeId& arg : c->args) remap(arg);
        key.payload = static_cast<std::uint64_t>(c->builtin);
        // Every builtin takes one argument; a call with more is kept apart.
        keyed = c->args.size() == 1;
        if (keyed) key.operands[0] = c->args[0].value;
      } else {
        auto& cast = std::get<Cast>(node);
        remap(cast.arg);
        key.payload = std::hash<DType>{}(cast.dtype);
        key.operands[0] = cast.arg.value;
      }
      if (!keyed) {
        map.push_back(builder_.push(std::move(node), dag.dtypes()[i]));
        continue;
      }
      auto [it, inserted] = index_.try_emplace(key, NodeId{builder_.size()});
      if (inserted) builder_.push(std::move(node), dag.dtypes()[i]);
      map.push_back(it->second);
    }
    for (NodeId out : dag.outputs()) outputs_.push_back(map[out.value]);
  }

  TypedDag finish() && {
    return std::move(builder_).finish(params_, std::move(outputs_), "merge_outputs produced invalid TypedDag: ");
  }

 private:
  const std::vector<ParamDecl>& params_;
  DagBuilder builder_;
  std::unordered_map<NodeKey, NodeId, NodeKeyHash> index_;
  std::vector<NodeId> outputs_;
};

}  // namespace

TypedDag merge_outputs(std::span<const TypedDag> dags) {
  if (dags.empty()) throw InternalError("merge_outputs: no DAG to merge");
  Merger merger(dags.front().params());
  for (const TypedDag& dag : dags) merger.add(dag);
  return std::move(merger).finish();
}

}  // namespace morvalen::ir

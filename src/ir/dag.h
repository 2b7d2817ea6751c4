#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "ir/dtype.h"
#include "ir/node.h"
#include "support/result.h"

namespace morvalen::ir {

struct ParamDecl {
  std::string name;
  DType dtype;
  friend bool operator==(const ParamDecl&, const ParamDecl&) = default;
};

struct TypedDagError {
  struct LengthMismatch {};
  struct OutputOutOfRange {
    std::size_t id;
    std::size_t nodes_len;
  };
  std::variant<LengthMismatch, OutputOutOfRange> detail;

  /// "TypedDag.nodes and dtypes length mismatch", or
  /// "output node id 5 out of range (nodes len 3)".
  std::string to_string() const;
};

/// The typed expression DAG: an append-only node table ordered operands first,
/// the dtype of every node, the declared parameters and the output nodes.
class TypedDag {
 public:
  /// Checks that nodes and dtypes have the same length, then that every output
  /// is in range (reporting the first offending id). Nothing else is checked.
  static Result<TypedDag, TypedDagError> try_new(std::vector<Node> nodes, std::vector<DType> dtypes,
                                                 std::vector<ParamDecl> params, std::vector<NodeId> outputs);

  const std::vector<Node>& nodes() const { return nodes_; }
  const std::vector<DType>& dtypes() const { return dtypes_; }
  const std::vector<ParamDecl>& params() const { return params_; }
  const std::vector<NodeId>& outputs() const { return outputs_; }

  const Node& node(NodeId id) const { return nodes_[id.value]; }
  DType dtype(NodeId id) const { return dtypes_[id.value]; }
  std::size_t size() const { return nodes_.size(); }

  /// The four tables of a DAG, for a pass that rewrites a DAG it owns in
  /// place and hands the result back through `try_new`.
  struct Tables {
    std::vector<Node> nodes;
    std::vector<DType> dtypes;
    std::vector<ParamDecl> params;
    std::vector<NodeId> outputs;
  };

  /// `try_new` of the four tables.
  static Result<TypedDag, TypedDagError> try_new(Tables&& tables);

  /// Hands over the tables, leaving this DAG empty.
  Tables release() && { return Tables{std::move(nodes_), std::move(dtypes_), std::move(params_), std::move(outputs_)}; }

  TypedDag(const TypedDag&) = default;
  TypedDag(TypedDag&&) noexcept = default;
  TypedDag& operator=(const TypedDag&) = default;
  TypedDag& operator=(TypedDag&&) noexcept = default;
  /// Leaves the node and dtype tables to the next `DagBuilder` of the thread
  /// (see `DagBuilder::push`), and the lists to `spare_id_list` and
  /// `spare_param_list`.
  ~TypedDag() {
    if (nodes_.capacity() != 0) leave_tables();
  }

 private:
  explicit TypedDag(Tables&& tables)
      : nodes_(std::move(tables.nodes)),
        dtypes_(std::move(tables.dtypes)),
        params_(std::move(tables.params)),
        outputs_(std::move(tables.outputs)) {}

  void leave_tables();

  std::vector<Node> nodes_;
  std::vector<DType> dtypes_;
  std::vector<ParamDecl> params_;
  std::vector<NodeId> outputs_;
};

/// A list of node ids or of parameters for a new DAG: empty, with the storage
/// of one that a `TypedDag` of this thread left behind when there is one.
/// Short calls then allocate no lists.
std::vector<NodeId> spare_id_list();
std::vector<ParamDecl> spare_param_list();
/// Leaves `ids` (its storage) to a later `spare_id_list` of this thread.
void leave_id_list(std::vector<NodeId>&& ids);

/// Keeps a node table and a dtype table in step for producers of a `TypedDag`,
/// and keeps them ordered operands first.
class DagBuilder {
 public:
  /// Appends a node with its dtype and returns its position. An operand that
  /// is not an earlier node throws `InternalError` ("operand 5 of node 3 does
  /// not precede it"). Most tables are small and short-lived: a builder
  /// without storage starts from tables that a `TypedDag` of the same thread
  /// left behind, else from room for 16 nodes.
  NodeId push(Node node, DType dtype);

  /// Makes room for `nodes` nodes in all.
  void reserve(std::size_t nodes);

  const Node& node(NodeId id) const { return nodes_[id.value]; }
  DType dtype(NodeId id) const { return dtypes_[id.value]; }
  std::size_t size() const { return nodes_.size(); }
  const std::vector<Node>& nodes() const { return nodes_; }
  const std::vector<DType>& dtypes() const { return dtypes_; }

  /// Hands over the tables as a validated `TypedDag` (see `TypedDag::try_new`).
  Result<TypedDag, TypedDagError> try_finish(std::vector<ParamDecl> params, std::vector<NodeId> outputs) &&;

  /// Validates and hands over the tables; a failure is an internal invariant
  /// failure whose text is `context` followed by the validation error.
  TypedDag finish(std::vector<ParamDecl> params, std::vector<NodeId> outputs, const std::string& context) &&;

 private:
  static constexpr std::size_t kFirstCapacity = 16;
  std::vector<Node> nodes_;
  std::vector<DType> dtypes_;
};

}  // namespace morvalen::ir

#include "ir/dag.h"

#include "support/internal_error.h"
#include "support/overloaded.h"

namespace morvalen::ir {

std::string TypedDagError::to_string() const {
  return std::visit(support::Overloaded{
                        [](const LengthMismatch&) { return std::string("TypedDag.nodes and dtypes length mismatch"); },
                        [](const OutputOutOfRange& out) {
                          return "output node id " + std::to_string(out.id) + " out of range (nodes len " +
                                 std::to_string(out.nodes_len) + ")";
                        },
                    },
                    detail);
}

Result<TypedDag, TypedDagError> TypedDag::try_new(std::vector<Node> nodes, std::vector<DType> dtypes,
                                                  std::vector<ParamDecl> params, std::vector<NodeId> outputs) {
  if (nodes.size() != dtypes.size()) return unexpected(TypedDagError{TypedDagError::LengthMismatch{}});
  for (NodeId id : outputs) {
    if (id.value >= nodes.size()) {
      return unexpected(TypedDagError{TypedDagError::OutputOutOfRange{id.value, nodes.size()}});
    }
  }
  return TypedDag(std::move(nodes), std::move(dtypes), std::move(params), std::move(outputs));
}

NodeId DagBuilder::push(Node node, DType dtype) {
  const std::size_t position = nodes_.size();
  for_each_operand(node, [&](NodeId operand) {
    if (operand.value >= position) {
      throw InternalError("operand " + std::to_string(operand.value) + " of node " + std::to_string(position) +
                          " does not precede it");
    }
  });
  // Most tables are small: one allocation each instead of a doubling series.
  if (nodes_.capacity() == 0) reserve(kFirstCapacity);
  nodes_.push_back(std::move(node));
  dtypes_.push_back(dtype);
  return NodeId{position};
}

Result<TypedDag, TypedDagError> DagBuilder::try_finish(std::vector<ParamDecl> params, std::vector<NodeId> outputs) && {
  return TypedDag::try_new(std::move(nodes_), std::move(dtypes_), std::move(params), std::move(outputs));
}

TypedDag DagBuilder::finish(std::vector<ParamDecl> params, std::vector<NodeId> outputs, const std::string& context) && {
  auto dag = std::move(*this).try_finish(std::move(params), std::move(outputs));
  if (!dag) throw InternalError(context + dag.error().to_string());
  return std::move(*dag);
}

}  // namespace morvalen::ir

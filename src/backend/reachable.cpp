#include "backend/reachable.h"

#include <string>

#include "support/internal_error.h"

namespace morvalen::backend {

std::vector<bool> reachable_nodes(const ir::TypedDag& dag) {
  std::vector<bool> needed(dag.size(), false);
  std::vector<ir::NodeId> stack(dag.outputs().begin(), dag.outputs().end());
  while (!stack.empty()) {
    ir::NodeId id = stack.back();
    stack.pop_back();
    if (needed[id.value]) continue;
    needed[id.value] = true;
    for_each_operand(dag.node(id), [&](ir::NodeId operand) {
      if (operand.value >= id.value) {
        throw InternalError("operand " + std::to_string(operand.value) + " of node " + std::to_string(id.value) +
                            " does not precede it in TypedDag");
      }
      stack.push_back(operand);
    });
  }
  return needed;
}

}  // namespace morvalen::backend

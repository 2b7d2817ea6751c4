#include "ir/dag.h"

#include "support/internal_error.h"
#include "support/overloaded.h"

namespace morvalen::ir {

namespace {

// The node and dtype tables of a few dead DAGs of this thread, emptied, for
// the next builders: a call that lowers, folds and renders a short program
// then allocates no tables. Only small tables are kept, so that one large
// program does not pin its memory.
class SpareTables {
 public:
  static constexpr std::size_t kKept = 4;
  static constexpr std::size_t kMaxNodes = 256;
  static constexpr std::size_t kMaxListed = 64;

  bool take(std::vector<Node>& nodes, std::vector<DType>& dtypes) {
    if (count_ == 0) return false;
    --count_;
    nodes = std::move(nodes_[count_]);
    dtypes = std::move(dtypes_[count_]);
    return true;
  }

  void keep(std::vector<Node>& nodes, std::vector<DType>& dtypes) {
    if (count_ == kKept || nodes.capacity() == 0 || nodes.capacity() > kMaxNodes || dtypes.capacity() > kMaxNodes) {
      return;
    }
    nodes.clear();
    dtypes.clear();
    nodes_[count_] = std::move(nodes);
    dtypes_[count_] = std::move(dtypes);
    ++count_;
  }

  // A kept list of `T` from `lists`, holding `count` of them, or a new one.
  template <typename T>
  static std::vector<T> take_list(std::vector<T> (&lists)[kKept], std::size_t& count) {
    if (count == 0) return {};
    return std::move(lists[--count]);
  }

  template <typename T>
  static void keep_list(std::vector<T>& list, std::vector<T> (&lists)[kKept], std::size_t& count) {
    if (count == kKept || list.capacity() == 0 || list.capacity() > kMaxListed) return;
    list.clear();
    lists[count++] = std::move(list);
  }

  std::vector<NodeId> take_ids() { return take_list(ids_, id_count_); }
  std::vector<ParamDecl> take_params() { return take_list(params_, param_count_); }
  void keep_ids(std::vector<NodeId>& ids) { keep_list(ids, ids_, id_count_); }
  void keep_params(std::vector<ParamDecl>& params) { keep_list(params, params_, param_count_); }

 private:
  std::vector<Node> nodes_[kKept];
  std::vector<DType> dtypes_[kKept];
  std::size_t count_ = 0;
  std::vector<NodeId> ids_[kKept];
  std::size_t id_count_ = 0;
  std::vector<ParamDecl> params_[kKept];
  std::size_t param_count_ = 0;
};

// The thread's spare tables, reached through a plain thread-local pointer: a
// shared library reaches a thread-local with a call, and one that needs no
// construction check takes only that one. The tables are created on the
// thread's first use and destroyed with the thread; a DAG destroyed after
// that (by a later destructor at exit) finds none and frees its tables.
struct SpareState {
  SpareTables* tables = nullptr;
  bool gone = false;
};
thread_local SpareState t_spares;

struct SpareOwner {
  SpareTables tables;
  SpareOwner() { t_spares.tables = &tables; }
  ~SpareOwner() { t_spares = SpareState{nullptr, true}; }
};

SpareTables* spare_tables() {
  SpareState& state = t_spares;
  if (state.tables != nullptr || state.gone) return state.tables;
  thread_local SpareOwner owner;
  return state.tables;
}

}  // namespace

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
  return try_new(Tables{std::move(nodes), std::move(dtypes), std::move(params), std::move(outputs)});
}

Result<TypedDag, TypedDagError> TypedDag::try_new(Tables&& tables) {
  if (tables.nodes.size() != tables.dtypes.size()) return unexpected(TypedDagError{TypedDagError::LengthMismatch{}});
  for (NodeId id : tables.outputs) {
    if (id.value >= tables.nodes.size()) {
      return unexpected(TypedDagError{TypedDagError::OutputOutOfRange{id.value, tables.nodes.size()}});
    }
  }
  return TypedDag(std::move(tables));
}

void TypedDag::leave_tables() {
  if (SpareTables* spares = spare_tables()) {
    spares->keep(nodes_, dtypes_);
    spares->keep_ids(outputs_);
    spares->keep_params(params_);
  }
}

std::vector<NodeId> spare_id_list() {
  SpareTables* spares = spare_tables();
  return spares != nullptr ? spares->take_ids() : std::vector<NodeId>{};
}

std::vector<ParamDecl> spare_param_list() {
  SpareTables* spares = spare_tables();
  return spares != nullptr ? spares->take_params() : std::vector<ParamDecl>{};
}

void leave_id_list(std::vector<NodeId>&& ids) {
  if (SpareTables* spares = spare_tables()) spares->keep_ids(ids);
}

void DagBuilder::reserve(std::size_t nodes) {
  if (nodes_.capacity() == 0) {
    if (SpareTables* spares = spare_tables()) spares->take(nodes_, dtypes_);
  }
  nodes_.reserve(nodes);
  dtypes_.reserve(nodes);
}

NodeId DagBuilder::push(Node node, DType dtype) {
  const std::size_t position = nodes_.size();
  for_each_operand(node, [&](NodeId operand) {
    if (operand.value >= position) {
      throw InternalError("operand " + std::to_string(operand.value) + " of node " + std::to_string(position) +
                          " does not precede it");
    }
  });
  if (nodes_.capacity() == 0) reserve(kFirstCapacity);
  nodes_.push_back(std::move(node));
  dtypes_.push_back(dtype);
  return NodeId{position};
}

Result<TypedDag, TypedDagError> DagBuilder::try_finish(std::vector<ParamDecl> params, std::vector<NodeId> outputs) && {
  return TypedDag::try_new(
      TypedDag::Tables{std::move(nodes_), std::move(dtypes_), std::move(params), std::move(outputs)});
}

TypedDag DagBuilder::finish(std::vector<ParamDecl> params, std::vector<NodeId> outputs, const std::string& context) && {
  auto dag = std::move(*this).try_finish(std::move(params), std::move(outputs));
  if (!dag) throw InternalError(context + dag.error().to_string());
  return std::move(*dag);
}

}  // namespace morvalen::ir

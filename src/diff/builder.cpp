#include "diff/builder.h"

#include "support/internal_error.h"

namespace morvalen::diff {
namespace {
[[noreturn]] void not_implemented() { throw InternalError("canonical builder: not implemented"); }
}  // namespace

InternedCanonExprBuilder::InternedCanonExprBuilder(std::size_t max_exprs) : max_exprs_(max_exprs) {}
CanonExprBuilder::IdResult InternedCanonExprBuilder::parameter(std::string_view, ir::DType) { not_implemented(); }
CanonExprBuilder::IdResult InternedCanonExprBuilder::unary(ir::UnaryOp, CanonExprId, ir::DType) { not_implemented(); }
CanonExprBuilder::IdResult InternedCanonExprBuilder::binary(ir::BinaryOp, CanonExprId, CanonExprId, ir::DType) {
  not_implemented();
}
CanonExprBuilder::IdResult InternedCanonExprBuilder::call(std::string_view, std::span<const CanonExprId>, ir::DType) {
  not_implemented();
}
CanonExprBuilder::IdResult InternedCanonExprBuilder::select(CanonExprId, CanonExprId, CanonExprId, ir::DType) {
  not_implemented();
}
CanonExprBuilder::IdResult InternedCanonExprBuilder::cast_with_explicit(CanonExprId, ir::DType, bool) {
  not_implemented();
}
CanonExprBuilder::IdResult InternedCanonExprBuilder::intern_expr(CanonExpr) { not_implemented(); }
Result<CanonFunction, CanonBuildError> InternedCanonExprBuilder::finish(std::vector<ir::ParamDecl>,
                                                                        std::vector<CanonExprId>) && {
  not_implemented();
}
std::strong_ordering InternedCanonExprBuilder::compare_ids(CanonExprId, CanonExprId) const { not_implemented(); }
std::strong_ordering InternedCanonExprBuilder::compare_id_slices(std::span<const CanonExprId>,
                                                                 std::span<const CanonExprId>) const {
  not_implemented();
}
void InternedCanonExprBuilder::collect_add_terms(CanonExprId, ir::DType, std::vector<CanonExprId>&) const {
  not_implemented();
}
void InternedCanonExprBuilder::collect_mul_factors(CanonExprId, ir::DType, std::vector<CanonExprId>&) const {
  not_implemented();
}
CanonExprBuilder::IdResult InternedCanonExprBuilder::build_add(CanonExprId, CanonExprId, ir::DType) {
  not_implemented();
}

}  // namespace morvalen::diff

#include "ir/merge.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "support/internal_error.h"

namespace morvalen::ir {
namespace {

const std::vector<ParamDecl> kXY = {{"x", DType::f64()}, {"y", DType::f64()}};

// sin(x * y), or -(x * y).
TypedDag product_then(bool sine) {
  DagBuilder b;
  NodeId x = b.push(Param{0}, DType::f64());
  NodeId y = b.push(Param{1}, DType::f64());
  NodeId xy = b.push(Binary{BinaryOp::Mul, x, y}, DType::f64());
  NodeId out = sine ? b.push(Call{Builtin::Sin, {xy}}, DType::f64()) : b.push(Unary{xy, UnaryOp::Neg}, DType::f64());
  return std::move(b).finish(kXY, {out}, "test: ");
}

TEST(MergeOutputsTest, EqualNodesAcrossOutputsAreOne) {
  std::array<TypedDag, 3> dags = {product_then(true), product_then(false), product_then(true)};
  TypedDag merged = merge_outputs(dags);
  // x, y, x * y and sin once; the negation once.
  EXPECT_EQ(merged.size(), 5u);
  ASSERT_EQ(merged.outputs().size(), 3u);
  EXPECT_EQ(merged.outputs()[0], NodeId{3});
  EXPECT_EQ(merged.outputs()[1], NodeId{4});
  EXPECT_EQ(merged.outputs()[2], NodeId{3});
  EXPECT_EQ(merged.params(), kXY);
}

TEST(MergeOutputsTest, ConstantsMergeByBitsAndDtype) {
  DagBuilder b;
  std::vector<NodeId> outs = {
      b.push(Const{0.0}, DType::f64()),          b.push(Const{-0.0}, DType::f64()),
      b.push(Const{0.0}, DType::f32()),          b.push(Const{std::int64_t{0}}, DType::f64()),
      b.push(Const{std::nan("")}, DType::f64()), b.push(Const{std::nan("")}, DType::f64()),
      b.push(Const{0.0}, DType::f64()),
  };
  std::array<TypedDag, 1> dags = {std::move(b).finish(kXY, outs, "test: ")};
  TypedDag merged = merge_outputs(dags);
  std::vector<NodeId> expected = {NodeId{0}, NodeId{1}, NodeId{2}, NodeId{3}, NodeId{4}, NodeId{4}, NodeId{0}};
  EXPECT_EQ(merged.outputs(), expected);
}

TEST(MergeOutputsTest, CastsMergeWhateverTheirFlag) {
  DagBuilder b;
  NodeId x = b.push(Param{0}, DType::f64());
  NodeId written = b.push(Cast{x, DType::f32(), true}, DType::f32());
  NodeId inserted = b.push(Cast{x, DType::f32(), false}, DType::f32());
  NodeId other = b.push(Cast{x, DType::f16(), false}, DType::f16());
  std::array<TypedDag, 1> dags = {std::move(b).finish(kXY, {written, inserted, other}, "test: ")};
  TypedDag merged = merge_outputs(dags);
  std::vector<NodeId> expected = {NodeId{1}, NodeId{1}, NodeId{2}};
  EXPECT_EQ(merged.outputs(), expected);
}

TEST(MergeOutputsTest, DifferentParametersAreAnInternalError) {
  DagBuilder b;
  NodeId x = b.push(Param{0}, DType::f64());
  std::array<TypedDag, 2> dags = {product_then(true), std::move(b).finish({{"x", DType::f64()}}, {x}, "test: ")};
  EXPECT_THROW(merge_outputs(dags), InternalError);
  EXPECT_THROW(merge_outputs(std::span<const TypedDag>{}), InternalError);
}

}  // namespace
}  // namespace morvalen::ir

#include "ir/dag.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "support/internal_error.h"

namespace morvalen::ir {
namespace {

std::vector<Node> three_nodes() { return {Param{0}, Const{1.0}, Binary{BinaryOp::Add, NodeId{0}, NodeId{1}}}; }

TEST(TypedDagTest, LengthMismatchIsReportedFirst) {
  auto dag = TypedDag::try_new({Param{0}, Const{1.0}}, {DType::f64()}, {{"x", DType::f64()}}, {NodeId{9}});
  ASSERT_FALSE(dag.has_value());
  EXPECT_EQ(dag.error().to_string(), "TypedDag.nodes and dtypes length mismatch");
}

TEST(TypedDagTest, FirstOutputOutOfRangeIsReported) {
  auto dag = TypedDag::try_new(three_nodes(), {DType::f64(), DType::f64(), DType::f64()}, {{"x", DType::f64()}},
                               {NodeId{1}, NodeId{5}, NodeId{7}});
  ASSERT_FALSE(dag.has_value());
  EXPECT_EQ(dag.error().to_string(), "output node id 5 out of range (nodes len 3)");
}

TEST(TypedDagTest, NoOutputsIsValid) {
  auto dag = TypedDag::try_new(three_nodes(), {DType::f64(), DType::f64(), DType::f64()}, {}, {});
  ASSERT_TRUE(dag.has_value());
  EXPECT_EQ(dag->size(), 3u);
  EXPECT_TRUE(dag->outputs().empty());
}

TEST(TypedDagTest, ReleasedTablesAreCheckedWhenHandedBack) {
  auto dag =
      TypedDag::try_new(three_nodes(), {DType::f64(), DType::f64(), DType::f64()}, {{"x", DType::f64()}}, {NodeId{2}});
  ASSERT_TRUE(dag.has_value());
  TypedDag::Tables tables = std::move(*dag).release();
  EXPECT_EQ(dag->size(), 0u);
  tables.outputs.push_back(NodeId{3});
  auto out_of_range = TypedDag::try_new(std::move(tables));
  ASSERT_FALSE(out_of_range.has_value());
  EXPECT_EQ(out_of_range.error().to_string(), "output node id 3 out of range (nodes len 3)");
}

TEST(TypedDagTest, BuilderKeepsTablesInStep) {
  DagBuilder b;
  NodeId x = b.push(Param{0}, DType::f32());
  NodeId c = b.push(Const{std::int64_t{2}}, DType::i8());
  NodeId cast = b.push(Cast{c, DType::f32(), false}, DType::f32());
  NodeId mul = b.push(Binary{BinaryOp::Mul, x, cast}, DType::f32());
  EXPECT_EQ(mul, NodeId{3});
  TypedDag dag = std::move(b).finish({{"x", DType::f32()}}, {mul}, "test: ");
  EXPECT_EQ(dag.dtype(c), DType::i8());
  EXPECT_EQ(dag.outputs(), std::vector<NodeId>{mul});
  ASSERT_NE(std::get_if<Binary>(&dag.node(mul)), nullptr);
}

TEST(TypedDagTest, BuilderFailureIsAnInternalError) {
  DagBuilder b;
  b.push(Param{0}, DType::f32());
  try {
    (void)std::move(b).finish({{"x", DType::f32()}}, {NodeId{4}}, "lower produced invalid TypedDag: ");
    FAIL() << "expected an internal error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "lower produced invalid TypedDag: output node id 4 out of range (nodes len 1)");
  }
}

TEST(TypedDagTest, BuilderRefusesAnOperandThatDoesNotPrecede) {
  DagBuilder b;
  b.push(Param{0}, DType::f32());
  try {
    b.push(If{NodeId{0}, NodeId{1}, NodeId{0}}, DType::f32());
    FAIL() << "expected an internal error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "operand 1 of node 1 does not precede it");
  }
  EXPECT_EQ(b.size(), 1u);
}

TEST(CallArgsTest, HoldsUpToTwoArgumentsInPlace) {
  const std::vector<NodeId> two{NodeId{3}, NodeId{5}};
  const CallArgs from_list{NodeId{3}, NodeId{5}};
  const CallArgs from_vector(two);
  EXPECT_EQ(from_list, from_vector);
  EXPECT_EQ(std::vector<NodeId>(from_list.begin(), from_list.end()), two);
  EXPECT_NE(from_list, (CallArgs{NodeId{3}}));
  EXPECT_TRUE(CallArgs{}.empty());
  EXPECT_THROW((void)from_list.at(2), std::out_of_range);
  try {
    (void)CallArgs{NodeId{0}, NodeId{1}, NodeId{2}};
    FAIL() << "expected an internal error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "a call holds at most two arguments");
  }
}

TEST(OpsTest, BinarySpellings) {
  const char* expected[] = {"+", "-", "*", "/", "//", "%", "**", "==", "!=", "<", "<=", ">", ">=", "and", "or"};
  for (std::size_t i = 0; i < kBinaryOpCount; ++i) EXPECT_EQ(as_str(static_cast<BinaryOp>(i)), expected[i]);
  EXPECT_TRUE(is_comparison(BinaryOp::Ge));
  EXPECT_FALSE(is_comparison(BinaryOp::And));
  EXPECT_TRUE(is_logical(BinaryOp::Or));
  EXPECT_EQ(to_str(UnaryOp::Neg), "neg");
  EXPECT_EQ(to_str(UnaryOp::Not), "not");
}

TEST(OpsTest, BuiltinNamesParseExactly) {
  const char* names[] = {"exp",     "log",  "sqrt",     "abs",   "sin",  "cos",         "tanh",
                         "sigmoid", "relu", "softplus", "floor", "ceil", "exp_sigmoid", "sigmoid_log"};
  for (std::size_t i = 0; i < kBuiltinCount; ++i) {
    auto b = static_cast<Builtin>(i);
    EXPECT_EQ(to_str(b), names[i]);
    EXPECT_EQ(parse_builtin(names[i]), b);
    EXPECT_EQ(is_callable_from_source(b), i < 12) << names[i];
  }
  EXPECT_EQ(parse_builtin("Exp"), std::nullopt);
  EXPECT_EQ(parse_builtin("max"), std::nullopt);
  EXPECT_EQ(parse_builtin(""), std::nullopt);
}

}  // namespace
}  // namespace morvalen::ir

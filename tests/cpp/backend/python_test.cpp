#include "backend/python.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "ir/dag.h"
#include "support/internal_error.h"

namespace morvalen::backend {
namespace {

using ir::BinaryOp;
using ir::Builtin;
using ir::DType;
using ir::NodeId;
using ir::UnaryOp;

std::vector<ir::ParamDecl> header(std::vector<std::string> names, DType d = DType::f64()) {
  std::vector<ir::ParamDecl> params;
  for (auto& n : names) params.push_back({n, d});
  return params;
}

ir::TypedDag finish(ir::DagBuilder& b, std::vector<ir::ParamDecl> params, std::vector<NodeId> outputs) {
  return std::move(b).finish(std::move(params), std::move(outputs), "test dag: ");
}

constexpr const char* kPrelude = "import math\n\ndef f(x):\n";

// Emits `f(x)` returning the last node pushed and returns the line of that node.
std::string line_of_last(ir::DagBuilder& b, DType x = DType::f64()) {
  NodeId root{b.size() - 1};
  std::string text = emit_python(finish(b, {{"x", x}}, {root}), "f");
  std::string prefix = "    t" + std::to_string(root.value) + " = ";
  auto start = text.find(prefix);
  if (start == std::string::npos) return "<no line>";
  start += prefix.size();
  return text.substr(start, text.find('\n', start) - start);
}

TEST(PythonIdentifierTest, AcceptsAndRejects) {
  struct IdCase {
    const char* name;
    bool valid;
  };
  const std::vector<IdCase> cases = {
      {"x", true},      {"_kernel", true},   {"a1", true},     {"_", true},     {"None_", true},  {"none", true},
      {"match", true},  {"math", true},      {"", false},      {"1a", false},   {"a-b", false},   {"a b", false},
      {"größe", false}, {"lambda", false},   {"None", false},  {"True", false}, {"class", false}, {"async", false},
      {"await", false}, {"nonlocal", false}, {"yield", false},
  };
  for (const IdCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(is_valid_python_identifier(c.name), c.valid);
  }
  const std::vector<std::string> keywords = {"False",  "None",   "True",    "and",      "as",       "assert", "async",
                                             "await",  "break",  "class",   "continue", "def",      "del",    "elif",
                                             "else",   "except", "finally", "for",      "from",     "global", "if",
                                             "import", "in",     "is",      "lambda",   "nonlocal", "not",    "or",
                                             "pass",   "raise",  "return",  "try",      "while",    "with",   "yield"};
  for (const std::string& k : keywords) {
    SCOPED_TRACE(k);
    EXPECT_FALSE(is_valid_python_identifier(k));
    EXPECT_TRUE(is_valid_python_identifier(k + "_"));
  }
}

TEST(PythonIdentifierTest, ReservedNames) {
  for (const char* name : {"math", "abs", "bool", "complex", "float", "int"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(is_reserved_python_name(name));
  }
  for (const char* name : {"x", "exp", "maths", "Math"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(is_reserved_python_name(name));
  }
}

TEST(PythonParamNamesTest, Renaming) {
  struct NameCase {
    std::vector<std::string> declared;
    std::vector<std::string> emitted;
  };
  const std::vector<NameCase> cases = {
      {{"x", "lambda"}, {"x", "p1"}},
      {{"None", "y"}, {"p0", "y"}},
      {{"math", "float", "abs"}, {"p0", "p1", "p2"}},
      {{"t3", "t", "t3x", "t03"}, {"p0", "t", "t3x", "p3"}},
      {{"x", "x"}, {"x", "p1"}},
      {{"lambda", "p0"}, {"p0", "p1"}},
      {{"p1", "lambda"}, {"p1", "p1_"}},
      {{"p1", "p1_", "lambda"}, {"p1", "p1_", "p2"}},
      {{"p1", "p1_", "class"}, {"p1", "p1_", "p2"}},
      {{"p2", "p2_", "if"}, {"p2", "p2_", "p2__"}},
      {{"größe"}, {"p0"}},
      {{}, {}},
  };
  for (const NameCase& c : cases) {
    std::vector<ir::ParamDecl> params = header(c.declared);
    EXPECT_EQ(python_parameter_names(params), c.emitted);
  }
}

TEST(PythonEmitTest, LinearExample) {
  ir::DagBuilder b;
  NodeId x = b.push(ir::Param{0}, DType::f64());
  NodeId two = b.push(ir::Const{2.0}, DType::f64());
  NodeId mul = b.push(ir::Binary{BinaryOp::Mul, x, two}, DType::f64());
  NodeId one = b.push(ir::Const{1.0}, DType::f64());
  NodeId add = b.push(ir::Binary{BinaryOp::Add, mul, one}, DType::f64());
  EXPECT_EQ(emit_python(finish(b, header({"x"}), {add}), "_kernel"),
            "import math\n\ndef _kernel(x):\n    t0 = x\n    t1 = 2\n    t2 = (t0 * t1)\n    t3 = 1\n"
            "    t4 = (t2 + t3)\n    return t4\n");
}

TEST(PythonEmitTest, UnreachableNodesLeaveGapsAndUnusedParamsStay) {
  ir::DagBuilder b;
  b.push(ir::Param{0}, DType::f64());                                    // 0: a, unused
  NodeId y = b.push(ir::Param{1}, DType::f64());                         // 1: y
  b.push(ir::Const{5.0}, DType::f64());                                  // 2: unused
  NodeId sq = b.push(ir::Binary{BinaryOp::Mul, y, y}, DType::f64());     // 3: shared
  b.push(ir::Call{Builtin::Exp, {sq}}, DType::f64());                    // 4: unused
  NodeId sum = b.push(ir::Binary{BinaryOp::Add, sq, sq}, DType::f64());  // 5
  EXPECT_EQ(emit_python(finish(b, header({"a", "y"}), {sum}), "g"),
            "import math\n\ndef g(a, y):\n    t1 = y\n    t3 = (t1 * t1)\n    t5 = (t3 + t3)\n    return t5\n");
}

TEST(PythonEmitTest, TupleAndEmptyReturns) {
  ir::DagBuilder b;
  NodeId x = b.push(ir::Param{0}, DType::f64());
  NodeId n = b.push(ir::Unary{x, UnaryOp::Neg}, DType::f64());
  NodeId e = b.push(ir::Call{Builtin::Exp, {x}}, DType::f64());
  EXPECT_EQ(emit_python(finish(b, header({"x"}), {e, n, e}), "f"),
            std::string(kPrelude) + "    t0 = x\n    t1 = -t0\n    t2 = math.exp(t0)\n    return (t2, t1, t2)\n");

  ir::DagBuilder none;
  none.push(ir::Param{0}, DType::f64());
  EXPECT_EQ(emit_python(finish(none, header({"x"}), {}), "f"), std::string(kPrelude) + "    return ()\n");
}

TEST(PythonEmitTest, RenamedParametersAreReadUnderTheirNewNames) {
  ir::DagBuilder b;
  NodeId l = b.push(ir::Param{0}, DType::f64());
  NodeId n = b.push(ir::Param{1}, DType::f64());
  NodeId t = b.push(ir::Param{2}, DType::f64());
  NodeId s = b.push(ir::Binary{BinaryOp::Add, l, n}, DType::f64());
  NodeId r = b.push(ir::Binary{BinaryOp::Sub, s, t}, DType::f64());
  EXPECT_EQ(emit_python(finish(b, header({"lambda", "None", "t0"}), {r}), "f"),
            "import math\n\ndef f(p0, p1, p2):\n    t0 = p0\n    t1 = p1\n    t2 = p2\n    t3 = (t0 + t1)\n"
            "    t4 = (t3 - t2)\n    return t4\n");
}

TEST(PythonEmitTest, Constants) {
  struct ConstCase {
    ir::Scalar value;
    DType dtype;
    std::string expected;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<ConstCase> cases = {
      {true, DType::boolean(), "True"},
      {false, DType::boolean(), "False"},
      {std::int64_t{-5}, DType::i32(), "-5"},
      {std::int64_t{-1}, DType::u64(), "18446744073709551615"},
      {std::int64_t{255}, DType::u8(), "255"},
      {0.5, DType::f64(), "0.5"},
      {3.0, DType::f32(), "3"},
      {-0.0, DType::f64(), "-0"},
      {1e21, DType::f64(), "1000000000000000000000"},
      {1e-7, DType::f64(), "0.0000001"},
      {5e-324, DType::f64(), "0." + std::string(323, '0') + "5"},
      {inf, DType::f64(), "float('inf')"},
      {-inf, DType::f64(), "float('-inf')"},
      {nan, DType::f64(), "float('nan')"},
      {ir::ComplexValue{1.5, -2}, DType::c128(), "complex(1.5, -2)"},
      {ir::ComplexValue{inf, nan}, DType::c128(), "complex(float('inf'), float('nan'))"},
      {ir::ComplexValue{0, -inf}, DType::c64(), "complex(0, float('-inf'))"},
  };
  for (const ConstCase& c : cases) {
    SCOPED_TRACE(c.expected);
    ir::DagBuilder b;
    b.push(ir::Const{c.value}, c.dtype);
    EXPECT_EQ(line_of_last(b), c.expected);
  }
}

TEST(PythonEmitTest, OperatorLines) {
  struct OpCase {
    BinaryOp op;
    std::string expected;
  };
  const std::vector<OpCase> cases = {
      {BinaryOp::Add, "(t0 + t1)"},  {BinaryOp::Sub, "(t0 - t1)"},       {BinaryOp::Mul, "(t0 * t1)"},
      {BinaryOp::Div, "(t0 / t1)"},  {BinaryOp::FloorDiv, "(t0 // t1)"}, {BinaryOp::Rem, "(t0 % t1)"},
      {BinaryOp::Pow, "(t0 ** t1)"}, {BinaryOp::Eq, "(t0 == t1)"},       {BinaryOp::Ne, "(t0 != t1)"},
      {BinaryOp::Lt, "(t0 < t1)"},   {BinaryOp::Le, "(t0 <= t1)"},       {BinaryOp::Gt, "(t0 > t1)"},
      {BinaryOp::Ge, "(t0 >= t1)"},  {BinaryOp::And, "(t0 and t1)"},     {BinaryOp::Or, "(t0 or t1)"},
  };
  for (const OpCase& c : cases) {
    SCOPED_TRACE(c.expected);
    ir::DagBuilder b;
    NodeId x = b.push(ir::Param{0}, DType::f64());
    NodeId k = b.push(ir::Const{1.0}, DType::f64());
    b.push(ir::Binary{c.op, x, k}, DType::f64());
    EXPECT_EQ(line_of_last(b), c.expected);
  }

  ir::DagBuilder u;
  NodeId c = u.push(ir::Param{0}, DType::boolean());
  NodeId n = u.push(ir::Unary{c, UnaryOp::Not}, DType::boolean());
  NodeId k = u.push(ir::Const{2.0}, DType::f64());
  NodeId g = u.push(ir::Unary{k, UnaryOp::Neg}, DType::f64());
  NodeId i = u.push(ir::If{n, k, g}, DType::f64());
  EXPECT_EQ(emit_python(finish(u, header({"c"}, DType::boolean()), {i}), "sel"),
            "import math\n\ndef sel(c):\n    t0 = c\n    t1 = (not t0)\n    t2 = 2\n    t3 = -t2\n"
            "    t4 = (t2 if t1 else t3)\n    return t4\n");
}

TEST(PythonEmitTest, BuiltinTemplates) {
  struct CallCase {
    Builtin builtin;
    std::string expected;
  };
  const std::vector<CallCase> cases = {
      {Builtin::Exp, "math.exp(t0)"},
      {Builtin::Log, "math.log(t0)"},
      {Builtin::Sqrt, "math.sqrt(t0)"},
      {Builtin::Abs, "abs(t0)"},
      {Builtin::Sin, "math.sin(t0)"},
      {Builtin::Cos, "math.cos(t0)"},
      {Builtin::Tanh, "math.tanh(t0)"},
      {Builtin::Sigmoid, "(1.0 / (1.0 + math.exp(-t0)))"},
      {Builtin::Relu, "(t0 if t0 > 0 else 0.0)"},
      {Builtin::Softplus, "math.log(1.0 + math.exp(t0))"},
      {Builtin::Floor, "float(math.floor(t0))"},
      {Builtin::Ceil, "float(math.ceil(t0))"},
      {Builtin::ExpSigmoid, "(1.0 / (1.0 + math.exp(-math.exp(t0))))"},
      {Builtin::SigmoidLog, "math.log(1.0 / (1.0 + math.exp(-t0)))"},
  };
  for (const CallCase& c : cases) {
    SCOPED_TRACE(c.expected);
    ir::DagBuilder b;
    NodeId x = b.push(ir::Param{0}, DType::f64());
    b.push(ir::Call{c.builtin, {x}}, DType::f64());
    EXPECT_EQ(line_of_last(b), c.expected);
  }

  // Only the first argument is read.
  ir::DagBuilder b;
  NodeId x = b.push(ir::Param{0}, DType::f64());
  NodeId k = b.push(ir::Const{1.0}, DType::f64());
  b.push(ir::Call{Builtin::Relu, {k, x}}, DType::f64());
  EXPECT_EQ(line_of_last(b), "(t1 if t1 > 0 else 0.0)");
}

TEST(PythonEmitTest, Casts) {
  struct CastCase {
    DType from;
    DType to;
    std::string expected;
  };
  const std::vector<CastCase> cases = {
      {DType::f16(), DType::bf16(), "float(t0)"},
      {DType::i32(), DType::i64(), "int(t0)"},
      {DType::u8(), DType::i8(), "int(t0)"},
      {DType::c64(), DType::c128(), "t0"},
      {DType::f64(), DType::f64(), "t0"},
      {DType::bf16(), DType::bf16(), "t0"},
      {DType::f64(), DType::boolean(), "bool(t0)"},
      {DType::boolean(), DType::f32(), "float(t0)"},
      {DType::f32(), DType::c64(), "complex(t0, 0.0)"},
      {DType::i64(), DType::c128(), "complex(t0, 0.0)"},
      {DType::c128(), DType::f64(), "float(t0.real)"},
      {DType::c64(), DType::i32(), "int(t0.real)"},
      {DType::c64(), DType::boolean(), "bool(t0)"},
  };
  for (const CastCase& c : cases) {
    for (bool is_explicit : {true, false}) {
      SCOPED_TRACE(c.expected);
      ir::DagBuilder b;
      NodeId x = b.push(ir::Param{0}, c.from);
      b.push(ir::Cast{x, c.to, is_explicit}, c.to);
      EXPECT_EQ(line_of_last(b, c.from), c.expected);
    }
  }
}

TEST(PythonEmitTest, DeepChain) {
  constexpr std::size_t kDepth = 100000;
  ir::DagBuilder b;
  NodeId n = b.push(ir::Param{0}, DType::f64());
  for (std::size_t i = 0; i < kDepth; ++i) n = b.push(ir::Unary{n, UnaryOp::Neg}, DType::f64());
  std::string text = emit_python(finish(b, header({"x"}), {n}), "f");
  EXPECT_TRUE(text.starts_with(std::string(kPrelude) + "    t0 = x\n    t1 = -t0\n"));
  EXPECT_TRUE(text.ends_with("    t100000 = -t99999\n    return t100000\n"));
}

TEST(PythonEmitTest, InvalidDagsAreInternalErrors) {
  auto expect_internal = [](ir::TypedDag dag, const std::string& message) {
    try {
      emit_python(dag, "f");
      ADD_FAILURE() << "expected InternalError: " << message;
    } catch (const InternalError& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
  };
  {
    ir::DagBuilder b;
    NodeId p = b.push(ir::Param{1}, DType::f64());
    expect_internal(finish(b, header({"x"}), {p}), "invalid Param index in TypedDag");
  }
  {
    ir::DagBuilder b;
    NodeId c = b.push(ir::Call{Builtin::Exp, {}}, DType::f64());
    expect_internal(finish(b, header({"x"}), {c}), "Call node must have at least one argument");
  }
  {
    // Made without a DagBuilder, which refuses a forward operand.
    auto dag = ir::TypedDag::try_new({ir::Param{0}, ir::Unary{NodeId{2}, UnaryOp::Neg}, ir::Param{0}},
                                     {DType::f64(), DType::f64(), DType::f64()}, header({"x"}), {NodeId{1}});
    ASSERT_TRUE(dag.has_value());
    expect_internal(std::move(*dag), "operand 2 of node 1 does not precede it in TypedDag");
  }
  {
    // A broken node that no output reaches is never looked at.
    ir::DagBuilder b;
    NodeId x = b.push(ir::Param{0}, DType::f64());
    b.push(ir::Param{7}, DType::f64());
    EXPECT_EQ(emit_python(finish(b, header({"x"}), {x}), "f"), std::string(kPrelude) + "    t0 = x\n    return t0\n");
  }
}

}  // namespace
}  // namespace morvalen::backend

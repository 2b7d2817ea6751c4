#include "backend/numpy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "ir/dag.h"

namespace morvalen::backend {
namespace {

using ir::BinaryOp;
using ir::Builtin;
using ir::DType;
using ir::NodeId;

constexpr const char* kArgHelper =
    "def _arg(value, dtype):\n"
    "    # An array of another library (a Dask array) converts itself and stays lazy.\n"
    "    if not isinstance(value, np.ndarray) and hasattr(value, \"__array_function__\"):\n"
    "        return value.astype(dtype)\n"
    "    return np.asarray(value).astype(dtype, copy=False)\n";

TEST(NumpyEmitTest, WholeKernel) {
  // (sigmoid(x) * 2, x@f64): a helper, a constant, a cast, a tuple, and each
  // array temporary deleted after its last use.
  ir::DagBuilder b;
  NodeId x = b.push(ir::Param{0}, DType::f32());
  NodeId s = b.push(ir::Call{Builtin::Sigmoid, {x}}, DType::f32());
  NodeId two = b.push(ir::Const{2.0}, DType::f32());
  NodeId mul = b.push(ir::Binary{BinaryOp::Mul, s, two}, DType::f32());
  NodeId wide = b.push(ir::Cast{x, DType::f64(), true}, DType::f64());
  ir::TypedDag dag = std::move(b).finish({{"x", DType::f32()}, {"unused", DType::i8()}}, {mul, wide}, "test: ");
  EXPECT_EQ(emit_numpy(dag, "f"), std::string("import numpy as np\n\n\n") + kArgHelper +
                                      "\n\n"
                                      "def _sigmoid(x):\n"
                                      "    # exp of a value <= 0 only: no overflow, full precision in both tails.\n"
                                      "    e = np.exp(-np.abs(x))\n"
                                      "    r = 1 / (1 + e)\n"
                                      "    return np.where(x >= 0, r, e * r)\n"
                                      "\n\n"
                                      "def f(x, unused):\n"
                                      "    with np.errstate(all=\"ignore\"):\n"
                                      "        t0 = _arg(x, np.float32)\n"
                                      "        t1 = _sigmoid(t0)\n"
                                      "        t2 = np.float32(2.0)\n"
                                      "        t3 = t1 * t2\n"
                                      "        del t1\n"
                                      "        t4 = t0.astype(np.float64)\n"
                                      "        del t0\n"
                                      "        return t3, t4\n");
}

// The right-hand side that the constant's line gets.
std::string const_text(ir::Scalar value, DType dtype) {
  ir::DagBuilder b;
  NodeId c = b.push(ir::Const{value}, dtype);
  std::string text = emit_numpy(std::move(b).finish({}, {c}, "test: "), "f");
  auto start = text.find("t0 = ") + 5;
  return text.substr(start, text.find('\n', start) - start);
}

TEST(NumpyEmitTest, ConstantsReadAsTheirDtype) {
  struct ConstCase {
    ir::Scalar value;
    DType dtype;
    const char* text;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<ConstCase> cases = {
      {0.1, DType::f32(), "np.float32(0.1)"},
      {-0.0, DType::f64(), "np.float64(-0.0)"},
      {1e300, DType::f64(), "np.float64(1e+300)"},
      {std::nan(""), DType::f16(), "np.float16(np.nan)"},
      {-inf, DType::f64(), "np.float64(-np.inf)"},
      {std::int64_t{3}, DType::f32(), "np.float32(3.0)"},
      {0.5, DType::bf16(), "ml_dtypes.bfloat16(0.5)"},
      {std::int64_t{300}, DType::u8(), "np.uint8(44)"},
      {std::int64_t{200}, DType::i8(), "np.int8(-56)"},
      {std::int64_t{-1}, DType::u64(), "np.uint64(18446744073709551615)"},
      {std::int64_t{5}, DType::boolean(), "np.bool_(True)"},
      {false, DType::boolean(), "np.bool_(False)"},
      {ir::ComplexValue{1.5, -0.0}, DType::c64(), "np.complex64(1.5, -0.0)"},
      {2.0, DType::c128(), "np.complex128(2.0, 0.0)"},
  };
  for (const ConstCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(const_text(c.value, c.dtype), c.text);
  }
}

TEST(NumpyEmitTest, ParametersAvoidTheModuleNames) {
  std::vector<ir::ParamDecl> params;
  for (const char* name : {"np", "ml_dtypes", "_arg", "_sigmoid", "_int_pow", "math", "float", "t1"}) {
    params.push_back({name, DType::f64()});
  }
  const std::vector<std::string> expected = {"p0", "p1", "p2", "p3", "p4", "math", "float", "p7"};
  EXPECT_EQ(numpy_parameter_names(params), expected);
  EXPECT_TRUE(is_reserved_numpy_name("np"));
  EXPECT_FALSE(is_reserved_numpy_name("numpy"));
}

}  // namespace
}  // namespace morvalen::backend

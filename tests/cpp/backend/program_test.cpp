#include "backend/program.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "api.h"
#include "backend/source_shape.h"
#include "ir/dag.h"
#include "opt/const_fold.h"

namespace morvalen::backend {
namespace {

// The DAG a program text is written from: folded, in source shape, folded
// again (as the api prepares it).
ir::TypedDag as_written(const ir::TypedDag& folded) { return opt::const_fold(in_source_shape(folded)).dag; }

ir::TypedDag lowered(std::string_view source, bool optimize) {
  auto dag = api::lowered_dag(source, optimize);
  if (!dag) throw std::runtime_error(dag.error().to_string() + " for\n" + std::string(source));
  return std::move(dag).value();
}

ir::TypedDag simplified(std::string_view source, bool optimize) {
  return as_written(opt::const_fold(lowered(source, optimize)).dag);
}

// The derivative as `diff` computes it, alone.
ir::TypedDag derivative(std::string_view source, const std::string& variable, bool optimize) {
  auto both = api::value_and_gradient_dag(source, std::vector<std::string>{variable}, optimize);
  if (!both) throw std::runtime_error(both.error().to_string());
  auto alone = ir::TypedDag::try_new(both->nodes(), both->dtypes(), both->params(), {both->outputs()[1]});
  return as_written(alone.value());
}

bool same_bits(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

bool same_scalar(const ir::Scalar& a, const ir::Scalar& b) {
  if (a.index() != b.index()) return false;
  if (const auto* x = std::get_if<double>(&a)) return same_bits(*x, std::get<double>(b));
  if (const auto* c = std::get_if<ir::ComplexValue>(&a)) {
    const auto& d = std::get<ir::ComplexValue>(b);
    return same_bits(c->re, d.re) && same_bits(c->im, d.im);
  }
  if (const auto* i = std::get_if<std::int64_t>(&a)) return *i == std::get<std::int64_t>(b);
  return std::get<bool>(a) == std::get<bool>(b);
}

// The node without its operands: kind, dtype and payload. The explicit flag
// of a cast is not part of it.
bool same_node(const ir::TypedDag& a, std::size_t i, const ir::TypedDag& b, std::size_t j) {
  const ir::Node& m = a.nodes()[i];
  const ir::Node& n = b.nodes()[j];
  if (m.index() != n.index() || !(a.dtypes()[i] == b.dtypes()[j])) return false;
  if (const auto* p = std::get_if<ir::Param>(&m)) return p->index == std::get<ir::Param>(n).index;
  if (const auto* c = std::get_if<ir::Const>(&m)) return same_scalar(c->value, std::get<ir::Const>(n).value);
  if (const auto* u = std::get_if<ir::Unary>(&m)) return u->op == std::get<ir::Unary>(n).op;
  if (const auto* x = std::get_if<ir::Binary>(&m)) return x->op == std::get<ir::Binary>(n).op;
  if (const auto* c = std::get_if<ir::Call>(&m)) return c->builtin == std::get<ir::Call>(n).builtin;
  if (const auto* k = std::get_if<ir::Cast>(&m)) return k->dtype == std::get<ir::Cast>(n).dtype;
  return true;
}

std::vector<std::size_t> operands(const ir::Node& node) {
  std::vector<std::size_t> out;
  std::visit(
      [&](const auto& n) {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, ir::Unary> || std::is_same_v<T, ir::Cast>) {
          out = {n.arg.value};
        } else if constexpr (std::is_same_v<T, ir::Binary>) {
          out = {n.lhs.value, n.rhs.value};
        } else if constexpr (std::is_same_v<T, ir::If>) {
          out = {n.cond.value, n.then_branch.value, n.else_branch.value};
        } else if constexpr (std::is_same_v<T, ir::Call>) {
          for (ir::NodeId id : n.args) out.push_back(id.value);
        }
      },
      node);
  return out;
}

// Whether the expressions of the two outputs are the same DAG up to node
// numbering: a one-to-one pairing of the nodes, sharing included.
bool same_dag(const ir::TypedDag& a, const ir::TypedDag& b) {
  std::vector<std::size_t> a_to_b(a.size(), SIZE_MAX);
  std::vector<std::size_t> b_to_a(b.size(), SIZE_MAX);
  std::vector<std::pair<std::size_t, std::size_t>> stack{{a.outputs()[0].value, b.outputs()[0].value}};
  while (!stack.empty()) {
    auto [i, j] = stack.back();
    stack.pop_back();
    if (a_to_b[i] != SIZE_MAX || b_to_a[j] != SIZE_MAX) {
      if (a_to_b[i] != j || b_to_a[j] != i) return false;
      continue;
    }
    if (!same_node(a, i, b, j)) return false;
    a_to_b[i] = j;
    b_to_a[j] = i;
    auto p = operands(a.nodes()[i]);
    auto q = operands(b.nodes()[j]);
    if (p.size() != q.size()) return false;
    for (std::size_t k = 0; k < p.size(); ++k) stack.push_back({p[k], q[k]});
  }
  return true;
}

// Writes the DAG, reads the text back (parse, lower, fold) and expects the
// same DAG, and the same text when that is written again.
void expect_reads_back(const ir::TypedDag& dag) {
  auto text = render_program(dag);
  ASSERT_TRUE(text.has_value());
  SCOPED_TRACE(*text);
  const ir::TypedDag again = opt::const_fold(lowered(*text, false)).dag;
  EXPECT_TRUE(same_dag(dag, again));
  EXPECT_EQ(render_program(as_written(again)).value(), *text);
}

// Constants that no literal spells, shapes that the optimizer and the
// differentiator leave, and the operations the language refuses to write.
const char* const kPrograms[] = {
    "|x: f64| x / 2.0 + 2@f64 * x + 0.1 * x ** 3",
    "|x: f32, n: i32| (x * n + 0.1@f32) * 100000.0 - 1e300 * x",
    "|x: f64| x * (1e999 - 1e999) + 1e999 - -1e999 / x + -0.0 * x",
    "|x: i64| x + (-9223372036854775807 - 1)",
    "|x: u64| x * (4294967295@u64 * 4294967297@u64) + 9223372036854775807@u64 * 2@u64 + 1@u64 - x",
    "|x: u8| x + -(5@u8 + 0@u8) + (300)@u8 - (9223372036854775807)@u8",
    "|x: i8| (100 + 100) * x + exp(100@i8) + (0 - 128) // x",
    "|x: u8, y: i32| (0@u8 - 5@u8) * x + (2147483647 * 2147483647) * y",
    "|x: i64, y: u64| x + 9223372036854775807 * 255 + y * (9223372036854775807@u64 * 3@u64)",
    "|x: u32| x - (4294967295@u32 * 4294967295@u32) + x * (0@u32 - 4294967295@u32 - 1@u32)",
    "|z: c128| z * -(2.5 + 0.0j) + -(0.0 + 1.5j) * z - -0.0j * z + (1e999j - 1e999j) * z + (-1.0 + 0.0j) * 0.0j * z",
    "|z: c64| -(0.0 - 1.5j) * z + (0.1 + 0.2j) * z + (-0.0 + 2.5j) * z + (1e999 - 1e999 + 1.0j) * z",
    "|x: bf16, h: f16| x * 2.0@bf16 + h * 0.1 + (h + 1.0@f16) @f32",
    "|x: i32, b: bool| if b && x > 2 then x + 2.5@i32 else 3@f64 @i32",
    "|x: i32| x // (1 - 1) + x % (2 - 2) + x",
    "|x: f64| x % (if true then 0@f64 else 1.0) + (3)@bool @f64",
    "|x: f64| t1 = x * x\nt1_ = sin(t1) * t1\nt1_ * t1_ + t1",
    "|t1: f64, t2: f64| t3 = t1 * t2\nt3 + t3 * t1",
    "|x: f64, y: f64| if (if x < y then x > 0.0 else y > 0.0) then -x ** 2.5 else (-x) ** y ** 2.0",
    // A line long enough to be split.
    ("|x: f64| a = exp(x) + x * 2.0 * x * x - x ** x ** x + sin(x) * cos(x) * tanh(x) * sqrt(x) * relu(x) - "
     "softplus(x) * floor(x) * ceil(x) * abs(x) * sigmoid(x) / log(x) - x * x * x * x * x * x\na * a"),
};

class ProgramReadsBack : public testing::TestWithParam<const char*> {};

TEST_P(ProgramReadsBack, Simplified) {
  for (bool optimize : {false, true}) {
    SCOPED_TRACE(optimize ? "optimized" : "plain");
    expect_reads_back(simplified(GetParam(), optimize));
  }
}

TEST_P(ProgramReadsBack, Derivative) {
  const ir::TypedDag dag = lowered(GetParam(), false);
  for (const ir::ParamDecl& p : dag.params()) {
    if (!p.dtype.is_float()) continue;
    for (bool optimize : {false, true}) {
      SCOPED_TRACE(p.name + (optimize ? " optimized" : " plain"));
      expect_reads_back(derivative(GetParam(), p.name, optimize));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Programs, ProgramReadsBack, testing::ValuesIn(kPrograms));

// What the language cannot say is written as the nearest text it can: the
// optimizer's fused builtins, a float floor division (the derivative of `%`),
// the negation of a bool and the division of integers (derivatives through
// bool and integer values).
TEST(ProgramText, WritesWhatTheLanguageCanRead) {
  struct Case {
    const char* source;
    const char* variable;  // empty: the simplified program
    bool optimize;
    const char* text;
  };
  const Case cases[] = {
      {"|x: f64| log(sigmoid(x)) + sigmoid(exp(x))", "", true, "|x: f64|\nlog(sigmoid(x)) + sigmoid(exp(x))"},
      {"|x: f64, y: f64| x % y", "y", false, "|x: f64, y: f64|\n-floor(x / y)"},
      {"|x: f64| sigmoid(x > 1.0)", "x", false,
       "|x: f64|\nt1 = sigmoid(x > 1.0)\n(false * (true + t1 * -1@bool) * t1)@f64"},
      {"|n: i32, x: f64| log(n) * x", "x", false, "|n: i32, x: f64|\nlog(n)@f64"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    ir::TypedDag dag = *c.variable ? derivative(c.source, c.variable, c.optimize) : simplified(c.source, c.optimize);
    EXPECT_EQ(render_program(dag).value(), c.text);
  }
}

}  // namespace
}  // namespace morvalen::backend

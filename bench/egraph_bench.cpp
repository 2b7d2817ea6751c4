// E-graph benchmarks: hash-consed insertion, union plus rebuild, and a small
// saturation run with the optimizer's commutativity and associativity rules.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdint>
#include <random>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/extract.h"
#include "egraph/rewrite.h"
#include "egraph/runner.h"

namespace {

using morvalen::egraph::EGraph;
using morvalen::egraph::Extractor;
using morvalen::egraph::Rewrite;
using morvalen::egraph::Runner;
using morvalen::opt::Id;
using morvalen::opt::MathKind;
using morvalen::opt::MathLang;
using morvalen::opt::RecExpr;

double peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Random nodes over earlier ones: leaves, then binary and unary operators.
void add_random_nodes(EGraph& g, std::size_t count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  const MathKind binary[] = {MathKind::Add, MathKind::Mul, MathKind::Sub, MathKind::Div};
  std::vector<Id> ids;
  ids.reserve(count);
  for (int i = 0; i < 64; ++i) ids.push_back(g.add(MathLang::make_int(i)));
  while (ids.size() < count) {
    std::uniform_int_distribution<std::size_t> pick(0, ids.size() - 1);
    std::uint32_t r = rng();
    if (r % 8 == 0)
      ids.push_back(g.add(MathLang::make(MathKind::Neg, ids[pick(rng)])));
    else
      ids.push_back(g.add(MathLang::make(binary[r % 4], ids[pick(rng)], ids[pick(rng)])));
  }
}

void BM_AddMillionNodes(benchmark::State& state) {
  std::size_t size = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    EGraph g;
    add_random_nodes(g, 1'000'000, 42);
    size = g.total_size();
    bytes = g.memory_bytes();
    benchmark::DoNotOptimize(size);
  }
  state.counters["memo_entries"] = static_cast<double>(size);
  state.counters["egraph_MiB"] = static_cast<double>(bytes) / (1024.0 * 1024.0);
  state.counters["peak_rss_MiB"] = peak_rss_mib();
}
BENCHMARK(BM_AddMillionNodes)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_UnionsAndRebuild(benchmark::State& state) {
  std::size_t merges = 0;
  for (auto _ : state) {
    state.PauseTiming();
    EGraph g;
    add_random_nodes(g, 200'000, 7);
    g.rebuild();
    std::mt19937 rng(99);
    std::uniform_int_distribution<std::uint32_t> pick(0, static_cast<std::uint32_t>(g.number_of_ids() - 1));
    std::vector<std::pair<Id, Id>> pairs(100'000);
    for (auto& p : pairs) p = {Id{pick(rng)}, Id{pick(rng)}};
    state.ResumeTiming();
    for (const auto& [a, b] : pairs) g.union_classes(a, b);
    merges = g.rebuild();
    benchmark::DoNotOptimize(merges);
  }
  state.counters["congruence_merges"] = static_cast<double>(merges);
  state.counters["peak_rss_MiB"] = peak_rss_mib();
}
BENCHMARK(BM_UnionsAndRebuild)->Unit(benchmark::kMillisecond)->Iterations(5);

std::vector<Rewrite> identity_rules() {
  const char* texts[][3] = {
      {"comm-add", "(+ ?a ?b)", "(+ ?b ?a)"},
      {"comm-add-rev", "(+ ?b ?a)", "(+ ?a ?b)"},
      {"comm-mul", "(* ?a ?b)", "(* ?b ?a)"},
      {"comm-mul-rev", "(* ?b ?a)", "(* ?a ?b)"},
      {"assoc-add", "(+ (+ ?a ?b) ?c)", "(+ ?a (+ ?b ?c))"},
      {"assoc-add-rev", "(+ ?a (+ ?b ?c))", "(+ (+ ?a ?b) ?c)"},
      {"assoc-mul", "(* (* ?a ?b) ?c)", "(* ?a (* ?b ?c))"},
      {"assoc-mul-rev", "(* ?a (* ?b ?c))", "(* (* ?a ?b) ?c)"},
  };
  std::vector<Rewrite> rules;
  for (const auto& t : texts) rules.push_back(std::move(*Rewrite::parse(t[0], t[1], t[2])));
  return rules;
}

// p0*p1 + p2*p3 + ... over 128 parameters: a left-leaning sum of 64 products.
RecExpr sum_of_products(int products) {
  RecExpr e;
  auto param = [&](int k) { return e.add(MathLang::make(MathKind::Param, e.add(MathLang::make_int(k)))); };
  Id sum{};
  for (int i = 0; i < products; ++i) {
    Id a = param(2 * i);
    Id b = param(2 * i + 1);
    Id prod = e.add(MathLang::make(MathKind::Mul, a, b));
    sum = i == 0 ? prod : e.add(MathLang::make(MathKind::Add, sum, prod));
  }
  return e;
}

void BM_SaturateSumOfProducts(benchmark::State& state) {
  const std::vector<Rewrite> rules = identity_rules();
  const RecExpr expr = sum_of_products(64);
  std::size_t size = 0;
  std::size_t classes = 0;
  std::size_t iterations = 0;
  std::size_t bytes = 0;
  std::uint64_t cost = 0;
  for (auto _ : state) {
    Runner runner;
    runner.with_iter_limit(8).with_node_limit(20000).with_expr(expr);
    runner.run(rules);
    Extractor extractor(runner.egraph());
    auto best = extractor.find_best(runner.roots()[0]);
    cost = best.cost;
    size = runner.egraph().total_size();
    classes = runner.egraph().number_of_classes();
    iterations = runner.iterations().size();
    bytes = runner.egraph().memory_bytes();
    benchmark::DoNotOptimize(best);
  }
  state.counters["memo_entries"] = static_cast<double>(size);
  state.counters["classes"] = static_cast<double>(classes);
  state.counters["iterations"] = static_cast<double>(iterations);
  state.counters["cost"] = static_cast<double>(cost);
  state.counters["egraph_KiB"] = static_cast<double>(bytes) / 1024.0;
  state.counters["peak_rss_MiB"] = peak_rss_mib();
}
BENCHMARK(BM_SaturateSumOfProducts)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// Front-end benchmarks: lexing and parsing generated programs of about 1 MB
// and 10 MB in three shapes (one long balanced expression, many assignment
// lines, deep nesting). Throughput is reported as bytes per second; the
// 10 MB / 1 MB time ratio of each shape shows whether the cost is linear.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "parse/lexer.h"
#include "parse/parser.h"

namespace {

using morvalen::parse::parse_dsl_with_errors;

constexpr std::size_t kMB = 1000 * 1000;
constexpr const char* kHeader = "|x: f64, y: f64, n: i32|\n";

double peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// A complete binary tree of operators over a rotating set of leaves.
void balanced_tree(std::string& out, unsigned depth, unsigned& counter) {
  static constexpr const char* kLeaves[] = {"x", "y", "2.5", "3", "exp(x)", "n@f64", "1e-3", "cast<f64>(n)"};
  static constexpr const char* kOps[] = {" + ", " * ", " - ", " / "};
  if (depth == 0) {
    out += kLeaves[counter++ % 8];
    return;
  }
  out += '(';
  balanced_tree(out, depth - 1, counter);
  out += kOps[depth % 4];
  balanced_tree(out, depth - 1, counter);
  out += ')';
}

// One result line holding a long expression made of balanced subtrees.
std::string balanced_program(std::size_t bytes) {
  std::string out = kHeader;
  unsigned counter = 0;
  bool first = true;
  while (out.size() < bytes) {
    if (!first) out += " + ";
    first = false;
    balanced_tree(out, 10, counter);
  }
  out += '\n';
  return out;
}

// Many short assignment lines, then the result.
std::string lines_program(std::size_t bytes) {
  std::string out = kHeader;
  std::size_t i = 0;
  while (out.size() < bytes) {
    out += "v = v * x + y ** 2.0 - ";
    out += std::to_string(i++);
    out += "  # step\n";
  }
  out += "v\n";
  return out;
}

// Parentheses nested as deep as the size allows: (x * 2.0 + (x * 2.0 + ... )).
std::string deep_program(std::size_t bytes) {
  constexpr std::string_view kLevel = "(x * 2.0 + ";
  std::size_t levels = bytes / (kLevel.size() + 1);
  std::string out = kHeader;
  out.reserve(bytes + 64);
  for (std::size_t i = 0; i < levels; ++i) out += kLevel;
  out += 'y';
  out.append(levels, ')');
  out += '\n';
  return out;
}

std::string make(int shape, std::size_t bytes) {
  switch (shape) {
    case 0:
      return balanced_program(bytes);
    case 1:
      return lines_program(bytes);
    default:
      return deep_program(bytes);
  }
}

void BM_ParseProgram(benchmark::State& state) {
  const std::string src = make(static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1)) * kMB);
  for (auto _ : state) {
    auto result = parse_dsl_with_errors(src);
    if (!result) state.SkipWithError("program did not parse");
    benchmark::DoNotOptimize(result);
    // Dropping the tree is the caller's business, not parsing: keep it out of
    // the timed region.
    state.PauseTiming();
    { auto dropped = std::move(result); }
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * src.size()));
  state.counters["MiB_peak_rss"] = peak_rss_mib();
}

void BM_LexOnly(benchmark::State& state) {
  const std::string src = balanced_program(static_cast<std::size_t>(state.range(0)) * kMB);
  const std::string_view body = std::string_view(src).substr(src.find('\n') + 1);
  for (auto _ : state) {
    auto lexed = morvalen::parse::lex_compact(body, 0);
    if (!lexed.errors.empty()) state.SkipWithError("lex error");
    benchmark::DoNotOptimize(lexed);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}

void shapes(benchmark::internal::Benchmark* b) {
  b->ArgNames({"shape", "MB"});
  for (int shape = 0; shape < 3; ++shape) {
    b->Args({shape, 1});
    b->Args({shape, 10});
  }
}

BENCHMARK(BM_ParseProgram)->Apply(shapes)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_LexOnly)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

// `--keep_freed_memory` asks the allocator to keep freed memory mapped (no
// trimming, no separate mappings for big blocks). Every iteration then runs
// on pages that are already mapped, at 1 MB and at 10 MB alike, so the time
// ratio shows the parser's own scaling rather than the kernel's page faults.
int main(int argc, char** argv) {
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--keep_freed_memory") {
      mallopt(M_MMAP_THRESHOLD, 1 << 30);
      mallopt(M_TRIM_THRESHOLD, -1);
      mallopt(M_TOP_PAD, 64 << 20);
      continue;
    }
    args.push_back(argv[i]);
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

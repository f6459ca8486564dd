// The wildcard matcher against the plain recursive form it replaces, on the longest texts
// the system meets (259 characters) and on the patterns that make backtracking expensive,
// against a run of 259 'a's that they never match:
//   - k stars between single letters, "*a*a...*a*b": the recursion tries about 259^k / k!
//     positions, so it is measured only up to three stars;
//   - one star before a long literal tail, "*aaa...ab": the bounded matcher's worst case,
//     where every retry compares the whole tail again (pattern x text).
#include <benchmark/benchmark.h>

#include <string>

#include "sim/sim.h"
#include "unit/wildcard_reference.h"
#include "volumes/wildcard.h"

namespace {

std::u16string StarPattern(int stars) {
  std::u16string pattern;
  for (int i = 0; i < stars; ++i) pattern += u"*a";
  return pattern + u"*b";
}

std::u16string TailPattern(int letters) { return u"*" + std::u16string(letters, u'a') + u"b"; }

const std::u16string LongRun(259, u'a');

LPCWSTR W(const std::u16string& text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }

void Bounded(benchmark::State& state, std::u16string (*makePattern)(int)) {
  std::u16string pattern = makePattern(static_cast<int>(state.range(0)));
  bool ignoreCase = state.range(1) != 0;
  // Without the call log a simulated CharUpperW only counts itself, so the figures are the
  // matcher's own.
  SimSetCallLog(false);
  SimReset();
  for (auto _ : state) {
    benchmark::DoNotOptimize(MatchWildcard(W(pattern), W(LongRun), ignoreCase));
  }
  state.SetLabel(std::to_string(pattern.size()) + "-char pattern, 259-char text");
}

void Recursive(benchmark::State& state, std::u16string (*makePattern)(int)) {
  std::u16string pattern = makePattern(static_cast<int>(state.range(0)));
  bool ignoreCase = state.range(1) != 0;
  SimSetCallLog(false);
  SimReset();
  for (auto _ : state) {
    benchmark::DoNotOptimize(reference::Match(W(pattern), W(LongRun), ignoreCase));
  }
  state.SetLabel(std::to_string(pattern.size()) + "-char pattern, 259-char text");
}

// What the program matches day to day: short templates against paths and volume names.
void Typical(benchmark::State& state) {
  const std::u16string pattern = u"D:\\Data\\*";
  const std::u16string text = u"D:\\Data\\Mount";
  const std::u16string volumePattern = u"\\\\?\\Volume{*}\\";
  const std::u16string volume = u"\\\\?\\Volume{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}\\";
  bool bounded = state.range(0) != 0;
  for (auto _ : state) {
    if (bounded) {
      benchmark::DoNotOptimize(MatchWildcard(W(pattern), W(text), false));
      benchmark::DoNotOptimize(MatchWildcard(W(volumePattern), W(volume), false));
    } else {
      benchmark::DoNotOptimize(reference::Match(W(pattern), W(text), false));
      benchmark::DoNotOptimize(reference::Match(W(volumePattern), W(volume), false));
    }
  }
}

}  // namespace

// Arguments: the number of stars (or of tail letters), and whether case is ignored.
BENCHMARK_CAPTURE(Bounded, Stars, StarPattern)->ArgsProduct({{1, 2, 3, 10, 40, 128}, {0, 1}});
BENCHMARK_CAPTURE(Recursive, Stars, StarPattern)
    ->ArgsProduct({{1, 2, 3}, {0}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Recursive, Stars, StarPattern)->Args({1, 1})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Bounded, Tail, TailPattern)->ArgsProduct({{16, 64, 128, 256}, {0, 1}});
BENCHMARK_CAPTURE(Recursive, Tail, TailPattern)->ArgsProduct({{16, 64, 128, 256}, {0}});
BENCHMARK(Typical)->Arg(1)->Arg(0);

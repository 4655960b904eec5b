// The caller's access level: the user and group look-ups made for every
// request object that is executed, through whatever user database the
// process is given (nss_wrapper files, or the machine's nsswitch).
#include <benchmark/benchmark.h>

#include "best_of.h"
#include "zucgijson.h"

namespace {

void BM_AccessLevel(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(get_access_level());
  state.counters["level"] = get_access_level();
}
BENCHMARK(BM_AccessLevel)->ComputeStatistics("best", best_of);

}  // namespace

BENCHMARK_MAIN();

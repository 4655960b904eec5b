// Cost of one request through the engine: a setViewMode-like call with a
// trivial handler, the built-in getSupportedVersions and a 100-element batch.
#include <benchmark/benchmark.h>

#include <string>

#include "zucgijson.h"

namespace {

constexpr ApiVersion kV1{1, 0};
const ApiVersion *const kVersions[] = {&kV1, nullptr};

gboolean set_mode(json_t *params, json_t **) {
  return json_is_string(json_object_get(params, "viewMode"));
}

constexpr MethodDescriptor kSetMode{0, set_mode}, kBuiltin{0, nullptr};
const MethodDescriptor *set_mode_lookup(guint32) { return &kSetMode; }
const MethodDescriptor *builtin_lookup(guint32) { return &kBuiltin; }
constexpr MethodEntry kSetModeEntry{"setViewMode", set_mode_lookup},
    kBuiltinEntry{"getSupportedVersions", builtin_lookup};
const MethodEntry *const kMethods[] = {&kBuiltinEntry, &kSetModeEntry, nullptr};

const std::string kSetRequest =
    R"({"apiVersion": "1.0", "context": "bench", "method": "setViewMode", "params": {"viewMode": "quad"}})";

void run(benchmark::State &state, const std::string &payload) {
  for (auto _ : state) {
    gchar *out = nullptr;
    zucgi_handle_request(kVersions, kMethods, nullptr, "POST", payload.c_str(), &out);
    benchmark::DoNotOptimize(out);
    g_free(out);
  }
}

void BM_SetViewMode(benchmark::State &state) { run(state, kSetRequest); }
BENCHMARK(BM_SetViewMode);

void BM_GetSupportedVersions(benchmark::State &state) {
  run(state, R"({"method": "getSupportedVersions", "context": "bench"})");
}
BENCHMARK(BM_GetSupportedVersions);

void BM_Batch100(benchmark::State &state) {
  std::string batch = "[";
  for (int i = 0; i < 100; i++) batch += (i ? ", " : "") + kSetRequest;
  run(state, batch + "]");
  state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_Batch100);

// The user and group look-ups made for every request that is executed.
void BM_AccessLevel(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(get_access_level());
}
BENCHMARK(BM_AccessLevel);

}  // namespace

BENCHMARK_MAIN();

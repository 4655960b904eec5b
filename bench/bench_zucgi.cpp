// Cost of one request through the engine, each next to its floor: what
// jansson alone takes to parse and render the same answer (json_loads of the
// answer's text, json_dumps of it). The caller's user and group look-up is
// left out here (lookup_stub.cpp answers it at once); bench_access measures
// it on its own.
#include <benchmark/benchmark.h>

#include <string>

#include "best_of.h"
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
const std::string kGetSupportedVersions = R"({"method": "getSupportedVersions", "context": "bench"})";
const std::string kInvalid = R"({"method": "getSupportedVersions", "context": )";

std::string batch_of_100() {
  std::string batch = "[";
  for (int i = 0; i < 100; i++) batch += (i ? ", " : "") + kSetRequest;
  return batch + "]";
}

std::string engine_reply(const std::string &payload) {
  gchar *out = nullptr;
  zucgi_handle_request(kVersions, kMethods, nullptr, "POST", payload.c_str(), &out);
  std::string reply = out ? out : "";
  g_free(out);
  return reply;
}

void engine(benchmark::State &state, const std::string &payload) {
  for (auto _ : state) {
    gchar *out = nullptr;
    zucgi_handle_request(kVersions, kMethods, nullptr, "POST", payload.c_str(), &out);
    benchmark::DoNotOptimize(out);
    g_free(out);
  }
}

// The answer's JSON text: the reply without its header lines and line end.
std::string answer_json(const std::string &payload) {
  const std::string reply = engine_reply(payload);
  const size_t start = reply.find("\r\n\r\n") + 4;
  return reply.substr(start, reply.size() - start - 2);
}

void floor(benchmark::State &state, const std::string &payload) {
  const std::string answer = answer_json(payload);
  {
    // The floor must render the very bytes the engine sends.
    json_t *value = json_loads(answer.c_str(), 0, nullptr);
    char *text = json_dumps(value, JSON_PRESERVE_ORDER);
    if (answer != text) state.SkipWithError("jansson renders the answer differently");
    free(text);
    json_decref(value);
  }
  for (auto _ : state) {
    json_t *value = json_loads(answer.c_str(), 0, nullptr);
    char *text = json_dumps(value, JSON_PRESERVE_ORDER);
    benchmark::DoNotOptimize(text);
    free(text);
    json_decref(value);
  }
}

void BM_Engine_GetSupportedVersions(benchmark::State &s) { engine(s, kGetSupportedVersions); }
void BM_Floor_GetSupportedVersions(benchmark::State &s) { floor(s, kGetSupportedVersions); }
void BM_Engine_Batch100(benchmark::State &s) { engine(s, batch_of_100()); }
void BM_Floor_Batch100(benchmark::State &s) { floor(s, batch_of_100()); }
void BM_Engine_InvalidJson(benchmark::State &s) { engine(s, kInvalid); }
void BM_Floor_InvalidJson(benchmark::State &s) { floor(s, kInvalid); }

BENCHMARK(BM_Engine_GetSupportedVersions)->ComputeStatistics("best", best_of);
BENCHMARK(BM_Floor_GetSupportedVersions)->ComputeStatistics("best", best_of);
BENCHMARK(BM_Engine_Batch100)->ComputeStatistics("best", best_of);
BENCHMARK(BM_Floor_Batch100)->ComputeStatistics("best", best_of);
BENCHMARK(BM_Engine_InvalidJson)->ComputeStatistics("best", best_of);
BENCHMARK(BM_Floor_InvalidJson)->ComputeStatistics("best", best_of);

}  // namespace

BENCHMARK_MAIN();

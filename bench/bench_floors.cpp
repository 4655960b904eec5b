// Floors of the service's round trips, measured without the service:
// - the four sequential GetAutoRotation calls a view mode decision makes,
//   from a plain GDBus client on the bus named by DBUS_SYSTEM_BUS_ADDRESS;
// - the file reads and saves one switch makes on the simulated camera
//   (video system and parameter state read twice and saved, key file
//   saved), on copies of those files in BENCH_STATE_DIR.
// Each reports the median of its iterations as "median_us", to stand next
// to the round trip's median: a busy machine's stalls land in the tail.
#include <benchmark/benchmark.h>
#include <gio/gio.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void report_median(benchmark::State &state, std::vector<double> &times_us) {
  if (times_us.empty()) return;
  std::nth_element(times_us.begin(), times_us.begin() + times_us.size() / 2, times_us.end());
  state.counters["median_us"] = times_us[times_us.size() / 2];
}

double us_since(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

constexpr char kBusName[] = "com.zuvia.Positioning.AutoRotation";
constexpr const char *kChannelPaths[] = {
    "/com/zuvia/Positioning/AutoRotation/0",
    "/com/zuvia/Positioning/AutoRotation/1",
    "/com/zuvia/Positioning/AutoRotation/2",
    "/com/zuvia/Positioning/AutoRotation/3",
};

gboolean get_rotation(GDBusConnection *bus, const char *path, gint32 *degrees) {
  g_autoptr(GVariant) reply =
      g_dbus_connection_call_sync(bus, kBusName, path, kBusName, "GetAutoRotation",
                                  g_variant_new("()"), nullptr, G_DBUS_CALL_FLAGS_NONE, -1,
                                  nullptr, nullptr);
  if (!reply) return FALSE;
  g_variant_get(reply, "(i)", degrees);
  return TRUE;
}

void BM_FourRotationCalls(benchmark::State &state) {
  if (!g_getenv("DBUS_SYSTEM_BUS_ADDRESS")) return state.SkipWithError("no bus");
  g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
  if (!bus) return state.SkipWithError("cannot connect");
  std::vector<double> times_us;
  for (auto _ : state) {
    const auto start = Clock::now();
    for (const char *path : kChannelPaths) {
      gint32 degrees = 0;
      if (!get_rotation(bus, path, &degrees)) return state.SkipWithError("call failed");
      benchmark::DoNotOptimize(degrees);
    }
    times_us.push_back(us_since(start));
  }
  report_median(state, times_us);
}
BENCHMARK(BM_FourRotationCalls)->UseRealTime();

// Reads a state file twice, changes one value and saves it, as the
// stand-ins do in one switch.
bool load(GKeyFile *file, const std::string &path) {
  return g_key_file_load_from_file(file, path.c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr);
}

bool read_twice_and_save(const std::string &path, const char *group, const char *key,
                         const char *value) {
  g_autoptr(GKeyFile) first = g_key_file_new();
  g_autoptr(GKeyFile) second = g_key_file_new();
  if (!load(first, path) || !load(second, path)) return false;
  g_key_file_set_string(second, group, key, value);
  return g_key_file_save_to_file(second, path.c_str(), nullptr);
}

void BM_SwitchFiles(benchmark::State &state) {
  const char *dir = g_getenv("BENCH_STATE_DIR");
  if (!dir) return state.SkipWithError("no BENCH_STATE_DIR");
  const std::string ocul = std::string(dir) + "/ocul.conf";
  const std::string param = std::string(dir) + "/parameters.conf";
  const std::string key = std::string(dir) + "/localdata/panetessel.conf";
  bool quad = false;
  std::vector<double> times_us;
  for (auto _ : state) {
    const auto start = Clock::now();
    quad = !quad;
    g_autoptr(GKeyFile) stored = g_key_file_new();
    g_key_file_set_string(stored, "general", "view_mode", quad ? "quad" : "single");
    if (!read_twice_and_save(ocul, "mode", "view_mode.name", quad ? "quad" : "single") ||
        !read_twice_and_save(param, "parameters", "root.Image.I4.Enabled", quad ? "yes" : "no") ||
        !g_key_file_save_to_file(stored, key.c_str(), nullptr))
      return state.SkipWithError("file read or save failed");
    times_us.push_back(us_since(start));
  }
  report_median(state, times_us);
}
BENCHMARK(BM_SwitchFiles)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

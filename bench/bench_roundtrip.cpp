// A round trip to the service on the simulated camera next to its floor,
// taken in turn so that both meet the same load on the machine:
//   bench_roundtrip PORT ROUNDS info    getViewModeInfo over HTTP, then the
//       four GetAutoRotation calls it makes, from a plain GDBus client on
//       the bus named by DBUS_SYSTEM_BUS_ADDRESS;
//   bench_roundtrip PORT ROUNDS switch  setViewMode, quad and single in turn,
//       then the file reads and saves one switch makes on the simulated
//       camera (video system and parameter state read twice and saved, key
//       file saved), on copies of those files in BENCH_STATE_DIR;
//   bench_roundtrip PORT ROUNDS auth|auth-new AUTH_PORT USER PASSWORD
//       getViewModeInfo to the front on AUTH_PORT with Digest, then the same
//       to PORT without: auth over one kept-alive connection each, one
//       challenge and then its nonce counted on; auth-new on a new
//       connection a call, as curl --digest does it (the challenge, then
//       the answer).
// Every answer is checked byte for byte. Prints the medians in
// microseconds: "service_us=X floor_us=X wrong=N".
#include <gio/gio.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http_client.h"

namespace {

using Clock = std::chrono::steady_clock;

// --- the service, over one kept-alive connection ---------------------------

// POSTs body and returns the answer's body ("" when there is none).
std::string post(pts_test::HttpClient &http, const std::string &body,
                 const std::string &authorization = "") {
  std::string headers = "Host: 127.0.0.1\r\nContent-Type: application/json\r\n";
  if (!authorization.empty()) headers += "Authorization: " + authorization + "\r\n";
  http.send(pts_test::http_request("POST", pts_test::kApiPath, body, headers));
  return http.read_answer().body;
}

// A nonce of the front on port, from a challenge on a connection of its own
// (the front closes the connection after a 401 to a POST).
std::string nonce_of(int port) {
  pts_test::HttpClient http(port);
  http.send(pts_test::http_request("POST", pts_test::kApiPath, "", "Host: 127.0.0.1\r\n"));
  return pts_test::challenge_param(http.read_answer().headers["www-authenticate"], "nonce");
}

// --- the floors --------------------------------------------------------------

constexpr char kBusName[] = "com.zuvia.Positioning.AutoRotation";
constexpr const char *kChannelPaths[] = {
    "/com/zuvia/Positioning/AutoRotation/0",
    "/com/zuvia/Positioning/AutoRotation/1",
    "/com/zuvia/Positioning/AutoRotation/2",
    "/com/zuvia/Positioning/AutoRotation/3",
};

bool four_rotation_calls(GDBusConnection *bus) {
  for (const char *path : kChannelPaths) {
    g_autoptr(GVariant) reply =
        g_dbus_connection_call_sync(bus, kBusName, path, kBusName, "GetAutoRotation",
                                    g_variant_new("()"), nullptr, G_DBUS_CALL_FLAGS_NONE, -1,
                                    nullptr, nullptr);
    if (!reply) return false;
  }
  return true;
}

bool load(GKeyFile *file, const std::string &path) {
  return g_key_file_load_from_file(file, path.c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr);
}

// Reads a state file twice, changes one value and saves it, as the
// stand-ins do in one switch.
bool read_twice_and_save(const std::string &path, const char *group, const char *key,
                         const char *value) {
  g_autoptr(GKeyFile) first = g_key_file_new();
  g_autoptr(GKeyFile) second = g_key_file_new();
  if (!load(first, path) || !load(second, path)) return false;
  g_key_file_set_string(second, group, key, value);
  return g_key_file_save_to_file(second, path.c_str(), nullptr);
}

bool switch_files(const std::string &dir, bool quad) {
  g_autoptr(GKeyFile) stored = g_key_file_new();
  g_key_file_set_string(stored, "general", "view_mode", quad ? "quad" : "single");
  return read_twice_and_save(dir + "/ocul.conf", "mode", "view_mode.name",
                             quad ? "quad" : "single") &&
         read_twice_and_save(dir + "/parameters.conf", "parameters", "root.Image.I4.Enabled",
                             quad ? "yes" : "no") &&
         g_key_file_save_to_file(stored, (dir + "/localdata/panetessel.conf").c_str(), nullptr);
}

// --- taking turns --------------------------------------------------------------

double us_of(const std::function<bool()> &step, bool *ok) {
  const auto start = Clock::now();
  *ok = step();
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

double median(std::vector<double> &times) {
  std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
  return times[times.size() / 2];
}

constexpr char kInfo[] = R"({"method": "getViewModeInfo", "apiVersion": "1.0"})";
constexpr char kInfoAnswer[] =
    R"({"apiVersion": "1.0", "method": "getViewModeInfo", "data": {"current": "single", "viewModes": ["single", "quad"]}})"
    "\r\n";

int authenticated(int open_port, int port, const char *user, const char *password, int rounds,
                  bool kept) {
  using Client = std::unique_ptr<pts_test::HttpClient>;
  std::string nonce = nonce_of(port);
  Client guarded = std::make_unique<pts_test::HttpClient>(port);
  Client open = std::make_unique<pts_test::HttpClient>(open_port);
  auto answer = [&](int count) {
    return pts_test::digest_authorization(user, password, "POST", pts_test::kApiPath, nonce, count);
  };
  std::vector<double> service, floor;
  int wrong = 0;
  bool ok = false;
  for (int i = 1; i <= rounds; i++) {
    std::string authorization = kept ? answer(i) : "";
    service.push_back(us_of(
        [&] {
          if (!kept) {
            nonce = nonce_of(port);
            authorization = answer(1);
            guarded = std::make_unique<pts_test::HttpClient>(port);
          }
          return post(*guarded, kInfo, authorization) == kInfoAnswer;
        },
        &ok));
    wrong += !ok;
    floor.push_back(us_of(
        [&] {
          if (!kept) open = std::make_unique<pts_test::HttpClient>(open_port);
          return post(*open, kInfo) == kInfoAnswer;
        },
        &ok));
    wrong += !ok;
  }
  std::printf("service_us=%.0f floor_us=%.0f wrong=%d\n", median(service), median(floor), wrong);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  const bool auth = argc == 7 && g_str_has_prefix(argv[3], "auth");
  const bool info = auth || (argc == 4 && std::strcmp(argv[3], "info") == 0);
  if (!auth && (argc != 4 || (!info && std::strcmp(argv[3], "switch") != 0))) {
    std::fprintf(stderr,
                 "usage: bench_roundtrip PORT ROUNDS info|switch|auth|auth-new AUTH_PORT USER "
                 "PASSWORD\n");
    return 2;
  }
  const int rounds = std::atoi(argv[2]);
  if (auth)
    return authenticated(std::atoi(argv[1]), std::atoi(argv[4]), argv[5], argv[6], rounds,
                         std::strcmp(argv[3], "auth") == 0);
  pts_test::HttpClient http(std::atoi(argv[1]));
  g_autoptr(GDBusConnection) bus = info ? g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr)
                                        : nullptr;
  const char *dir = g_getenv("BENCH_STATE_DIR");
  if (!http.connected() || (info && bus == nullptr) || (!info && dir == nullptr)) {
    std::fprintf(stderr, "bench_roundtrip: no service, no bus or no BENCH_STATE_DIR\n");
    return 1;
  }

  std::vector<double> service, floor;
  int wrong = 0;
  for (int i = 0; i < rounds; i++) {
    const bool quad = i % 2 == 0;
    const std::string body =
        info ? kInfo
             : std::string(R"({"method": "setViewMode", "apiVersion": "1.0", "params": {"value": ")") +
                   (quad ? "quad" : "single") + "\"}}";
    const std::string expected =
        info ? kInfoAnswer : "{\"apiVersion\": \"1.0\", \"method\": \"setViewMode\", \"data\": {}}\r\n";
    bool ok = false;
    service.push_back(us_of([&] { return post(http, body) == expected; }, &ok));
    wrong += !ok;
    floor.push_back(us_of([&] { return info ? four_rotation_calls(bus) : switch_files(dir, quad); },
                          &ok));
    if (!ok) {
      std::fprintf(stderr, "bench_roundtrip: the floor failed\n");
      return 1;
    }
  }
  // A switch round leaves the service in single again: an even count.
  if (!info && rounds % 2 != 0) post(http, R"({"method": "setViewMode", "apiVersion": "1.0", "params": {"value": "single"}})");
  std::printf("service_us=%.0f floor_us=%.0f wrong=%d\n", median(service), median(floor), wrong);
  return 0;
}

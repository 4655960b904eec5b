// A round trip to the service on the simulated camera next to its floor,
// taken in turn so that both meet the same load on the machine:
//   bench_roundtrip PORT ROUNDS info    getViewModeInfo over HTTP, then the
//       four GetAutoRotation calls it makes, from a plain GDBus client on
//       the bus named by DBUS_SYSTEM_BUS_ADDRESS;
//   bench_roundtrip PORT ROUNDS switch  setViewMode, quad and single in turn,
//       then the file reads and saves one switch makes on the simulated
//       camera (video system and parameter state read twice and saved, key
//       file saved), on copies of those files in BENCH_STATE_DIR;
//   bench_roundtrip SOCKET ROUNDS front|front-new FRONT_URL USER PASSWORD CAFILE
//       getViewModeInfo through the camera's web server at FRONT_URL (https,
//       Digest SHA-256, trusting CAFILE) and straight to the service on the
//       Unix socket the web server hands it its requests on, in turn, both
//       from libcurl: front over one kept-alive handle each (the nonce
//       counted on after the first challenge); front-new a new handle a
//       call, so a TLS handshake, a 401 and the answer, as curl --digest
//       does.
// Every answer is checked byte for byte. Prints the medians in
// microseconds: "service_us=X floor_us=X wrong=N" (info, switch) or
// "front_us=X straight_us=X wrong=N calls=N challenges=N connections=N"
// (the front's calls, the 401s they met, the connections they opened).
#include <curl/curl.h>
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
std::string post(pts_test::HttpClient &http, const std::string &body) {
  http.send(pts_test::http_request("POST", pts_test::kApiPath, body,
                                   "Host: 127.0.0.1\r\nContent-Type: application/json\r\n"));
  return http.read_answer().body;
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

// --- the front and the straight route, from one client ------------------------

size_t keep_body(char *data, size_t size, size_t count, void *body) {
  static_cast<std::string *>(body)->append(data, size * count);
  return size * count;
}

// Counts the 401s among the answers' status lines (a line comes without
// its terminating NUL).
size_t see_header(char *data, size_t size, size_t count, void *challenges) {
  const std::string line(data, size * count);
  int status = 0;
  if (line.starts_with("HTTP/") && std::sscanf(line.c_str(), "HTTP/%*s %d", &status) == 1 &&
      status == 401)
    ++*static_cast<int *>(challenges);
  return size * count;
}

struct CurlFree {
  void operator()(CURL *curl) const { curl_easy_cleanup(curl); }
  void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};

struct Front {
  std::string url, user, password, cafile;
};

// What a route's calls met: the 401s among them, the connections opened.
struct Tally {
  int calls = 0, challenges = 0;
  long connections = 0;
};

// One libcurl handle posting getViewModeInfo: straight to the service on a
// Unix socket, or to the front with its password. It keeps its connection
// (and its Digest nonce) from call to call.
class Route {
 public:
  Route(const std::string &socket_path, Tally *tally) : Route(tally) {
    curl_easy_setopt(curl_.get(), CURLOPT_URL, "http://127.0.0.1/panetessel/api");
    curl_easy_setopt(curl_.get(), CURLOPT_UNIX_SOCKET_PATH, socket_path.c_str());
  }
  Route(const Front &front, Tally *tally) : Route(tally) {
    curl_easy_setopt(curl_.get(), CURLOPT_URL, front.url.c_str());
    curl_easy_setopt(curl_.get(), CURLOPT_CAINFO, front.cafile.c_str());
    curl_easy_setopt(curl_.get(), CURLOPT_HTTPAUTH, CURLAUTH_DIGEST);
    curl_easy_setopt(curl_.get(), CURLOPT_USERNAME, front.user.c_str());
    curl_easy_setopt(curl_.get(), CURLOPT_PASSWORD, front.password.c_str());
  }

  // Whether the answer was a 200 with the expected body.
  bool call() {
    body_.clear();
    long status = 0, connects = 0;
    const bool done = curl_easy_perform(curl_.get()) == CURLE_OK;
    curl_easy_getinfo(curl_.get(), CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(curl_.get(), CURLINFO_NUM_CONNECTS, &connects);
    tally_->connections += connects;
    tally_->calls++;
    return done && status == 200 && body_ == kInfoAnswer;
  }

 private:
  explicit Route(Tally *tally)
      : curl_(curl_easy_init()),
        headers_(curl_slist_append(nullptr, "Content-Type: application/json")),
        tally_(tally) {
    CURL *curl = curl_.get();
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");  // loopback: no proxy of the environment's
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers_.get());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, kInfo);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, keep_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body_);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, see_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &tally->challenges);
  }

  std::unique_ptr<CURL, CurlFree> curl_;
  std::unique_ptr<curl_slist, CurlFree> headers_;
  std::string body_;
  Tally *tally_;
};

// The two routes in turn, which one first alternating; kept: one handle
// each for the whole run, after a call each that is not timed (the TLS
// handshake and the challenge); otherwise a new handle a call.
int front_and_straight(const std::string &socket_path, const Front &front, int rounds,
                       bool kept) {
  Tally front_tally, straight_tally;
  auto open = [&](bool to_front) {
    return to_front ? std::make_unique<Route>(front, &front_tally)
                    : std::make_unique<Route>(socket_path, &straight_tally);
  };
  std::unique_ptr<Route> front_route, straight_route;
  int wrong = 0;
  if (kept) {
    front_route = open(true);
    straight_route = open(false);
    wrong += !front_route->call() + !straight_route->call();
  }

  std::vector<double> front_us, straight_us;
  for (int i = 0; i < rounds; i++) {
    for (int turn = 0; turn < 2; turn++) {
      const bool to_front = (i + turn) % 2 == 0;
      auto &route = to_front ? front_route : straight_route;
      if (!kept) route.reset();  // the last call's connection closes before the clock starts
      bool ok = false;
      const double us = us_of(
          [&] {
            if (!route) route = open(to_front);
            return route->call();
          },
          &ok);
      (to_front ? front_us : straight_us).push_back(us);
      wrong += !ok;
    }
  }
  std::printf(
      "front_us=%.0f straight_us=%.0f wrong=%d calls=%d challenges=%d connections=%ld\n",
      median(front_us), median(straight_us), wrong, front_tally.calls, front_tally.challenges,
      front_tally.connections);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  const bool front = argc == 8 && std::strcmp(argv[3], "front") == 0;
  if (front || (argc == 8 && std::strcmp(argv[3], "front-new") == 0)) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const int status = front_and_straight(argv[1], Front{argv[4], argv[5], argv[6], argv[7]},
                                          std::atoi(argv[2]), front);
    curl_global_cleanup();
    return status;
  }
  const bool info = argc == 4 && std::strcmp(argv[3], "info") == 0;
  if (argc != 4 || (!info && std::strcmp(argv[3], "switch") != 0)) {
    std::fprintf(stderr,
                 "usage: bench_roundtrip PORT ROUNDS info|switch\n"
                 "       bench_roundtrip SOCKET ROUNDS front|front-new FRONT_URL USER PASSWORD "
                 "CAFILE\n");
    return 2;
  }
  const int rounds = std::atoi(argv[2]);
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

// The HTTP stand-in, seen from a client on raw sockets so every byte counts.
#include <gio/gio.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "http_client.h"
#include "log_capture.h"
#include "sim_state.h"
#include "zuhttp.h"
#include "zulog.h"

namespace {

using namespace std::string_literals;

constexpr size_t kMiB = 1024 * 1024;

using pts_test::http_request;
using pts_test::HttpAnswer;
using pts_test::HttpClient;
using pts_test::TempDir;

std::string chunked_request(size_t total, size_t chunk) {
  std::string text =
      "POST /panetessel/api HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (size_t sent = 0; sent < total; sent += chunk) {
    size_t n = std::min(chunk, total - sent);
    char size_line[32];
    g_snprintf(size_line, sizeof size_line, "%zx\r\n", n);
    text += size_line + std::string(n, 'c') + "\r\n";
  }
  return text + "0\r\n\r\n";
}

// Runs `client` on its own thread while this thread serves the main loop.
template <typename F>
auto run_client(F &&client) -> decltype(client()) {
  std::atomic<bool> done{false};
  decltype(client()) result{};
  std::thread thread([&] {
    result = client();
    done = true;
    g_main_context_wakeup(nullptr);
  });
  while (!done) g_main_context_iteration(nullptr, TRUE);
  thread.join();
  return result;
}

// One request on a connection of its own, from a client thread.
HttpAnswer send_and_read(int port, const std::string &request) {
  HttpClient client(port);
  client.send(request);
  return client.read_answer();
}

// The same from this thread, which serves the main loop meanwhile.
HttpAnswer round_trip(int port, const std::string &request) {
  return run_client([&] { return send_and_read(port, request); });
}

std::string read_file(const std::string &path) { return pts_test::read_file(path).value_or(""); }

guint16 url_port(const std::string &url) {
  g_autoptr(GUri) uri = g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, nullptr);
  return uri ? g_uri_get_port(uri) : 0;
}

struct Call {
  std::string method;
  std::optional<std::string> body;
  std::optional<std::string> query;
  bool had_request;
};

class ZuHttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_setenv("ZU_HTTP_LISTEN", "127.0.0.1:0", TRUE);
    g_setenv("ZU_HTTP_READY_FILE", dir_.file("ready").c_str(), TRUE);
    handler_ = zu_http_handler_new(&ZuHttpTest::on_request, this);
    ASSERT_NE(handler_, nullptr);
    port_ = url_port(read_file(dir_.file("ready")));
    ASSERT_NE(port_, 0);
  }
  void TearDown() override {
    zu_http_handler_free(handler_);
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
  }

  static void on_request(gpointer request, const gchar *method, const gchar *body,
                         const gchar *query, GOutputStream *output, gpointer self_ptr) {
    auto *self = static_cast<ZuHttpTest *>(self_ptr);
    self->calls_.push_back({method, body ? std::optional<std::string>(body) : std::nullopt,
                            query ? std::optional<std::string>(query) : std::nullopt,
                            request != nullptr});
    if (self->during_call_) self->during_call_();
    g_output_stream_write_all(output, self->answer_.data(), self->answer_.size(), nullptr, nullptr,
                              nullptr);
  }

  TempDir dir_;
  ZuHttpHandler *handler_ = nullptr;
  guint16 port_ = 0;
  std::vector<Call> calls_;
  std::string answer_ = "Status: 200 OK\r\nContent-Type: application/json\r\n\r\n{}\r\n";
  std::function<void()> during_call_;
};

TEST_F(ZuHttpTest, TurnsTheCgiAnswerIntoTheHttpAnswer) {
  // Without an answer of its own a row is a 500 with no body.
  struct Case {
    std::string answer;
    std::string problem = "";  // the malformed-answer log line's reason, if any
    int status = 500;
    std::string reason = "Internal Server Error";
    std::map<std::string, std::string> headers = {};
    std::string body = "";
  } cases[] = {
      {"Status: 200 OK\r\nContent-Type: application/json\r\n\r\n{\"context\": \"100% %s\"}\r\n", "",
       200, "OK", {{"content-type", "application/json"}}, "{\"context\": \"100% %s\"}\r\n"},
      {"Status: 201 Created\r\nX-Extra:  a b \r\n\r\nhi", "", 201, "Created", {{"x-extra", "a b"}},
       "hi"},
      {"Status: 404\n\n", "", 404, "Not Found"},
      {"Status: 200 OK\r\nAccess-Control-Allow-Origin: *\r\naccess-control-max-age: 1\r\n\r\n", "",
       200, "OK", {{"access-control-allow-origin", ""}, {"access-control-max-age", ""}}},
      {"Status: 200 OK\r\nContent-Length: 999\r\n\r\nabc", "", 200, "OK", {{"content-length", "3"}},
       "abc"},
      {"Status: 200 OK\r\n\r\na\0b\r\n\r\nc"s, "", 200, "OK", {}, "a\0b\r\n\r\nc"s},
      {"Status: 500 Internal Server Error\r\n\r\n"},
      {""},
      {"Content-Type: text/plain\r\n\r\nx", "no Status line"},
      {"Status: 200 OK\r\nContent-Type: text/plain", "no blank line after the header lines"},
      {"Status: 2000 OK\r\n\r\n", "a Status line without a valid status code"},
      {"Status: 100 Continue\r\n\r\n", "a Status line without a valid status code"},
      {"Status: 200 OK\r\nBad Name: x\r\n\r\n", "a header line without a name"},
      {"Status: 200 OK\r\nX-A: a\rb\r\n\r\n", "a control character in a header value"},
      {"Status: 200 OK\r\nStatus: 201 Created\r\n\r\n", "two Status lines"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.answer));
    pts_test::LogCapture log;
    answer_ = c.answer;
    HttpAnswer r = round_trip(port_, http_request("POST", "/panetessel/api", "{}"));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.reason, c.reason);
    EXPECT_EQ(r.body, c.body);
    for (const auto &[name, value] : c.headers) EXPECT_EQ(r.headers[name], value) << name;
    EXPECT_EQ(r.headers["content-length"], std::to_string(c.body.size()));
    if (c.problem.empty())
      EXPECT_TRUE(log.lines().empty()) << log.dump();
    else
      EXPECT_TRUE(log.contains(G_LOG_LEVEL_WARNING,
                               "zuhttp: malformed answer (" + c.problem + "); sending 500"))
          << log.dump();
  }
}

TEST_F(ZuHttpTest, DeliversEveryMethodWithBodyAndQuery) {
  struct Case {
    std::string request;
    std::string method;
    std::optional<std::string> body;
    std::optional<std::string> query;
  } cases[] = {
      {http_request("GET", "/panetessel/api"), "GET", std::nullopt, std::nullopt},
      {http_request("GET", "/panetessel/api?a=1&b=%20x"), "GET", std::nullopt, "a=1&b=%20x"},
      {http_request("PUT", "/panetessel/api", "{\"x\": 1}"), "PUT", "{\"x\": 1}", std::nullopt},
      {http_request("DELETE", "/panetessel/api?"), "DELETE", std::nullopt, ""},
      {http_request("POST", "/panetessel/api", ""), "POST", std::nullopt, std::nullopt},
      {http_request("POST", "/panetessel/api", "[1, 2]"), "POST", "[1, 2]", std::nullopt},
      {chunked_request(5, 2), "POST", "ccccc", std::nullopt},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.request);
    calls_.clear();
    EXPECT_EQ(round_trip(port_, c.request).status, 200);
    ASSERT_EQ(calls_.size(), 1u);
    EXPECT_EQ(calls_[0].method, c.method);
    EXPECT_EQ(calls_[0].body, c.body);
    EXPECT_EQ(calls_[0].query, c.query);
    EXPECT_TRUE(calls_[0].had_request);
  }
}

// Each request goes out whole before the answer is read, as many clients
// send; a refused body must not cost the client its answer.
TEST_F(ZuHttpTest, RefusesBadBodiesWithoutCallingBack) {
  struct Case {
    const char *name;
    std::string request;
    int status;
    size_t delivered;  // body length the callback sees, when it is called
  } cases[] = {
      {"exactly 1 MiB", http_request("POST", "/panetessel/api", std::string(kMiB, 'b')), 200, kMiB},
      {"over 1 MiB", http_request("POST", "/panetessel/api", std::string(kMiB + 1, 'b')), 413, 0},
      {"2 MiB", http_request("POST", "/panetessel/api", std::string(2 * kMiB, 'b')), 413, 0},
      {"announced over 1 MiB, client waits for 100 Continue",
       "POST /panetessel/api HTTP/1.1\r\nHost: localhost\r\nContent-Length: 1048577\r\n"
       "Expect: 100-continue\r\n\r\n",
       413, 0},
      {"chunked exactly 1 MiB", chunked_request(kMiB, 65536), 200, kMiB},
      {"chunked over 1 MiB", chunked_request(kMiB + 1, 65536), 413, 0},
      {"a NUL byte", http_request("POST", "/panetessel/api", "{\"a\": 1}\0{}"s), 400, 0},
      {"chunked 4 MiB", chunked_request(4 * kMiB, 65536), 413, 0},
      {"1 MiB to another path", http_request("POST", "/other", std::string(kMiB, 'b')), 404, 0},
      {"another path, client waits for 100 Continue",
       "PUT /other HTTP/1.1\r\nHost: localhost\r\nContent-Length: 10\r\n"
       "Expect: 100-continue\r\n\r\n",
       404, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    calls_.clear();
    auto [sent, r] = run_client([&] {
      // A small send buffer plays a slow link: most of the body is still to
      // go when the answer comes.
      HttpClient client(port_, 64 * 1024);
      bool whole = client.send(c.request);
      return std::make_pair(whole, client.read_answer());
    });
    EXPECT_TRUE(sent);
    EXPECT_EQ(r.status, c.status);
    if (c.status == 200) {
      ASSERT_EQ(calls_.size(), 1u);
      EXPECT_EQ(calls_[0].body->size(), c.delivered);
    } else {
      EXPECT_TRUE(calls_.empty());
      EXPECT_EQ(r.headers["connection"], "close");
    }
  }
}

std::string query_of(size_t arguments, size_t value_size) {
  std::string query;
  for (size_t i = 0; i < arguments; i++)
    query += (i ? "&q" : "?q") + std::to_string(i) + "=" + std::string(value_size, 'v');
  return query;
}

// Targets past what the daemon's pool holds once were left hanging, without
// an answer, until the idle timeout.
TEST_F(ZuHttpTest, RefusesTargetsOver8KiBAtOnce) {
  using Clock = std::chrono::steady_clock;
  const std::string big_body(30000, ' ');
  struct Case {
    const char *name;
    std::string query;
    std::optional<std::string> body;
    std::vector<int> statuses;  // 0: closed without an answer
  } cases[] = {
      {"100 arguments, 7 KiB in all", query_of(100, 2), "{}", {200}},
      {"one argument of 8000 bytes", query_of(1, 8000), big_body, {200}},
      {"one argument of 8200 bytes", query_of(1, 8200), "{}", {414}},
      {"200 arguments", query_of(200, 2), "{}", {414}},
      {"200 arguments and a large body", query_of(200, 2), big_body, {414}},
      // The daemon gives up on these before any callback: closed, not held.
      {"600 arguments", query_of(600, 2), "{}", {414, 0}},
      {"3000 arguments", query_of(3000, 2), std::nullopt, {414, 0}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    calls_.clear();
    auto start = Clock::now();
    int status = round_trip(port_, http_request("POST", "/panetessel/api" + c.query, c.body)).status;
    EXPECT_NE(std::find(c.statuses.begin(), c.statuses.end(), status), c.statuses.end()) << status;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(calls_.size(), status == 200 ? 1u : 0u);
  }
}

TEST_F(ZuHttpTest, OtherPathsGet404WithoutCallingBack) {
  for (const char *path : {"/", "/other", "/panetessel", "/panetessel/apix", "/panetessel/api/x"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(round_trip(port_, http_request("POST", path, "{}")).status, 404);
  }
  EXPECT_TRUE(calls_.empty());
}

TEST_F(ZuHttpTest, KeepsTheConnectionAlive) {
  auto statuses = run_client([&] {
    HttpClient client(port_);
    std::vector<int> seen;
    for (int i = 0; i < 3; i++) {
      client.send(http_request("POST", "/panetessel/api", "{}"));
      seen.push_back(client.read_answer().status);
    }
    return seen;
  });
  EXPECT_EQ(statuses, (std::vector<int>{200, 200, 200}));
  EXPECT_EQ(calls_.size(), 3u);
}

TEST_F(ZuHttpTest, AClientGoneBeforeTheAnswerLeavesTheServerServing) {
  // A large answer to a closed socket makes the writes fail (EPIPE/RST).
  answer_ = "Status: 200 OK\r\n\r\n" + std::string(2 * kMiB, 'x');
  during_call_ = [] { g_usleep(100 * 1000); };
  run_client([&] {
    HttpClient client(port_);
    client.send(http_request("POST", "/panetessel/api", "{}"));
    client.close();
    return 0;
  });
  during_call_ = nullptr;
  answer_ = "Status: 200 OK\r\n\r\nstill here";
  HttpAnswer r = round_trip(port_, http_request("POST", "/panetessel/api", "{}"));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "still here");
  EXPECT_EQ(calls_.size(), 2u);
}

// A second request that arrives while the callback iterates the loop waits
// (paused) for the first; also when its client leaves while it waits.
TEST_F(ZuHttpTest, ServesOneRequestAtATimeEvenWhenTheCallbackIteratesTheLoop) {
  for (bool second_leaves : {false, true}) {
    SCOPED_TRACE(second_leaves ? "second client leaves" : "second client waits");
    calls_.clear();
    std::atomic<bool> warm{false};
    std::atomic<bool> first_running{false};
    std::atomic<bool> second_sent{false};
    int depth = 0;
    int max_depth = 0;
    during_call_ = [&] {
      max_depth = std::max(max_depth, ++depth);
      if (calls_.back().query == "first") {
        first_running = true;
        while (!second_sent) g_main_context_iteration(nullptr, FALSE);
        gint64 until = g_get_monotonic_time() + 200 * 1000;
        while (g_get_monotonic_time() < until) g_main_context_iteration(nullptr, FALSE);
      }
      depth--;
    };
    auto statuses = run_client([&] {
      int second = 0;
      // The second request comes on a connection the server has already
      // taken, so a nested iteration of the loop would dispatch it.
      std::thread other([&] {
        HttpClient client(port_);
        client.send(http_request("POST", "/panetessel/api?warm-up", "{}"));
        client.read_answer();
        warm = true;
        while (!first_running) g_usleep(1000);
        client.send(http_request("POST", "/panetessel/api?second", "{}"));
        if (second_leaves) client.close();
        second_sent = true;
        if (!second_leaves) second = client.read_answer().status;
      });
      while (!warm) g_usleep(1000);
      HttpClient client(port_);
      client.send(http_request("POST", "/panetessel/api?first", "{}"));
      int first = client.read_answer().status;
      other.join();
      return std::vector<int>{first, second};
    });
    during_call_ = nullptr;
    EXPECT_EQ(statuses, (std::vector<int>{200, second_leaves ? 0 : 200}));
    EXPECT_EQ(max_depth, 1);
    ASSERT_GE(calls_.size(), 2u);
    EXPECT_EQ(calls_[1].query, "first");
    if (!second_leaves) {
      ASSERT_EQ(calls_.size(), 3u);
      EXPECT_EQ(calls_[2].query, "second");
    }
    EXPECT_EQ(round_trip(port_, http_request("POST", "/panetessel/api?after", "{}")).status, 200);
    EXPECT_EQ(calls_.back().query, "after");
  }
}

size_t open_descriptors() {
  size_t count = 0;
  g_autoptr(GDir) dir = g_dir_open("/proc/self/fd", 0, nullptr);
  while (dir && g_dir_read_name(dir)) count++;
  return count;
}

// Iterates the loop until `done` holds or `seconds` pass.
bool serve_until(const std::function<bool()> &done, int seconds) {
  gint64 until = g_get_monotonic_time() + seconds * G_USEC_PER_SEC;
  while (!done() && g_get_monotonic_time() < until) {
    g_main_context_iteration(nullptr, FALSE);
    g_usleep(1000);
  }
  return done();
}

// The front opens a connection for each request; clients also vanish
// halfway. None of them may leave a descriptor behind.
TEST_F(ZuHttpTest, OneShotClientsLeaveNoDescriptorsBehind) {
  const std::string whole = http_request("POST", "/panetessel/api", "{}");
  struct Case {
    const char *name;
    std::string sent;
    bool reads;  // reads the answer, else leaves with a reset
    int clients;
  } cases[] = {
      {"answered", whole, true, 400},
      {"gone after the request", whole, false, 100},
      {"gone within the headers", whole.substr(0, 20), false, 100},
      {"refused", http_request("POST", "/panetessel/api", std::string(2 * kMiB, 'b')), true, 20},
  };
  size_t before = open_descriptors();
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    int answered = run_client([&] {
      int n = 0;
      for (int i = 0; i < c.clients; i++) {
        HttpClient client(port_);
        client.send(c.sent);
        if (c.reads)
          n += client.read_answer().status != 0;
        else
          client.reset();
      }
      return n;
    });
    EXPECT_EQ(answered, c.reads ? c.clients : 0);
    EXPECT_TRUE(serve_until([&] { return open_descriptors() <= before; }, 10))
        << open_descriptors() << " open, " << before << " before";
  }
}

void answer_ok(gpointer, const gchar *, const gchar *, const gchar *, GOutputStream *output,
               gpointer) {
  g_output_stream_write_all(output, "Status: 200 OK\r\n\r\nok", 20, nullptr, nullptr, nullptr);
}

// A socket file with no one listening, as a run that was killed leaves it.
void leave_stale_socket(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  close(fd);
}

mode_t mode_of(const std::string &path) {
  struct stat st = {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

TEST(ZuHttpListen, ListensWhereToldAndWritesTheReadyFile) {
  g_autoptr(GSocketListener) occupier = g_socket_listener_new();
  guint16 busy_port = g_socket_listener_add_any_inet_port(occupier, nullptr, nullptr);
  ASSERT_NE(busy_port, 0);
  TempDir dir;
  const std::string socket_path = dir.file("api.sock");
  struct Case {
    std::string listen;
    std::string ready;  // the ready file: the socket's path, or the URL's start; empty: must fail
    std::function<void()> before = [] {};
  } cases[] = {
      {"127.0.0.1:0", "http://127.0.0.1:"},
      {"127.7.8.9:0", "http://127.7.8.9:"},
      {"[::1]:0", "http://[::1]:"},
      {"127.0.0.1:notaport", ""},
      {"127.0.0.1:" + std::to_string(busy_port), ""},
      {socket_path, socket_path},
      {socket_path, socket_path, [&] { leave_stale_socket(socket_path); }},
      {socket_path, "", [&] { pts_test::write_file(socket_path, "not a socket"); }},
      {dir.file("missing/api.sock"), ""},
  };
  g_setenv("ZU_HTTP_READY_FILE", dir.file("ready").c_str(), TRUE);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.listen);
    c.before();
    pts_test::LogCapture log;
    g_setenv("ZU_HTTP_LISTEN", c.listen.c_str(), TRUE);
    ZuHttpHandler *handler = zu_http_handler_new(answer_ok, nullptr);
    std::string ready = read_file(dir.file("ready"));
    g_unlink(dir.file("ready").c_str());
    const bool on_socket = c.listen[0] == '/';
    if (c.ready.empty()) {
      EXPECT_EQ(handler, nullptr);
      EXPECT_EQ(ready, "");
      ASSERT_EQ(log.lines().size(), 1u);
      EXPECT_EQ(log.lines()[0].level, G_LOG_LEVEL_WARNING);
      EXPECT_TRUE(g_str_has_prefix(log.lines()[0].message.c_str(),
                                   ("zuhttp: cannot listen on " + c.listen + ": ").c_str()))
          << log.dump();
      // What is not a socket stays.
      if (c.listen == socket_path) {
        EXPECT_EQ(read_file(c.listen), "not a socket");
      }
      g_unlink(c.listen.c_str());
      continue;
    }
    if (handler == nullptr && c.listen.starts_with("[")) {
      std::printf("no IPv6 loopback here: %s\n", log.dump().c_str());
      continue;
    }
    ASSERT_NE(handler, nullptr);
    EXPECT_TRUE(log.contains(G_LOG_LEVEL_MESSAGE, "zuhttp: listening on " + ready)) << log.dump();
    // The test client reaches 127.0.0.1 and Unix sockets.
    if (on_socket || c.listen.starts_with("127.0.0.1:")) {
      HttpAnswer answer = run_client([&] {
        HttpClient client = on_socket ? HttpClient(c.listen) : HttpClient(url_port(ready));
        client.send(http_request("POST", "/panetessel/api", "{}"));
        return client.read_answer();
      });
      EXPECT_EQ(answer.body, "ok");
    }
    if (on_socket) {
      EXPECT_EQ(ready, c.ready);
      EXPECT_EQ(mode_of(c.listen) & 07777, 0666u);
      EXPECT_TRUE(S_ISSOCK(mode_of(c.listen)));
    } else {
      EXPECT_TRUE(g_str_has_prefix(ready.c_str(), c.ready.c_str())) << ready;
      EXPECT_TRUE(g_str_has_suffix(ready.c_str(), "/panetessel/api")) << ready;
      EXPECT_NE(url_port(ready), 0);
    }
    zu_http_handler_free(handler);
    EXPECT_TRUE(!on_socket || mode_of(c.listen) == 0) << "the socket outlived the handler";
  }
  g_unsetenv("ZU_HTTP_READY_FILE");
}

void print_log_line(GLogLevelFlags level, const gchar *message, gpointer) {
  std::fprintf(stderr, "%s: %s\n", pts_test::level_name(level).c_str(), message);
}

std::string escaped(const std::string &text) {
  std::string pattern;
  for (char c : text) pattern += (std::strchr("[](){}.*+?^$|\\", c) ? "\\"s : ""s) + c;
  return pattern;
}

// It checks no one, so the network must not reach it: such a start ends
// the process rather than serve.
TEST(ZuHttpListen, RefusesToStartOffLoopback) {
  // No other thread runs here; a plain fork also works under an emulator.
  GTEST_FLAG_SET(death_test_style, "fast");
  for (const char *listen : {"0.0.0.0:0", "[::]:0", "192.0.2.10:8642", "[2001:db8::1]:8642"}) {
    SCOPED_TRACE(listen);
    g_setenv("ZU_HTTP_LISTEN", listen, TRUE);
    EXPECT_EXIT(
        {
          zu_log_set_observer(print_log_line, nullptr);
          zu_log_syslog();
          zu_http_handler_new(answer_ok, nullptr);
        },
        testing::ExitedWithCode(1),
        "CRITICAL: zuhttp: refusing to start: " + escaped(listen) +
            " is neither a loopback address nor a Unix socket");
  }
}

}  // namespace

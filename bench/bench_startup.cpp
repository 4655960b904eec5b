// Time from exec to the first answered request: starts a server, tries to
// POST to it every 0.1 ms until an answer comes, then kills it. Prints the
// median and the fastest run in microseconds.
//   bench_startup PORT RUNS BODY EXPECTED -- COMMAND [ARG...]
// The answer must be a 200 whose body ends with EXPECTED.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "http_client.h"

namespace {

using Clock = std::chrono::steady_clock;

// The answer; status 0 while the server does not listen yet.
pts_test::HttpAnswer ask(int port, const std::string &request) {
  pts_test::HttpClient client(port);
  client.send(request);
  return client.read_answer();
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 7 || std::strcmp(argv[5], "--") != 0) {
    std::fprintf(stderr, "usage: bench_startup PORT RUNS BODY EXPECTED -- COMMAND [ARG...]\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const int runs = std::atoi(argv[2]);
  const std::string body = argv[3];
  const std::string expected = argv[4];
  const std::string request = pts_test::http_request(
      "POST", pts_test::kApiPath, body,
      "Host: 127.0.0.1\r\nConnection: close\r\nContent-Type: application/json\r\n");
  std::vector<double> times;
  for (int run = 0; run < runs; run++) {
    const auto start = Clock::now();
    pid_t child = fork();
    if (child == 0) {
      execvp(argv[6], argv + 6);
      _exit(127);
    }
    pts_test::HttpAnswer answer;
    while ((answer = ask(port, request)).status == 0) {
      if (waitpid(child, nullptr, WNOHANG) == child) {
        std::fprintf(stderr, "bench_startup: %s ended before answering\n", argv[6]);
        return 1;
      }
      if (Clock::now() - start > std::chrono::seconds(10)) break;
      usleep(100);
    }
    const auto elapsed = Clock::now() - start;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    if (answer.status != 200 || !answer.body.ends_with(expected)) {
      std::fprintf(stderr, "bench_startup: wrong or no answer: %d\n%s\n", answer.status,
                   answer.body.c_str());
      return 1;
    }
    times.push_back(std::chrono::duration<double, std::micro>(elapsed).count());
  }
  std::sort(times.begin(), times.end());
  std::printf("median_us=%.0f min_us=%.0f\n", times[times.size() / 2], times.front());
  return 0;
}

// Time from exec to the first answered request: starts a server, tries to
// POST to it every 0.1 ms until an answer comes, then kills it. Prints the
// median and the fastest run in microseconds.
//   bench_startup PORT RUNS BODY EXPECTED -- COMMAND [ARG...]
// The answer must be a 200 whose body ends with EXPECTED.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in loopback(int port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// The whole answer, or "" when the server does not listen yet.
std::string ask(int port, const std::string &request) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(port);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
      write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, n);
  }
  close(fd);
  return answer;
}

bool answered(const std::string &answer, const std::string &expected) {
  return answer.rfind("HTTP/1.1 200", 0) == 0 && answer.size() >= expected.size() &&
         answer.compare(answer.size() - expected.size(), expected.size(), expected) == 0;
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
  const std::string request = "POST /panetessel/api HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                              "Connection: close\r\nContent-Type: application/json\r\n"
                              "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  std::vector<double> times;
  for (int run = 0; run < runs; run++) {
    const auto start = Clock::now();
    pid_t child = fork();
    if (child == 0) {
      execvp(argv[6], argv + 6);
      _exit(127);
    }
    std::string answer;
    while ((answer = ask(port, request)).empty()) {
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
    if (!answered(answer, expected)) {
      std::fprintf(stderr, "bench_startup: wrong or no answer:\n%s\n", answer.c_str());
      return 1;
    }
    times.push_back(std::chrono::duration<double, std::micro>(elapsed).count());
  }
  std::sort(times.begin(), times.end());
  std::printf("median_us=%.0f min_us=%.0f\n", times[times.size() / 2], times.front());
  return 0;
}

// The one HTTP client of the C++ tests and benchmarks: a blocking
// connection to 127.0.0.1 or a Unix socket on raw sockets, so every byte
// sent counts, and answers read one at a time, framed by Content-Length as
// the HTTP stand-in always sends it. No test framework here: the benchmarks
// build it too.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace pts_test {

struct HttpAnswer {
  int status = 0;  // 0: no answer (no connection, or closed early)
  std::string reason;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

inline constexpr char kApiPath[] = "/panetessel/api";

// The bytes of a request; a body comes with its Content-Length.
std::string http_request(const std::string &method, const std::string &target,
                         const std::optional<std::string> &body = std::nullopt,
                         const std::string &headers = "Host: localhost\r\n");

class HttpClient {
 public:
  // send_buffer: the socket's send buffer, when not the system's.
  explicit HttpClient(int port, int send_buffer = 0);
  explicit HttpClient(const std::string &socket_path, int send_buffer = 0);
  ~HttpClient() { close(); }
  HttpClient(const HttpClient &) = delete;
  HttpClient &operator=(const HttpClient &) = delete;

  bool connected() const { return fd_ >= 0; }
  bool send(const std::string &bytes);  // false unless all of it went
  // The next answer; what came of it when the connection ends early.
  HttpAnswer read_answer();
  void close();
  // Closes with a reset rather than in order: an answer hits a dead socket.
  void reset();

 private:
  void open(int family, const void *address, size_t size, int send_buffer);
  bool fill();

  int fd_ = -1;
  std::string buffer_;
};

}  // namespace pts_test

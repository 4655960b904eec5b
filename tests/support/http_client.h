// The one HTTP client of the C++ tests and benchmarks: a blocking
// connection to 127.0.0.1 on raw sockets, so every byte sent counts, and
// answers read one at a time, framed by Content-Length as the HTTP stand-in
// always sends it, and the client's side of its Digest. No test framework
// here: the benchmarks and a fuzz target build it too.
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

// Digest SHA-256 with qop=auth, as the HTTP stand-in's front asks it.
std::string sha256_hex(const std::string &text);
// A parameter of a challenge (a WWW-Authenticate value), unquoted; "" when
// it has none.
std::string challenge_param(const std::string &challenge, const std::string &name);
// The Authorization value that answers the nonce with this count.
std::string digest_authorization(const std::string &user, const std::string &password,
                                 const std::string &method, const std::string &uri,
                                 const std::string &nonce, int count = 1,
                                 const std::string &realm = "camera");

class HttpClient {
 public:
  // send_buffer: the socket's send buffer, when not the system's; from: the
  // client's own address, when not the system's choice.
  explicit HttpClient(int port, int send_buffer = 0, const char *from = nullptr);
  ~HttpClient() { close(); }
  HttpClient(const HttpClient &) = delete;
  HttpClient &operator=(const HttpClient &) = delete;

  bool connected() const { return fd_ >= 0; }
  bool send(const std::string &bytes);  // false unless all of it went
  // The next answer (no body after HEAD); what came of it when the
  // connection ends early.
  HttpAnswer read_answer(bool head = false);
  void close();
  // Closes with a reset rather than in order: an answer hits a dead socket.
  void reset();

 private:
  bool fill();

  int fd_ = -1;
  std::string buffer_;
};

}  // namespace pts_test

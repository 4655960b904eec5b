#include "http_client.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace pts_test {

namespace {

// Generous: sanitizer builds and the emulator are slow on a shared machine.
constexpr int kTimeoutS = 30;

std::string trimmed(const std::string &text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t") + 1 - begin);
}

}  // namespace

std::string http_request(const std::string &method, const std::string &target,
                         const std::optional<std::string> &body, const std::string &headers) {
  std::string text = method + " " + target + " HTTP/1.1\r\n" + headers;
  if (body) text += "Content-Length: " + std::to_string(body->size()) + "\r\n";
  return text + "\r\n" + body.value_or("");
}

HttpClient::HttpClient(int port, int send_buffer) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  open(AF_INET, &address, sizeof address, send_buffer);
}

HttpClient::HttpClient(const std::string &socket_path, int send_buffer) {
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
  open(AF_UNIX, &address, sizeof address, send_buffer);
}

void HttpClient::open(int family, const void *address, size_t size, int send_buffer) {
  fd_ = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  timeval timeout = {kTimeoutS, 0};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  int one = 1;
  if (family == AF_INET) setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (send_buffer > 0) setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
  if (connect(fd_, static_cast<const sockaddr *>(address), static_cast<socklen_t>(size)) != 0)
    close();
}

bool HttpClient::send(const std::string &bytes) {
  for (size_t done = 0; connected() && done < bytes.size();) {
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return connected();
}

bool HttpClient::fill() {
  char chunk[65536];
  ssize_t n = connected() ? recv(fd_, chunk, sizeof chunk, 0) : -1;
  if (n <= 0) return false;
  buffer_.append(chunk, static_cast<size_t>(n));
  return true;
}

HttpAnswer HttpClient::read_answer() {
  HttpAnswer answer;
  size_t end;
  while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
    if (!fill()) return answer;
  const std::string block = buffer_.substr(0, end + 2);
  buffer_.erase(0, end + 4);
  size_t line_end = block.find("\r\n");
  const std::string status_line = block.substr(0, line_end);  // "HTTP/1.1 NNN Reason"
  char reason[256] = "";
  std::sscanf(status_line.c_str(), "HTTP/%*s %d %255[^\r]", &answer.status, reason);
  answer.reason = reason;
  for (size_t at = line_end + 2; at < block.size(); at = line_end + 2) {
    line_end = block.find("\r\n", at);
    const std::string line = block.substr(at, line_end - at);
    const size_t colon = line.find(':');
    std::string name = line.substr(0, colon);
    for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    answer.headers[name] = colon == std::string::npos ? "" : trimmed(line.substr(colon + 1));
  }
  auto length = answer.headers.find("content-length");
  size_t size = 0;
  if (length != answer.headers.end()) size = std::strtoul(length->second.c_str(), nullptr, 10);
  while (buffer_.size() < size)
    if (!fill()) return answer;
  answer.body = buffer_.substr(0, size);
  buffer_.erase(0, size);
  return answer;
}

void HttpClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void HttpClient::reset() {
  linger hard = {1, 0};
  if (fd_ >= 0) setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close();
}

}  // namespace pts_test

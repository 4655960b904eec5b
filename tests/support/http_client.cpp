#include "http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <glib.h>

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

std::string sha256_hex(const std::string &text) {
  gchar *hex = g_compute_checksum_for_string(G_CHECKSUM_SHA256, text.c_str(), text.size());
  std::string result = hex;
  g_free(hex);
  return result;
}

std::string challenge_param(const std::string &challenge, const std::string &name) {
  size_t at = challenge.find(name + "=");
  if (at == std::string::npos) return "";
  at += name.size() + 1;
  bool quoted = challenge[at] == '"';
  size_t end = challenge.find(quoted ? '"' : ',', at + quoted);
  return challenge.substr(at + quoted, end == std::string::npos ? end : end - at - quoted);
}

std::string digest_authorization(const std::string &user, const std::string &password,
                                 const std::string &method, const std::string &uri,
                                 const std::string &nonce, int count, const std::string &realm) {
  char nc[9];
  std::snprintf(nc, sizeof nc, "%08x", count);
  std::string response =
      sha256_hex(sha256_hex(user + ":" + realm + ":" + password) + ":" + nonce + ":" + nc +
                 ":0a4f113b:auth:" + sha256_hex(method + ":" + uri));
  return "Digest username=\"" + user + "\", realm=\"" + realm + "\", nonce=\"" + nonce +
         "\", uri=\"" + uri + "\", algorithm=SHA-256, qop=auth, nc=" + nc +
         ", cnonce=\"0a4f113b\", response=\"" + response + "\", opaque=\"zuhttp\"";
}

HttpClient::HttpClient(int port, int send_buffer, const char *from) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  timeval timeout = {kTimeoutS, 0};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (send_buffer > 0) setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  if (from != nullptr) {
    inet_pton(AF_INET, from, &address.sin_addr);
    bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address);
  }
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) close();
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

HttpAnswer HttpClient::read_answer(bool head) {
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
  if (!head && length != answer.headers.end()) size = std::strtoul(length->second.c_str(), nullptr, 10);
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

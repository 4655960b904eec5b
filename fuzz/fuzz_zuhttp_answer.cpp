// Feeds arbitrary callback answers to the CGI answer parser and checks what
// it hands the HTTP server: a final status, header fields that cannot split
// the response, a body that is the input's tail, and a result that survives
// being written out and parsed again.
#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zuhttp_answer.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool is_token(const char *text) {
  if (*text == '\0') return false;
  for (const char *p = text; *p; p++)
    if (!g_ascii_isalnum(*p) && std::strchr("!#$%&'*+-.^_`|~", *p) == nullptr) return false;
  return true;
}

bool is_field_value(const char *text) {
  for (const char *p = text; *p; p++)
    if ((g_ascii_iscntrl(*p) && *p != '\t') || *p == '\x7f') return false;
  size_t len = std::strlen(text);
  return len == 0 || (!g_ascii_isspace(text[0]) && !g_ascii_isspace(text[len - 1]));
}

std::string render(const ZuHttpAnswer &answer) {
  std::string text = "Status: " + std::to_string(answer.status) + "\r\n";
  for (guint i = 0; i < answer.fields->len; i += 2)
    text += std::string(static_cast<char *>(answer.fields->pdata[i])) + ": " +
            static_cast<char *>(answer.fields->pdata[i + 1]) + "\r\n";
  return text + "\r\n" + std::string(answer.body, answer.body_len);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const auto *text = reinterpret_cast<const gchar *>(data);
  ZuHttpAnswer answer;
  const gchar *problem = zu_http_answer_parse(text, size, &answer);
  if (problem != nullptr) {
    zu_http_answer_clear(&answer);
    return 0;
  }
  check(answer.status >= 200 && answer.status <= 599);
  check(answer.fields->len % 2 == 0);
  for (guint i = 0; i < answer.fields->len; i += 2) {
    const auto *name = static_cast<const char *>(answer.fields->pdata[i]);
    check(is_token(name));
    check(g_ascii_strcasecmp(name, "Status") != 0 &&
          g_ascii_strcasecmp(name, "Content-Length") != 0 &&
          g_ascii_strcasecmp(name, "Transfer-Encoding") != 0 &&
          g_ascii_strncasecmp(name, "Access-Control-", 15) != 0);
    check(is_field_value(static_cast<const char *>(answer.fields->pdata[i + 1])));
  }
  check(answer.body_len <= size && answer.body == text + size - answer.body_len);

  std::string again = render(answer);
  ZuHttpAnswer reparsed;
  check(zu_http_answer_parse(again.data(), again.size(), &reparsed) == nullptr);
  check(reparsed.status == answer.status && reparsed.fields->len == answer.fields->len);
  for (guint i = 0; i < answer.fields->len; i++)
    check(std::strcmp(static_cast<char *>(answer.fields->pdata[i]),
                      static_cast<char *>(reparsed.fields->pdata[i])) == 0);
  check(reparsed.body_len == answer.body_len &&
        std::memcmp(reparsed.body, answer.body, answer.body_len) == 0);
  zu_http_answer_clear(&reparsed);
  zu_http_answer_clear(&answer);
  return 0;
}

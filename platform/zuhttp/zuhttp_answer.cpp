#include "zuhttp_answer.h"

#include <cstring>

namespace {

gboolean valid_name(const gchar *name, gsize len) {
  for (gsize i = 0; i < len; i++)
    if (!g_ascii_isalnum(name[i]) && (name[i] == '\0' || !std::strchr("!#$%&'*+-.^_`|~", name[i])))
      return FALSE;
  return len > 0;
}

gboolean valid_value(const gchar *value) {
  for (const gchar *p = value; *p; p++)
    if ((g_ascii_iscntrl(*p) && *p != '\t') || *p == '\x7f') return FALSE;
  return TRUE;
}

// "NNN" or "NNN Reason"; a final answer's status lies in 200..599. The
// reason is not kept: the server sends the standard phrase for the status.
gboolean parse_status(const gchar *value, ZuHttpAnswer *answer) {
  if (!g_ascii_isdigit(value[0]) || !g_ascii_isdigit(value[1]) || !g_ascii_isdigit(value[2]))
    return FALSE;
  if (value[3] != '\0' && value[3] != ' ') return FALSE;
  guint status = (value[0] - '0') * 100 + (value[1] - '0') * 10 + (value[2] - '0');
  if (status < 200 || status > 599) return FALSE;
  answer->status = status;
  return TRUE;
}

// One header line, without its line end.
const gchar *parse_header_line(const gchar *line, gsize len, ZuHttpAnswer *answer) {
  const gchar *colon = static_cast<const gchar *>(std::memchr(line, ':', len));
  if (colon == nullptr || !valid_name(line, colon - line)) return "a header line without a name";
  g_autofree gchar *name = g_strndup(line, colon - line);
  g_autofree gchar *value = g_strndup(colon + 1, len - (colon + 1 - line));
  g_strstrip(value);
  if (!valid_value(value)) return "a control character in a header value";
  if (g_ascii_strcasecmp(name, "Status") == 0) {
    if (answer->status != 0) return "two Status lines";
    return parse_status(value, answer) ? nullptr : "a Status line without a valid status code";
  }
  // The body sent decides the framing; no answer approves a cross-origin
  // read.
  if (g_ascii_strcasecmp(name, "Content-Length") == 0 ||
      g_ascii_strcasecmp(name, "Transfer-Encoding") == 0 ||
      g_ascii_strncasecmp(name, "Access-Control-", 15) == 0)
    return nullptr;
  g_ptr_array_add(answer->fields, g_steal_pointer(&name));
  g_ptr_array_add(answer->fields, g_steal_pointer(&value));
  return nullptr;
}

}  // namespace

const gchar *zu_http_answer_parse(const gchar *data, gsize size, ZuHttpAnswer *answer) {
  *answer = {};
  answer->fields = g_ptr_array_new_with_free_func(g_free);
  gsize pos = 0;
  for (;;) {
    auto *nl = static_cast<const gchar *>(std::memchr(data + pos, '\n', size - pos));
    if (nl == nullptr) return "no blank line after the header lines";
    gsize len = nl - (data + pos);
    if (len > 0 && data[pos + len - 1] == '\r') len--;
    if (len == 0) {
      pos = nl + 1 - data;
      break;
    }
    if (std::memchr(data + pos, '\0', len) != nullptr) return "a NUL byte in the header lines";
    if (const gchar *problem = parse_header_line(data + pos, len, answer)) return problem;
    pos = nl + 1 - data;
  }
  if (answer->status == 0) return "no Status line";
  answer->body = data + pos;
  answer->body_len = size - pos;
  return nullptr;
}

void zu_http_answer_clear(ZuHttpAnswer *answer) {
  g_clear_pointer(&answer->fields, g_ptr_array_unref);
  *answer = {};
}

#include "zucgi_escape.h"

#include <cstring>

namespace {

// Characters that would break a log line or hide what it says.
gboolean is_hidden(gunichar c) {
  switch (g_unichar_type(c)) {
    case G_UNICODE_CONTROL:
    case G_UNICODE_FORMAT:
    case G_UNICODE_LINE_SEPARATOR:
    case G_UNICODE_PARAGRAPH_SEPARATOR:
      return TRUE;
    default:
      return FALSE;
  }
}

void append_ascii(GString *out, guchar c) {
  switch (c) {
    case '\\': g_string_append(out, "\\\\"); return;
    case '\n': g_string_append(out, "\\n"); return;
    case '\r': g_string_append(out, "\\r"); return;
    case '\t': g_string_append(out, "\\t"); return;
    default: break;
  }
  if (c < 0x20 || c == 0x7f)
    g_string_append_printf(out, "\\x%02x", c);
  else
    g_string_append_c(out, static_cast<gchar>(c));
}

// Appends the character at p, or its first byte when p holds no valid
// UTF-8 there; returns where the next one starts.
const gchar *append_non_ascii(GString *out, const gchar *p, const gchar *end) {
  const gunichar c = g_utf8_get_char_validated(p, end - p);
  // (gunichar)-1 and -2: invalid, or cut short.
  if (c > 0x10ffff) {
    g_string_append_printf(out, "\\x%02x", static_cast<guchar>(*p));
    return p + 1;
  }
  const gchar *next = g_utf8_next_char(p);
  if (!is_hidden(c))
    g_string_append_len(out, p, next - p);
  else if (c <= 0xffff)
    g_string_append_printf(out, "\\u%04x", c);
  else
    g_string_append_printf(out, "\\U%08x", c);
  return next;
}

}  // namespace

gchar *zucgi_escape_log_text(const gchar *text) {
  g_return_val_if_fail(text != NULL, NULL);
  const gchar *end = text + std::strlen(text);
  GString *out = g_string_sized_new(end - text);
  for (const gchar *p = text; p < end;) {
    const auto byte = static_cast<guchar>(*p);
    if (byte < 0x80) {
      append_ascii(out, byte);
      p++;
    } else {
      p = append_non_ascii(out, p, end);
    }
  }
  return g_string_free(out, FALSE);
}

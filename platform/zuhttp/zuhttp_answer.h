/* Internal to libzuhttp: the request callback's CGI-style answer taken apart,
 * kept free of any HTTP server so that it can be tested and fuzzed alone. */
#pragma once

#include <glib.h>

struct ZuHttpAnswer {
  guint status;       // 200..599
  GPtrArray *fields;  // header names and values in turn, as written
  const gchar *body;  // the bytes after the blank line, within the parsed text
  gsize body_len;
};

/* Reads "Status: NNN [Reason]" and other header lines (ending in CRLF or
 * LF), a blank line, then the body byte for byte. Content-Length and
 * Transfer-Encoding lines are dropped (the body sent decides those), and so
 * are Access-Control-* lines (no answer approves a cross-origin read). Returns
 * NULL when the answer is sound, else what is wrong with it (for the log);
 * the answer is to be cleared either way. */
const gchar *zu_http_answer_parse(const gchar *data, gsize size, ZuHttpAnswer *answer);

void zu_http_answer_clear(ZuHttpAnswer *answer);

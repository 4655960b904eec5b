/* Text that a client controls, made safe to put into a log line.
 *
 * A parser's error text quotes the client's bytes; raw, a line feed would
 * start a forged entry in the system log and a bidi override would make an
 * entry read otherwise than it is stored. */
#pragma once

#include <glib.h>

G_BEGIN_DECLS

/* A newly allocated copy of text (which must not be NULL), for g_free,
 * that holds no control or invisible format character. What is replaced,
 * and by what:
 *   \                              \\  (so that no escape can be forged)
 *   line feed, carriage return, tab \n  \r  \t
 *   other C0 controls and DEL       \xNN (two lower-case hex digits)
 *   a byte that is not part of valid UTF-8: \xNN, byte by byte
 *   a UTF-8 character of the Unicode categories Cc (C1 controls), Cf
 *   (format: bidi controls, zero widths, the byte order mark, tags...),
 *   Zl or Zp (line and paragraph separator), as GLib classifies it:
 *   \uNNNN, or \UNNNNNNNN above U+FFFF (lower-case hex)
 * Everything else, accented letters and emoji included, is kept as is. */
gchar *zucgi_escape_log_text(const gchar *text);

G_END_DECLS

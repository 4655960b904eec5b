/* Internal to libzuhttp and zu-http-users: the users file, who may operate
 * the camera, and the count of failed attempts per client address; kept
 * free of any HTTP server so that they can be tested and fuzzed alone. */
#pragma once

#include <glib.h>
#include <sys/socket.h>

#define ZU_HTTP_REALM "camera"
#define ZU_HTTP_HA1_SIZE 32 /* SHA-256 */

/* The users file: one line per user, "name:camera:<HA1 in hex>", the HA1
 * being SHA-256 of "name:camera:password" (htdigest's layout); lines
 * starting with '#' and blank lines are left alone. Names are 1 to 32 of
 * A-Z a-z 0-9 . _ -, not starting with '-', each once. */

/* The users of the file's text: name -> HA1 (ZU_HTTP_HA1_SIZE bytes). NULL
 * and an error naming the line when the text is malformed. */
GHashTable *zu_http_users_parse(const gchar *text, gsize size, GError **error);

/* Reads and parses the file; refuses it when it is missing, unreadable,
 * not a plain file, malformed, or when others may read or write it. */
GHashTable *zu_http_users_load(const gchar *path, GError **error);

/* The users file as the front uses it: read at once, and again whenever it
 * changes (another file, size or time), so that added users and new
 * passwords count from the next request. A file that has become unusable
 * lets no one in until it is sound again; that is logged once a change. */
typedef struct _ZuHttpUserFile ZuHttpUserFile;

ZuHttpUserFile *zu_http_user_file_open(const gchar *path, GError **error);
void zu_http_user_file_free(ZuHttpUserFile *file);

/* The HA1 (ZU_HTTP_HA1_SIZE bytes) of name; NULL for an unknown user. */
const guint8 *zu_http_user_file_ha1(ZuHttpUserFile *file, const gchar *name);

gboolean zu_http_users_valid_name(const gchar *name);

/* Whether text is exactly 2 * size hex digits (either case); then their
 * bytes. */
gboolean zu_http_hex_bytes(const gchar *text, gsize length, guint8 *bytes, gsize size);

/* The file's line for name and password, without a line end. */
gchar *zu_http_users_line(const gchar *name, const gchar *password);

/* Whether name is a member of group "operator" or "admin" in the group
 * database. */
gboolean zu_http_users_may_operate(const gchar *name);

/* Failed attempts per client address: after 10 within 60 s the address is
 * slowed for 60 s. A fixed number of addresses is kept; when all slots are
 * taken, an address not slowed gives way first, the longest quiet one. */
typedef struct _ZuHttpSlowdown ZuHttpSlowdown;

struct ZuHttpPeer {
  guint8 bytes[16];
  guint8 size;  // 4 or 16; 0: no address (never slowed)
};

/* The peer of a socket address (IPv4 or IPv6). */
ZuHttpPeer zu_http_peer_of(const struct sockaddr *address);

ZuHttpSlowdown *zu_http_slowdown_new(guint slots);
void zu_http_slowdown_free(ZuHttpSlowdown *slowdown);

/* now: monotonic time in microseconds. */
void zu_http_slowdown_fail(ZuHttpSlowdown *slowdown, const ZuHttpPeer *peer, gint64 now);

/* Whole seconds (rounded up) until the peer is served again; 0 when it is
 * not slowed. */
guint zu_http_slowdown_left(const ZuHttpSlowdown *slowdown, const ZuHttpPeer *peer, gint64 now);

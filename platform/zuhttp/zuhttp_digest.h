/* Internal to libzuhttp: HTTP Digest (RFC 7616) as the front asks and
 * checks it, with SHA-256, qop=auth and realm "camera"; free of any HTTP
 * server so that it can be tested and fuzzed alone.
 *
 * Every challenge has a nonce of its own: 12 random bytes from the kernel,
 * its time of issue and an HMAC-SHA-256 over both under a key made at
 * start, so a nonce this front did not make (forged, altered, from before a
 * restart) is known without a look-up. A nonce serves any method and path
 * for 5 minutes. Its counts are kept from its first right answer on, in a
 * table of a fixed size (the nonces issued first give way first): each
 * count is taken once, in any order within 64 of the highest taken. Only
 * clients that know a password add to the table, so no flood of challenges
 * or of made-up nonces takes anyone's place in it. */
#pragma once

#include <glib.h>

#include "zuhttp_users.h"

typedef struct _ZuHttpDigest ZuHttpDigest;

typedef enum {
  ZU_HTTP_DIGEST_PASSED,     // the right password of a known user
  ZU_HTTP_DIGEST_ASK,        // no Digest credentials: a challenge
  ZU_HTTP_DIGEST_MALFORMED,  // Digest credentials it cannot take: a challenge
  ZU_HTTP_DIGEST_STALE,      // a nonce expired, forgotten or not its own, or a
                             // count taken before: a challenge with stale=true
  ZU_HTTP_DIGEST_WRONG,      // a wrong password or an unknown user: a challenge,
                             // and a failed attempt
} ZuHttpDigestResult;

/* Nonce counts kept for at most `slots` nonces. NULL when the kernel has no
 * random bytes to give. */
ZuHttpDigest *zu_http_digest_new(guint slots, GError **error);
void zu_http_digest_free(ZuHttpDigest *digest);

/* The value of a WWW-Authenticate header with a new nonce issued at `now`
 * (monotonic time in microseconds). */
gchar *zu_http_digest_challenge(ZuHttpDigest *digest, gboolean stale, gint64 now);

/* Checks a request's Authorization value (NULL when none came) against the
 * users file at `now`; `method` and `target` are the request's, the target
 * as it came. When it passed, *user holds the user's name (free it). */
ZuHttpDigestResult zu_http_digest_check(ZuHttpDigest *digest, ZuHttpUserFile *users,
                                        const gchar *authorization, const gchar *method,
                                        const gchar *target, gint64 now, gchar **user);

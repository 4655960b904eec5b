/* Platform HTTP handler: delivers the service's API requests to a callback,
 * behind a front that decides who reaches it.
 *
 * The front checks every request once its headers are in, in this order,
 * and answers a refused one at once with an empty body, the callback never
 * called:
 *  1. a target over 8 KiB: 414 (see below);
 *  2. Host missing, empty or twice: 400; a Host that is not an IPv4 literal,
 *     a bracketed IPv6 literal, "localhost" or a name of ZU_HTTP_HOSTS
 *     (comma-separated, any case), each with an optional ":port": 421, so
 *     that a page on a rebound DNS name reaches nothing;
 *  3. when ZU_HTTP_USERS is set, a client address with 10 failed attempts
 *     within 60 s: 429 with Retry-After, for 60 s from the 10th (256
 *     addresses are kept; no request is held);
 *  4. on "/panetessel/api", a method other than GET and HEAD with
 *     Sec-Fetch-Site "cross-site" or "same-site", or with an Origin other
 *     than "http://" + Host ("null" too): 403. No Access-Control-* header is
 *     ever sent (those of the callback's answer are dropped), so a preflight
 *     approves nothing; clients that send neither header pass;
 *  5. when ZU_HTTP_USERS is set, on every path: HTTP Digest (RFC 7616) with
 *     SHA-256, qop=auth, realm "camera" (zuhttp_digest.h: a nonce per
 *     challenge, for any path, 5 minutes; the counts of 1024 nonces). No
 *     Authorization, or one it cannot read (not Digest, a field missing or
 *     twice, another algorithm, realm or target): 401 with the challenge.
 *     A nonce expired, forgotten or not its own, or a count used before:
 *     401 with stale=true. Neither counts as a failure. A wrong password or
 *     an unknown user: 401, counted. A user that the group database lists
 *     in neither "operator" nor "admin": 403.
 *  6. then the routes below.
 * Each kind of refusal but a plain challenge logs one warning line a minute
 * at most.
 *
 * ZU_HTTP_USERS names the users file: a line per user, "name:camera:" and
 * the SHA-256 of "name:camera:password" in hex (htdigest's layout), '#'
 * comments and blank lines allowed; zu-http-users keeps it. It is read
 * again when it changes; while it is unusable no one is let in. Static
 * files carry a Content-Security-Policy that forbids framing,
 * X-Frame-Options: DENY and Referrer-Policy: no-referrer.
 *
 * zu_http_handler_new ends the process (one critical log line, status 1)
 * rather than serve unsafely: when ZU_HTTP_USERS names a file that is
 * missing, unreadable, malformed or open to others (mode & 0006), or when
 * the listener is not loopback only (127.0.0.0/8, ::1) and ZU_HTTP_USERS is
 * not set. */
#pragma once

#include <gio/gio.h>

G_BEGIN_DECLS

typedef struct _ZuHttpHandler ZuHttpHandler;

/* Called once per HTTP request on the default GLib main context, one
 * request at a time. request: the platform's request (opaque to the
 * service); method: the HTTP method ("POST", "GET", ...); body: the
 * request body as a NUL-terminated text, NULL when the request has none;
 * query: the URL's query text, NULL when there is none; output: where the
 * CGI-style answer goes ("Status: ..." and header lines, a blank line, the
 * body). Nothing written means 500 with no body.
 *
 * The simulated camera delivers every method on the path "/panetessel/api"
 * (other paths get 404, or a static file: see zu_http_handler_new). "No
 * body" means no bytes came: no Content-Length, a zero length or an empty
 * chunked body; a body holding a NUL byte, which the text could not carry
 * whole, gets 400 without a call. The query is passed as it came, still
 * %-encoded ("" for a bare "?"). Bodies over 1 MiB get 413 and targets
 * over 8 KiB (each query argument counted as 64 bytes more) 414, without a
 * call. These, 404 and other answers given before the request was read
 * whole close the connection in stages (the answer, then no more sending,
 * then up to 8 MiB more of the request read and dropped until the client
 * closes, for at most the idle timeout), so that a client that writes its
 * whole request before reading still gets the answer.
 * The answer's "Status: NNN Reason" line gives the HTTP status (200..599;
 * the status line carries the standard reason phrase for it), its other
 * header lines become response headers (Content-Length and
 * Transfer-Encoding excepted: the body sent decides those), and the bytes
 * after the blank line are the body unchanged. An answer without a Status
 * line or a blank line becomes 500, and is logged. A request that arrives
 * while the callback runs (a callback that iterates the main context)
 * waits until it returns. */
typedef void (*ZuHttpRequestCallback)(gpointer request, const gchar *method, const gchar *body,
                                      const gchar *query, GOutputStream *output, gpointer user_data);

/* Starts serving. The simulated camera listens on ZU_HTTP_LISTEN
 * ("address:port", default "127.0.0.1:8642"; port 0 picks a free one) and
 * writes the endpoint URL (e.g. "http://127.0.0.1:8642/panetessel/api",
 * no line end) to the file named by ZU_HTTP_READY_FILE, when set, once it
 * listens; the file appears whole (written aside, then renamed). IPv6
 * addresses are given in brackets: "[::1]:8642". Returns NULL (and logs)
 * when it cannot listen.
 *
 * Connections idle for ZU_HTTP_IDLE_TIMEOUT seconds (default 15) are closed.
 * At most ZU_HTTP_MAX_CONNECTIONS connections (default and ceiling: 1024,
 * or fewer to keep 64 descriptors of the process's limit free) are open at
 * once; a client over that is closed at once. When ZU_HTTP_WEB_ROOT names a
 * folder, GET and HEAD under "/panetessel/" serve its plain files
 * ("/panetessel/" is index.html; no dot-files, no symbolic links), other
 * methods there get 405. */
ZuHttpHandler *zu_http_handler_new(ZuHttpRequestCallback callback, gpointer user_data);

/* Stops delivery and releases the handle. NULL is ignored. */
void zu_http_handler_free(ZuHttpHandler *handler);

G_END_DECLS

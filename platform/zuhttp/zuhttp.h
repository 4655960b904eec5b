/* Platform HTTP handler: delivers the service's API requests to a callback. */
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

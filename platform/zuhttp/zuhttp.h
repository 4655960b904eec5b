/* Platform HTTP handler: delivers the service's API requests to a callback.
 * On a camera the web server in front does TLS, passwords, the host and
 * origin rules, static files and slow clients; this stand-in checks no one
 * and only passes on what that server forwards. */
#pragma once

#include <gio/gio.h>

G_BEGIN_DECLS

typedef struct _ZuHttpHandler ZuHttpHandler;

/* Called once per request on "/panetessel/api", any method, on the default
 * GLib main context, one request at a time (also while a callback iterates
 * the context). request: opaque to the service; body: NUL-terminated, NULL
 * when no bytes came; query: as it came, still %-encoded ("" for a bare
 * "?", NULL for none); output: takes the CGI-style answer.
 *
 * Not called for other paths (404), bodies over 1 MiB (413), a body
 * holding a NUL byte (400) or targets over 8 KiB, each query argument
 * counted as 64 bytes more (414). These are answered once the rest of the
 * request is read and dropped (up to 8 MiB; at once to a client waiting for
 * "100 Continue"), so a client that writes all before it reads gets them.
 *
 * The answer: a "Status: NNN Reason" line (200..599, sent with the standard
 * reason phrase) and other header lines (Content-Length,
 * Transfer-Encoding and Access-Control-* dropped), a blank line, the body.
 * Nothing written is 500 with no body; an answer without a Status line or
 * a blank line is 500, and logged. */
typedef void (*ZuHttpRequestCallback)(gpointer request, const gchar *method, const gchar *body,
                                      const gchar *query, GOutputStream *output, gpointer user_data);

/* Listens on ZU_HTTP_LISTEN: an absolute path is a Unix stream socket for
 * the web server in front (a socket left there is replaced; the new one is
 * mode 0666, its folder decides who reaches it); anything else must be a
 * loopback "address:port" (127.0.0.0/8 or "[::1]"; port 0 picks a free
 * one; default "127.0.0.1:8642"), for tests without the front, or the
 * process ends: one critical log line "zuhttp: refusing to start: ...",
 * status 1. Once listening it writes the socket's path, or the URL
 * ("http://127.0.0.1:8642/panetessel/api"), whole and without a line end,
 * to the file named by ZU_HTTP_READY_FILE when set. Connections silent for
 * 15 s are closed. Returns NULL (and logs) when it cannot listen. */
ZuHttpHandler *zu_http_handler_new(ZuHttpRequestCallback callback, gpointer user_data);

/* Stops delivery, removes the Unix socket and releases the handle. NULL is
 * ignored. */
void zu_http_handler_free(ZuHttpHandler *handler);

G_END_DECLS

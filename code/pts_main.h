/* The service process: start-up, reconciliation, HTTP endpoint. */
#pragma once

#include <gio/gio.h>

#include "zucgijson.h"

/* Brings the stored view mode back onto the video system at start, or
 * single where the stored mode is not allowed now. */
void pts_reconcile_view_mode(void);

/* The request callback registered with the platform's HTTP handler. */
void pts_http_request_cb(gpointer request, const gchar *method, const gchar *body,
                         const gchar *query, GOutputStream *output, gpointer user_data);

/* Formats printf-style and writes the text to stream; errors are dropped. */
void pts_http_write(GDataOutputStream *stream, const gchar *format, ...) G_GNUC_PRINTF(2, 3);

/* The whole process: start-up, main loop, shutdown. Returns the exit status. */
int pts_main_run(void);

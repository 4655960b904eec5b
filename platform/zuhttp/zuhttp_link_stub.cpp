// Link-time stand-in for camera builds against a sysroot without
// libmicrohttpd: the service links libzuhttp.so.1 by its soname, and on the
// camera the platform's own library is loaded in its place. Loaded anywhere
// else it cannot serve, so it ends the start at once instead of leaving a
// service running that no one can reach.
#include "zuhttp.h"

#include <cstdlib>

ZuHttpHandler *zu_http_handler_new(ZuHttpRequestCallback, gpointer) {
  g_log(nullptr, G_LOG_LEVEL_CRITICAL,
        "zuhttp: this libzuhttp is a link stub and serves nothing; the camera's own must be loaded");
  exit(EXIT_FAILURE);
}

void zu_http_handler_free(ZuHttpHandler *) {}

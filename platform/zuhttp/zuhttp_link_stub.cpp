// Link-time stand-in for cross builds: the service links libzuhttp.so.1 by
// its soname, and on the camera the platform's own library is loaded in its
// place. This one serves nothing.
#include "zuhttp.h"

ZuHttpHandler *zu_http_handler_new(ZuHttpRequestCallback, gpointer) {
  g_log(nullptr, G_LOG_LEVEL_CRITICAL, "zuhttp: this libzuhttp is a link stub and serves nothing");
  return nullptr;
}

void zu_http_handler_free(ZuHttpHandler *) {}

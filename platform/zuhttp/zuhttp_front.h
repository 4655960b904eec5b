/* Internal to libzuhttp: the front's decisions on a request's Host, Origin
 * and Sec-Fetch-Site, kept free of any HTTP server so that they can be
 * tested and fuzzed alone. */
#pragma once

#include <glib.h>

/* The headers the decisions read: the first value of each (NULL when it
 * did not come) and how many came. */
struct ZuHttpFrontHeaders {
  const gchar *host;
  guint hosts;
  const gchar *origin;
  guint origins;
  const gchar *fetch_site;
  guint fetch_sites;
  const gchar *authorization;
  guint authorizations;
};

/* 0 when the Host names this camera: an IPv4 literal, a bracketed IPv6
 * literal, "localhost" or one of `names` (lower case, NULL-terminated; may
 * be NULL), each with an optional ":port", the name compared without
 * regard to case. 400 when Host is missing, empty or came twice; 421 for
 * any other name (a rebound DNS name, most likely). */
guint zu_http_front_host_status(const ZuHttpFrontHeaders *headers, const gchar *const *names);

/* TRUE when a request other than GET or HEAD comes from a web page of
 * another site: Sec-Fetch-Site "cross-site" or "same-site", or an Origin
 * other than "http://" + Host ("null" included); either header twice
 * counts as such too. The browser sends these headers; a client without
 * them (curl, scripts) is not refused. */
gboolean zu_http_front_cross_origin(const ZuHttpFrontHeaders *headers, const gchar *method);

/* ZU_HTTP_HOSTS's comma-separated names, trimmed, lower case, empty ones
 * left out; never NULL. */
gchar **zu_http_front_parse_names(const gchar *list);

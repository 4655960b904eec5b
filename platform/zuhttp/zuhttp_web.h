/* Internal to libzuhttp: the settings page's static files. */
#pragma once

#include <glib.h>

/* Opens the plain file that `path` (the %-encoded part of the URL after the
 * web prefix; "" or a trailing "/" means index.html) names below the folder
 * `root`, for reading. Refuses "..", dot-files, empty segments, encoded
 * slashes and NULs, symbolic links anywhere below root, and anything but a
 * plain file. Returns the descriptor and sets size and content type, or -1. */
int zu_http_web_open(const gchar *root, const gchar *path, guint64 *size,
                     const gchar **content_type);

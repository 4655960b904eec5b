/* The stored view mode: group "general", key "view_mode" of the service's
 * key file, which survives restarts. */
#pragma once

#include <glib.h>

/* Loads the key file, or creates an empty one when it is missing. */
void pts_persistent_open(void);
/* Frees the key file without saving. */
void pts_persistent_close(void);

/* The stored name, newly allocated; "single" when none is stored (a missing
 * group or key is repaired on disk). Never NULL. */
gchar *pts_persistent_get_view_mode(void);
/* Stores name and saves the whole file. TRUE when the save succeeded. */
gboolean pts_persistent_set_view_mode(const gchar *name);

/* View mode catalogue and switching. */
#pragma once

#include <glib.h>

/* Index into the view mode table: 0 single, 1 quad. */
typedef guint32 ViewMode;

enum : ViewMode {
  VIEW_MODE_SINGLE = 0,
  VIEW_MODE_QUAD = 1,
};

/* TRUE and *mode set for "single" or "quad" (exact); FALSE otherwise. */
gboolean pts_view_mode_from_name(const gchar *name, ViewMode *mode);
/* TRUE and *name set to the table's constant name; FALSE above 1. */
gboolean pts_view_mode_to_name(ViewMode mode, const gchar **name);
/* 1 when the mode may be used while a channel is rotated; 0 above 1. */
gint32 pts_view_mode_rotation_ok(ViewMode mode);

/* TRUE when the mode may be applied now; FALSE when rotation is unknown. */
gboolean pts_view_mode_is_allowed(ViewMode mode);
/* The names allowed now, in table order, as a zero-terminated GArray of
 * newly allocated texts (caller frees each, then the array); NULL when
 * rotation is unknown. */
GArray *pts_view_mode_get_allowed(void);

/* Video system, then image parameter, then key file; stops at the first
 * failure and undoes nothing. Does not check rotation. */
gboolean pts_set_view_mode(ViewMode mode);

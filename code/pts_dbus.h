/* Auto-rotation query over the system D-Bus. */
#pragma once

#include <glib.h>

/* Connects to the system bus. */
void pts_dbus_open(void);
void pts_dbus_close(void);

/* One channel's rotation in degrees. FALSE (and *rotation untouched) when
 * the query fails. */
gboolean pts_dbus_get_auto_rotation(const gchar *object_path, gint32 *rotation);

/* *rotated = 1 when any of the four channels is at exactly 90 or 270
 * degrees, else 0. FALSE (and *rotated untouched) at the first failing
 * channel. */
gboolean pts_rotation_get(gint32 *rotated);

/* Video mode adapter: the only contact with the video system. */
#pragma once

#include <glib.h>

/* Obtains the process-wide mode instance. */
void pts_ocul_open(void);
void pts_ocul_close(void);

/* The view mode in effect, newly allocated; "none" when unknown. */
gchar *pts_ocul_get_view_mode(void);
/* The offered view modes joined by ",", newly allocated; "none" when
 * unknown. */
gchar *pts_ocul_get_view_modes(void);
/* Switches the video system to name. TRUE when it accepted. */
gboolean pts_ocul_set_view_mode(const gchar *name);

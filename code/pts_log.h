/* Log levels of the service. Every message goes through g_log with no
 * domain. */
#pragma once

#include <glib.h>

/* The service's error level: the first user-defined GLib level (256). */
#define PTS_LOG_LEVEL_ERROR ((GLogLevelFlags)(1 << G_LOG_LEVEL_USER_SHIFT))

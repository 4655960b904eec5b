/* Platform video system: mode information and switching of the view mode. */
#pragma once

#include <glib-object.h>

G_BEGIN_DECLS

#define OCUL_ERROR (ocul_error_quark())
GQuark ocul_error_quark(void);

typedef enum {
  OCUL_ERROR_UNAVAILABLE, /* the video system cannot serve the call */
  OCUL_ERROR_REFUSED,     /* the settings were refused */
} OculError;

#define OCUL_TYPE_MODE (ocul_mode_get_type())
G_DECLARE_FINAL_TYPE(OculMode, ocul_mode, OCUL, MODE, GObject)

#define OCUL_TYPE_MAP (ocul_map_get_type())
G_DECLARE_FINAL_TYPE(OculMap, ocul_map, OCUL, MAP, GObject)

/* A new instance of the mode service, or NULL with error set. */
OculMode *ocul_mode_new(GError **error);

/* A new map of the current mode information ("view_mode.name",
 * "available_view_modes"), owned by the caller; NULL with error set. */
OculMap *ocul_mode_get_info(OculMode *mode, GError **error);

/* Switches to the settings' "view_mode.name". FALSE with error set when the
 * video system refuses (a name it does not offer, a fault). */
gboolean ocul_mode_apply(OculMode *mode, OculMap *settings, GError **error);

/* A new empty settings map, or NULL. */
OculMap *ocul_map_new(void);

void ocul_map_set_string(OculMap *map, const gchar *key, const gchar *value);

/* The entry's text, borrowed from the map; default_value when absent.
 * error is reserved and may be NULL. */
const gchar *ocul_map_get_string(OculMap *map, const gchar *key, GError **error,
                                 const gchar *default_value);

G_END_DECLS

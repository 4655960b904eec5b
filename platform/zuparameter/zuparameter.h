/* Platform parameter service. */
#pragma once

#include <glib.h>

G_BEGIN_DECLS

#define ZU_PARAMETER_ERROR (zu_parameter_error_quark())
GQuark zu_parameter_error_quark(void);

typedef enum {
  ZU_PARAMETER_ERROR_UNAVAILABLE,
  ZU_PARAMETER_ERROR_REFUSED,
} ZuParameterError;

typedef struct _ZuParameter ZuParameter;

/* A handle on behalf of the application app_name, or NULL with error set. */
ZuParameter *zu_parameter_new(const gchar *app_name, GError **error);

/* Sets name to value. do_sync: write through to storage before returning.
 * FALSE with error set when the value is refused. */
gboolean zu_parameter_set(ZuParameter *handle, const gchar *name, const gchar *value,
                          gboolean do_sync, GError **error);

/* Releases the handle. NULL is ignored. */
void zu_parameter_free(ZuParameter *handle);

G_END_DECLS

/* The view mode API: version and method tables and their handlers. */
#pragma once

#include "zucgijson.h"

extern const ApiVersion *const pts_cgi_version_list[];
extern const MethodEntry *const pts_cgi_method_list[];

typedef enum {
  ERROR_INVALID_PARAMETER_VALUE,
  ERROR_MEMORY_ALLOCATION,
  ERROR_MISSING_PARAMETER,
  ERROR_INVALID_PARAMETER_TYPE,
  ERROR_INTERNAL_ERROR,
  ERROR_GENERIC_ERROR,
} MethodError;

/* The error object of ERROR_INTERNAL_ERROR, the only row it may be given
 * (asserted). */
json_t *create_json_error(MethodError error);

/* getViewModeInfo: {"current": stored name, "viewModes": [allowed]}. */
gboolean pts_cgi_methods_get_view_mode(json_t *params, json_t **response);
/* setViewMode: params {"value": "single" | "quad"}. */
gboolean pts_cgi_methods_set_view_mode(json_t *params, json_t **response);

/* Image source parameter: "root.Image.I4.Enabled" follows the view mode. */
#pragma once

#include <glib.h>

#include "pts_view_mode.h"

/* Sets the parameter to "yes" for quad, "no" otherwise. FALSE only when the
 * parameter service cannot be opened; a refused value is logged. */
gboolean pts_param_set_view_mode(ViewMode mode);

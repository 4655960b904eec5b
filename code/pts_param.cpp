#include "pts_param.h"

#include "pts_log.h"
#include "zuparameter.h"

G_DEFINE_AUTOPTR_CLEANUP_FUNC(ZuParameter, zu_parameter_free)

namespace {

constexpr const gchar *kAppName = "pane-tessel";
constexpr const gchar *kParameter = "root.Image.I4.Enabled";

}  // namespace

gboolean pts_param_set_view_mode(ViewMode mode) {
  g_autoptr(GError) error = nullptr;
  // Opened per call: nothing of the parameter service is kept between switches.
  g_autoptr(ZuParameter) handle = zu_parameter_new(kAppName, &error);
  if (!handle) return FALSE;

  const gchar *value = mode == VIEW_MODE_QUAD ? "yes" : "no";
  // A refused value does not stop the switch: the video system has already
  // changed, and the stored mode should follow it.
  if (!zu_parameter_set(handle, kParameter, value, TRUE, &error))
    g_log(nullptr, PTS_LOG_LEVEL_ERROR, "%sError setting parameter %s to %s (%s)", "",
          kParameter, value, error ? error->message : "unknown error");
  return TRUE;
}

#include "pts_view_mode.h"

#include "pts_dbus.h"
#include "pts_log.h"
#include "pts_ocul.h"
#include "pts_param.h"
#include "pts_persistent.h"

namespace {

struct ViewModeRow {
  const gchar *name;
  gint32 allowed_when_rotated;
};

// Indexed by ViewMode.
constexpr ViewModeRow kViewModeTable[] = {
    {"single", 1},
    {"quad", 0},
};
constexpr ViewMode kViewModeCount = G_N_ELEMENTS(kViewModeTable);

void free_names(GArray *names) {
  for (guint i = 0; i < names->len; i++) g_free(g_array_index(names, gchar *, i));
  g_array_free(names, TRUE);
}

}  // namespace

gboolean pts_view_mode_from_name(const gchar *name, ViewMode *mode) {
  if (!name) return FALSE;
  for (ViewMode i = 0; i < kViewModeCount; i++) {
    if (g_strcmp0(name, kViewModeTable[i].name) == 0) {
      *mode = i;
      return TRUE;
    }
  }
  return FALSE;
}

gboolean pts_view_mode_to_name(ViewMode mode, const gchar **name) {
  if (mode >= kViewModeCount) return FALSE;
  *name = kViewModeTable[mode].name;
  return TRUE;
}

gint32 pts_view_mode_rotation_ok(ViewMode mode) {
  return mode < kViewModeCount ? kViewModeTable[mode].allowed_when_rotated : 0;
}

gboolean pts_view_mode_is_allowed(ViewMode mode) {
  gint32 rotated = 0;
  // Without the rotation state nothing is safe, single included.
  if (!pts_rotation_get(&rotated)) return FALSE;
  if (!rotated) return TRUE;
  return pts_view_mode_rotation_ok(mode) != 0;
}

GArray *pts_view_mode_get_allowed(void) {
  GArray *allowed = g_array_new(TRUE, TRUE, sizeof(gchar *));
  gint32 rotated = 0;
  if (!pts_rotation_get(&rotated)) {
    g_array_free(allowed, TRUE);
    return nullptr;
  }
  for (ViewMode mode = 0; mode < kViewModeCount; mode++) {
    const gchar *name = nullptr;
    if (!pts_view_mode_to_name(mode, &name)) {
      free_names(allowed);
      return nullptr;
    }
    if (rotated && !pts_view_mode_rotation_ok(mode)) continue;
    gchar *copy = g_strdup(name);
    g_array_append_val(allowed, copy);
  }
  return allowed;
}

gboolean pts_set_view_mode(ViewMode mode) {
  const gchar *name = nullptr;
  if (!pts_view_mode_to_name(mode, &name)) return FALSE;
  // Fixed order, nothing undone: a later failure leaves the earlier steps in
  // effect, and the video system is the one that must accept first.
  if (!pts_ocul_set_view_mode(name)) {
    g_log(nullptr, PTS_LOG_LEVEL_ERROR, "%sFailed pts_ocul_set_view_mode", "");
    return FALSE;
  }
  if (!pts_param_set_view_mode(mode)) {
    g_log(nullptr, PTS_LOG_LEVEL_ERROR, "%sFailed pts_param_set_view_mode", "");
    return FALSE;
  }
  if (!pts_persistent_set_view_mode(name)) {
    g_log(nullptr, PTS_LOG_LEVEL_ERROR, "%sFailed pts_persistent_set_view_mode", "");
    return FALSE;
  }
  return TRUE;
}

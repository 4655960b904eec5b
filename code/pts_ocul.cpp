#include "pts_ocul.h"

#include "ocul.h"

namespace {

constexpr const gchar *kNameEntry = "view_mode.name";
constexpr const gchar *kAvailableEntry = "available_view_modes";
constexpr const gchar *kUnknown = "none";

OculMode *mode_instance = nullptr;

// Guards the log lines against a library that fails without saying why.
const gchar *error_text(const GError *error) {
  return error ? error->message : "unknown error";
}

// A copy of the entry from fresh mode information (kUnknown when absent),
// or NULL with error set when the information is unavailable.
gchar *read_entry(const gchar *entry, GError **error) {
  g_autoptr(OculMap) info = ocul_mode_get_info(mode_instance, error);
  if (!info) return nullptr;
  return g_strdup(ocul_map_get_string(info, entry, nullptr, kUnknown));
}

}  // namespace

void pts_ocul_open(void) {
  if (mode_instance) return;
  g_autoptr(GError) error = nullptr;
  mode_instance = ocul_mode_new(&error);
  if (!mode_instance)
    g_log(nullptr, G_LOG_LEVEL_CRITICAL, "failed to get system instance: %s", error_text(error));
}

void pts_ocul_close(void) { g_clear_object(&mode_instance); }

gchar *pts_ocul_get_view_mode(void) {
  g_autoptr(GError) error = nullptr;
  if (gchar *name = read_entry(kNameEntry, &error)) return name;
  g_log(nullptr, G_LOG_LEVEL_WARNING, "failed to get mode info: %s\n", error_text(error));
  return g_strdup(kUnknown);
}

gchar *pts_ocul_get_view_modes(void) {
  g_autoptr(GError) error = nullptr;
  if (gchar *names = read_entry(kAvailableEntry, &error)) return names;
  g_log(nullptr, G_LOG_LEVEL_WARNING, "failed to get system caps: %s\n", error_text(error));
  return g_strdup(kUnknown);
}

gboolean pts_ocul_set_view_mode(const gchar *name) {
  g_autoptr(OculMap) settings = ocul_map_new();
  if (!settings) {
    g_log(nullptr, G_LOG_LEVEL_WARNING, "Failed to create mode_settings\n");
    return FALSE;
  }
  ocul_map_set_string(settings, kNameEntry, name);

  g_autoptr(GError) error = nullptr;
  gboolean applied = ocul_mode_apply(mode_instance, settings, &error);
  if (!applied)
    g_log(nullptr, G_LOG_LEVEL_WARNING, "failed to apply mode settings: %s\n", error_text(error));
  return applied;
}

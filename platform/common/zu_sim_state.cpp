#include "zu_sim_state.h"

#include <cerrno>
#include <cstring>

namespace {

gchar *state_dir() {
  const gchar *dir = g_getenv("ZU_PLATFORM_STATE_DIR");
  if (dir && *dir) return g_strdup(dir);
  return g_build_filename(g_get_tmp_dir(), "zu-platform", nullptr);
}

}  // namespace

gchar *zu_sim_state_path(const gchar *file) {
  g_autofree gchar *dir = state_dir();
  return g_build_filename(dir, file, nullptr);
}

gboolean zu_sim_fault_set(GKeyFile *state, const gchar *fault) {
  g_autofree gchar *value = g_key_file_get_value(state, "faults", fault, nullptr);
  if (!value) return FALSE;
  if (gchar *hash = std::strchr(value, '#')) *hash = '\0';
  g_strstrip(value);
  return g_strcmp0(value, "true") == 0 || g_strcmp0(value, "1") == 0;
}

gboolean zu_sim_save_state(GKeyFile *state, const gchar *file, GError **error) {
  g_autofree gchar *dir = state_dir();
  if (g_mkdir_with_parents(dir, 0755) != 0) {
    int saved = errno;
    g_set_error(error, G_FILE_ERROR, g_file_error_from_errno(saved), "Cannot create %s: %s", dir,
                g_strerror(saved));
    return FALSE;
  }
  g_autofree gchar *path = g_build_filename(dir, file, nullptr);
  return g_key_file_save_to_file(state, path, error);
}

#include "zu_sim_state.h"

#include <glib/gstdio.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace {

gchar *state_dir() {
  const gchar *dir = g_getenv("ZU_PLATFORM_STATE_DIR");
  if (dir && *dir) return g_strdup(dir);
  return g_build_filename(g_get_tmp_dir(), "zu-platform", nullptr);
}

// The temporary file of an atomic save: the file's name, a dot and six
// letters or digits.
gboolean is_save_leftover(const gchar *name, const gchar *file) {
  gsize file_len = std::strlen(file);
  if (std::strncmp(name, file, file_len) != 0 || name[file_len] != '.') return FALSE;
  const gchar *suffix = name + file_len + 1;
  if (std::strlen(suffix) != 6) return FALSE;
  for (const gchar *c = suffix; *c; c++)
    if (!g_ascii_isalnum(*c)) return FALSE;
  return TRUE;
}

}  // namespace

gchar *zu_sim_state_path(const gchar *file) {
  g_autofree gchar *dir = state_dir();
  return g_build_filename(dir, file, nullptr);
}

GKeyFile *zu_sim_load_state(const gchar *file, gboolean *missing, GError **error) {
  g_autofree gchar *path = zu_sim_state_path(file);
  g_autoptr(GKeyFile) state = g_key_file_new();
  g_autoptr(GError) local = nullptr;
  gboolean absent = FALSE;
  if (!g_key_file_load_from_file(state, path, G_KEY_FILE_KEEP_COMMENTS, &local)) {
    absent = g_error_matches(local, G_FILE_ERROR, G_FILE_ERROR_NOENT);
    if (!absent) {
      g_set_error(error, local->domain, local->code, "%s: %s", path, local->message);
      return nullptr;
    }
  }
  if (missing) *missing = absent;
  return static_cast<GKeyFile *>(g_steal_pointer(&state));
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
  gsize length = 0;
  g_autofree gchar *data = g_key_file_to_data(state, &length, nullptr);
  // Durable as well as atomic: a camera loses power, and a file that was
  // written but not yet on the disk would come back empty or old.
  return g_file_set_contents_full(
      path, data, static_cast<gssize>(length),
      static_cast<GFileSetContentsFlags>(G_FILE_SET_CONTENTS_CONSISTENT | G_FILE_SET_CONTENTS_DURABLE),
      0666, error);
}

void zu_sim_remove_save_leftovers(const gchar *file) {
  g_autofree gchar *dir_path = state_dir();
  g_autoptr(GDir) dir = g_dir_open(dir_path, 0, nullptr);
  if (!dir) return;
  while (const gchar *name = g_dir_read_name(dir)) {
    if (!is_save_leftover(name, file)) continue;
    g_autofree gchar *path = g_build_filename(dir_path, name, nullptr);
    GStatBuf st;
    if (g_lstat(path, &st) == 0 && S_ISREG(st.st_mode)) g_unlink(path);
  }
}

#include "pts_persistent.h"

#include <glib/gstdio.h>
#include <sys/stat.h>

#include <cstring>

#include "pts_log.h"

namespace {

constexpr const gchar *kConfigPath = PTS_CONFIG_PATH;
constexpr const gchar *kGroup = "general";
constexpr const gchar *kViewModeKey = "view_mode";
constexpr const gchar *kDefaultViewMode = "single";

GKeyFile *key_file = nullptr;

// The value under group/key, or a copy of default_value. A missing group or
// key is written back with the default so the file documents what is in use.
gchar *get_string(const gchar *group, const gchar *key, const gchar *default_value) {
  if (!key_file) {
    g_return_if_fail_warning(nullptr, "get_string", "key_file");
    return g_strdup(default_value);
  }
  g_autoptr(GError) error = nullptr;
  // A badly escaped value comes back together with its error; it is not used.
  g_autofree gchar *value = g_key_file_get_string(key_file, group, key, &error);
  if (!error) return static_cast<gchar *>(g_steal_pointer(&value));

  if (g_error_matches(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_KEY_NOT_FOUND) ||
      g_error_matches(error, G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_GROUP_NOT_FOUND)) {
    g_key_file_set_string(key_file, group, key, default_value);
    // The repair is best effort: the default is served either way.
    g_key_file_save_to_file(key_file, kConfigPath, nullptr);
  } else {
    g_log(nullptr, PTS_LOG_LEVEL_ERROR, "%s%s %s, error(%d): %s", "",
          "Failed to read view mode from file", kConfigPath, error->code, error->message);
  }
  return g_strdup(default_value);
}

// Sets group/key and saves the whole file. The in-memory value changes even
// when the save fails.
gboolean set_string(const gchar *group, const gchar *key, const gchar *value) {
  if (!key_file) {
    g_return_if_fail_warning(nullptr, "set_string", "key_file");
    return FALSE;
  }
  if (!value) {
    g_return_if_fail_warning(nullptr, "set_string", "value");
    return FALSE;
  }
  g_key_file_set_string(key_file, group, key, value);

  g_autoptr(GError) error = nullptr;
  gboolean saved = g_key_file_save_to_file(key_file, kConfigPath, &error);
  if (!saved) {
    g_log(nullptr, PTS_LOG_LEVEL_ERROR, "%s%s", "", "Failed to write view mode to file");
    if (error) g_log(nullptr, PTS_LOG_LEVEL_ERROR, "%serror: %s", "", error->message);
  }
  return saved;
}

// The temporary file of GLib's atomic save: the file's name, a dot and six
// letters or digits.
gboolean is_save_leftover(const gchar *name, const gchar *base) {
  gsize base_len = std::strlen(base);
  if (std::strncmp(name, base, base_len) != 0 || name[base_len] != '.') return FALSE;
  const gchar *suffix = name + base_len + 1;
  if (std::strlen(suffix) != 6) return FALSE;
  for (const gchar *c = suffix; *c; c++)
    if (!g_ascii_isalnum(*c)) return FALSE;
  return TRUE;
}

// A process killed during a save leaves the temporary file beside the key
// file; each such kill would otherwise leave one more for good.
void remove_save_leftovers() {
  g_autofree gchar *dir_path = g_path_get_dirname(kConfigPath);
  g_autofree gchar *base = g_path_get_basename(kConfigPath);
  g_autoptr(GDir) dir = g_dir_open(dir_path, 0, nullptr);
  if (!dir) return;
  while (const gchar *name = g_dir_read_name(dir)) {
    if (!is_save_leftover(name, base)) continue;
    g_autofree gchar *path = g_build_filename(dir_path, name, nullptr);
    GStatBuf st;
    if (g_lstat(path, &st) == 0 && S_ISREG(st.st_mode)) g_unlink(path);
  }
}

}  // namespace

void pts_persistent_open(void) {
  if (key_file) return;
  remove_save_leftovers();
  g_autoptr(GKeyFile) loaded = g_key_file_new();
  g_autoptr(GError) error = nullptr;
  // Only a missing file is created. A file that exists but does not parse
  // (GKeyFile reports some parse errors with code 4 too) is kept as far as it
  // loaded and left on disk until the next save.
  if (!g_key_file_load_from_file(loaded, kConfigPath, G_KEY_FILE_NONE, &error) &&
      g_error_matches(error, G_FILE_ERROR, G_FILE_ERROR_NOENT)) {
    g_autoptr(GError) save_error = nullptr;
    if (!g_key_file_save_to_file(loaded, kConfigPath, &save_error)) {
      g_log(nullptr, PTS_LOG_LEVEL_ERROR,
            "%sFailed to write configuration to file, path: %s, error: %s", "", kConfigPath,
            save_error->message);
      return;
    }
  }
  key_file = static_cast<GKeyFile *>(g_steal_pointer(&loaded));
}

void pts_persistent_close(void) { g_clear_pointer(&key_file, g_key_file_free); }

gchar *pts_persistent_get_view_mode(void) {
  return get_string(kGroup, kViewModeKey, kDefaultViewMode);
}

gboolean pts_persistent_set_view_mode(const gchar *name) {
  return set_string(kGroup, kViewModeKey, name);
}

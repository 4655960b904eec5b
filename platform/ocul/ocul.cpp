// Simulated video system. Its whole state is the key file
// $ZU_PLATFORM_STATE_DIR/ocul.conf, read afresh on every call so that tests
// and a "restarted" camera see the same mode; an apply writes it back.
#include "ocul.h"

#include "zu_sim_state.h"

struct _OculMode {
  GObject parent_instance;
};

struct _OculMap {
  GObject parent_instance;
  GHashTable *entries;
};

G_DEFINE_QUARK(ocul-error-quark, ocul_error)
G_DEFINE_TYPE(OculMode, ocul_mode, G_TYPE_OBJECT)
G_DEFINE_TYPE(OculMap, ocul_map, G_TYPE_OBJECT)

namespace {

constexpr const char *kStateFile = "ocul.conf";
constexpr const char *kModeGroup = "mode";
constexpr const char *kNameKey = "view_mode.name";
constexpr const char *kAvailableKey = "available_view_modes";
constexpr const char *kDefaultName = "single";
constexpr const char *kDefaultAvailable = "single,quad";

// The current state, the factory state when no mode was written yet, or
// NULL with error set when the file exists but cannot be read (then the
// video system is unavailable).
GKeyFile *current_state(GError **error) {
  gboolean missing = FALSE;
  g_autoptr(GError) local = nullptr;
  GKeyFile *state = zu_sim_load_state(kStateFile, &missing, &local);
  if (!state) {
    g_set_error(error, OCUL_ERROR, OCUL_ERROR_UNAVAILABLE, "Cannot read video state %s",
                local->message);
    return nullptr;
  }
  // A file that holds only fault switches (set before the first switch)
  // still has the factory mode; an empty [mode] is a video system that
  // reports nothing.
  if (missing || !g_key_file_has_group(state, kModeGroup)) {
    g_key_file_set_string(state, kModeGroup, kNameKey, kDefaultName);
    g_key_file_set_string(state, kModeGroup, kAvailableKey, kDefaultAvailable);
  }
  return state;
}

// The state for a call that the fault switch may fail: NULL with error set
// when the switch is on or the state cannot be read.
GKeyFile *state_unless(const char *fault, const char *message, GError **error) {
  g_autoptr(GKeyFile) state = current_state(error);
  if (!state) return nullptr;
  if (zu_sim_fault_set(state, fault)) {
    g_set_error_literal(error, OCUL_ERROR, OCUL_ERROR_UNAVAILABLE, message);
    return nullptr;
  }
  return static_cast<GKeyFile *>(g_steal_pointer(&state));
}

gboolean is_offered(const gchar *available, const gchar *name) {
  g_auto(GStrv) names = g_strsplit(available, ",", -1);
  return g_strv_contains(names, name);
}

gboolean save_state(GKeyFile *state, GError **error) {
  g_autoptr(GError) local = nullptr;
  if (zu_sim_save_state(state, kStateFile, &local)) return TRUE;
  g_set_error(error, OCUL_ERROR, OCUL_ERROR_UNAVAILABLE, "Cannot write video state: %s",
              local->message);
  return FALSE;
}

OculMap *map_new() { return OCUL_MAP(g_object_new(OCUL_TYPE_MAP, nullptr)); }

}  // namespace

static void ocul_mode_class_init(OculModeClass *) {}
static void ocul_mode_init(OculMode *) {}

static void ocul_map_finalize(GObject *object) {
  g_clear_pointer(&OCUL_MAP(object)->entries, g_hash_table_unref);
  G_OBJECT_CLASS(ocul_map_parent_class)->finalize(object);
}

static void ocul_map_class_init(OculMapClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = ocul_map_finalize;
}

static void ocul_map_init(OculMap *map) {
  map->entries = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
}

OculMode *ocul_mode_new(GError **error) {
  zu_sim_remove_save_leftovers(kStateFile);
  g_autoptr(GKeyFile) state = state_unless("mode_new", "The video system is not running", error);
  if (!state) return nullptr;
  return OCUL_MODE(g_object_new(OCUL_TYPE_MODE, nullptr));
}

OculMap *ocul_mode_get_info(OculMode *mode, GError **error) {
  if (!OCUL_IS_MODE(mode)) {
    g_set_error_literal(error, OCUL_ERROR, OCUL_ERROR_UNAVAILABLE, "No video mode instance");
    return nullptr;
  }
  g_autoptr(GKeyFile) state = state_unless("get_info", "Mode information is not available", error);
  if (!state) return nullptr;
  // The map holds exactly what [mode] holds, so a missing key stays absent.
  OculMap *info = map_new();
  g_auto(GStrv) keys = g_key_file_get_keys(state, kModeGroup, nullptr, nullptr);
  for (gchar **key = keys; key && *key; key++) {
    g_autofree gchar *value = g_key_file_get_string(state, kModeGroup, *key, nullptr);
    if (value) ocul_map_set_string(info, *key, value);
  }
  return info;
}

gboolean ocul_mode_apply(OculMode *mode, OculMap *settings, GError **error) {
  if (!OCUL_IS_MODE(mode)) {
    g_set_error_literal(error, OCUL_ERROR, OCUL_ERROR_UNAVAILABLE, "No video mode instance");
    return FALSE;
  }
  g_autoptr(GKeyFile) state = state_unless("apply", "The video system refused the settings", error);
  if (!state) return FALSE;
  auto name = static_cast<const gchar *>(
      OCUL_IS_MAP(settings) ? g_hash_table_lookup(settings->entries, kNameKey) : nullptr);
  if (!name) {
    g_set_error_literal(error, OCUL_ERROR, OCUL_ERROR_REFUSED, "The settings name no view mode");
    return FALSE;
  }
  // A state file without the list still offers the factory modes.
  g_autofree gchar *available = g_key_file_get_string(state, kModeGroup, kAvailableKey, nullptr);
  if (!is_offered(available ? available : kDefaultAvailable, name)) {
    g_set_error(error, OCUL_ERROR, OCUL_ERROR_REFUSED, "View mode %s is not offered", name);
    return FALSE;
  }
  g_key_file_set_string(state, kModeGroup, kNameKey, name);
  return save_state(state, error);
}

OculMap *ocul_map_new(void) {
  g_autoptr(GKeyFile) state = current_state(nullptr);
  if (state && zu_sim_fault_set(state, "map_new")) return nullptr;
  return map_new();
}

void ocul_map_set_string(OculMap *map, const gchar *key, const gchar *value) {
  g_return_if_fail(OCUL_IS_MAP(map));
  g_return_if_fail(key != nullptr && value != nullptr);
  g_hash_table_insert(map->entries, g_strdup(key), g_strdup(value));
}

const gchar *ocul_map_get_string(OculMap *map, const gchar *key, GError **,
                                 const gchar *default_value) {
  if (!OCUL_IS_MAP(map) || !key) return default_value;
  auto value = static_cast<const gchar *>(g_hash_table_lookup(map->entries, key));
  return value ? value : default_value;
}

// Simulated parameter service. Parameters live in the [parameters] group of
// $ZU_PLATFORM_STATE_DIR/parameters.conf, read afresh on every call; the
// [faults] switches "new" and "set" make the service refuse.
#include "zuparameter.h"

#include "zu_sim_state.h"

struct _ZuParameter {
  gchar *app_name;
};

G_DEFINE_QUARK(zu-parameter-error-quark, zu_parameter_error)

namespace {

constexpr const char *kStateFile = "parameters.conf";
constexpr const char *kParameterGroup = "parameters";

// The parameters, empty when nothing was stored yet; NULL with error set
// when the file exists but cannot be read.
GKeyFile *load_state(GError **error) {
  g_autoptr(GError) local = nullptr;
  GKeyFile *state = zu_sim_load_state(kStateFile, nullptr, &local);
  if (!state)
    g_set_error(error, ZU_PARAMETER_ERROR, ZU_PARAMETER_ERROR_UNAVAILABLE,
                "Cannot read parameters %s", local->message);
  return state;
}

gboolean save_state(GKeyFile *state, GError **error) {
  g_autoptr(GError) local = nullptr;
  if (zu_sim_save_state(state, kStateFile, &local)) return TRUE;
  g_set_error(error, ZU_PARAMETER_ERROR, ZU_PARAMETER_ERROR_UNAVAILABLE,
              "Cannot write parameters: %s", local->message);
  return FALSE;
}

}  // namespace

ZuParameter *zu_parameter_new(const gchar *app_name, GError **error) {
  if (!app_name || !*app_name) {
    g_set_error_literal(error, ZU_PARAMETER_ERROR, ZU_PARAMETER_ERROR_UNAVAILABLE,
                        "An application name is required");
    return nullptr;
  }
  zu_sim_remove_save_leftovers(kStateFile);
  g_autoptr(GKeyFile) state = load_state(error);
  if (!state) return nullptr;
  if (zu_sim_fault_set(state, "new")) {
    g_set_error_literal(error, ZU_PARAMETER_ERROR, ZU_PARAMETER_ERROR_UNAVAILABLE,
                        "The parameter service is not running");
    return nullptr;
  }
  auto *handle = g_new0(ZuParameter, 1);
  handle->app_name = g_strdup(app_name);
  return handle;
}

gboolean zu_parameter_set(ZuParameter *handle, const gchar *name, const gchar *value,
                          gboolean, GError **error) {
  if (!handle || !name || !*name || !value) {
    g_set_error_literal(error, ZU_PARAMETER_ERROR, ZU_PARAMETER_ERROR_REFUSED,
                        "A handle, a parameter name and a value are required");
    return FALSE;
  }
  g_autoptr(GKeyFile) state = load_state(error);
  if (!state) return FALSE;
  if (zu_sim_fault_set(state, "set")) {
    g_set_error(error, ZU_PARAMETER_ERROR, ZU_PARAMETER_ERROR_REFUSED,
                "Parameter %s is locked", name);
    return FALSE;
  }
  // A value the store already holds is not written again (the service sets
  // the parameter at every start). Every write reaches the file at once, so
  // do_sync changes nothing here.
  g_autofree gchar *held = g_key_file_get_value(state, kParameterGroup, name, nullptr);
  if (g_strcmp0(held, value) == 0) return TRUE;
  g_key_file_set_string(state, kParameterGroup, name, value);
  return save_state(state, error);
}

void zu_parameter_free(ZuParameter *handle) {
  if (!handle) return;
  g_free(handle->app_name);
  g_free(handle);
}

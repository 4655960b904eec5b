#include "pts_cgi_methods.h"

#include "pts_log.h"
#include "pts_persistent.h"
#include "pts_view_mode.h"

namespace {

// Every method of this API needs an operator.
constexpr guint32 kOperatorLevel = 3;

struct MethodErrorRow {
  gint32 code;
  const gchar *message;
};

// Indexed by MethodError; the codes and texts match the framework's own, so a
// client cannot tell a handler's error from the engine's.
constexpr MethodErrorRow kMethodErrors[] = {
    {1000, "Invalid parameter value."},
    {2000, "Failed to allocate memory."},
    {4001, "Mandatory input parameter was not found in the input."},
    {4002, "The type of a provided JSON parameter was incorrect."},
    {8000, "Internal error, could not complete request."},
    {8002, "Generic error."},
};
static_assert(G_N_ELEMENTS(kMethodErrors) == ERROR_GENERIC_ERROR + 1);

json_t *method_error(MethodError error) {
  return create_error_object(kMethodErrors[error].code, kMethodErrors[error].message);
}

constexpr ApiVersion kVersion1_0 = {1, 0};

constexpr MethodDescriptor kSupportedVersions = {kOperatorLevel, nullptr};
constexpr MethodDescriptor kGetViewModeInfoV1 = {kOperatorLevel, pts_cgi_methods_get_view_mode};
constexpr MethodDescriptor kSetViewModeV1 = {kOperatorLevel, pts_cgi_methods_set_view_mode};

const MethodDescriptor *lookup_supported_versions(guint32) { return &kSupportedVersions; }

const MethodDescriptor *lookup_get_view_mode_info(guint32 major) {
  return major == 1 ? &kGetViewModeInfoV1 : nullptr;
}

const MethodDescriptor *lookup_set_view_mode(guint32 major) {
  return major == 1 ? &kSetViewModeV1 : nullptr;
}

constexpr MethodEntry kSupportedVersionsEntry = {"getSupportedVersions", lookup_supported_versions};
constexpr MethodEntry kGetViewModeInfoEntry = {"getViewModeInfo", lookup_get_view_mode_info};
constexpr MethodEntry kSetViewModeEntry = {"setViewMode", lookup_set_view_mode};

void free_name_list(GArray *list) {
  for (guint i = 0; i < list->len; i++) g_free(g_array_index(list, gchar *, i));
  g_array_free(list, TRUE);
}

}  // namespace

const ApiVersion *const pts_cgi_version_list[] = {&kVersion1_0, nullptr};

const MethodEntry *const pts_cgi_method_list[] = {
    &kSupportedVersionsEntry, &kGetViewModeInfoEntry, &kSetViewModeEntry, nullptr};

json_t *create_json_error(MethodError error) {
  g_assert(error == ERROR_INTERNAL_ERROR);
  return method_error(error);
}

gboolean pts_cgi_methods_get_view_mode(json_t *, json_t **response) {
  if (response == nullptr) return FALSE;
  g_assert(*response == NULL);

  // Without these there is no error object to be had either: the engine
  // answers a FALSE with an empty slot with its bare 500.
  JsonPtr result(json_object());
  JsonPtr modes(json_array());
  if (!result || !modes) return FALSE;

  // The stored mode, not the video system's: that is what the client chose.
  g_autofree gchar *current = pts_persistent_get_view_mode();
  if (current == nullptr) {
    g_log(nullptr, PTS_LOG_LEVEL_ERROR, "%sFailed to get view mode", "");
    *response = create_json_error(ERROR_INTERNAL_ERROR);
    return FALSE;
  }

  GArray *allowed = pts_view_mode_get_allowed();
  if (allowed == nullptr) {
    g_log(nullptr, PTS_LOG_LEVEL_ERROR, "%sFailed to get view modes", "");
    *response = create_json_error(ERROR_INTERNAL_ERROR);
    return FALSE;
  }
  int failed = 0;
  for (guint i = 0; i < allowed->len; i++)
    failed |= json_array_append_new(modes.get(), json_string(g_array_index(allowed, gchar *, i)));
  free_name_list(allowed);

  // A mode or member that cannot be set would leave a "data" that lies; out
  // of memory, the answer is the engine's bare 500.
  if (failed || json_object_set_new(result.get(), "current", json_string(current)) != 0 ||
      json_object_set_new(result.get(), "viewModes", modes.release()) != 0)
    return FALSE;
  *response = result.release();
  return TRUE;
}

gboolean pts_cgi_methods_set_view_mode(json_t *params, json_t **response) {
  if (response == nullptr) return FALSE;
  g_assert(*response == NULL);

  json_t *value = json_object_get(params, "value");
  if (value == nullptr) {
    *response = method_error(ERROR_MISSING_PARAMETER);
    return FALSE;
  }
  if (!json_is_string(value)) {
    *response = method_error(ERROR_INVALID_PARAMETER_TYPE);
    return FALSE;
  }

  g_autofree gchar *name = g_strdup(json_string_value(value));
  ViewMode mode;
  if (!pts_view_mode_from_name(name, &mode) || !pts_view_mode_is_allowed(mode)) {
    *response = method_error(ERROR_INVALID_PARAMETER_VALUE);
    return FALSE;
  }

  if (!pts_set_view_mode(mode)) {
    *response = create_json_error(ERROR_INTERNAL_ERROR);
    return FALSE;
  }
  return TRUE;
}

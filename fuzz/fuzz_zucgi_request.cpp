// Feeds arbitrary payloads to the request engine. The first byte picks the
// HTTP method and whether a payload is given at all.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "zucgijson.h"
#include "zulog.h"

namespace {

constexpr ApiVersion kV1{1, 0}, kV2{2, 3}, kV2b{2, 0};
const ApiVersion *const kVersions[] = {&kV2, &kV1, &kV2b, nullptr};

gboolean echo(json_t *params, json_t **response) {
  if (params != nullptr) *response = json_deep_copy(params);
  return TRUE;
}

gboolean fail(json_t *, json_t **response) {
  *response = create_error_object(3000, "Fuzz failure.");
  return FALSE;
}

gboolean broken(json_t *, json_t **) { return FALSE; }

constexpr MethodDescriptor kEcho{0, echo}, kFail{0, fail}, kBroken{0, broken},
    kForbidden{5, echo}, kBuiltin{0, nullptr}, kNoHandler{0, nullptr};

template <const MethodDescriptor *D>
const MethodDescriptor *lookup(guint32) {
  return D;
}

constexpr MethodEntry kEntries[] = {
    {"echo", lookup<&kEcho>},           {"fail", lookup<&kFail>},
    {"broken", lookup<&kBroken>},       {"forbidden", lookup<&kForbidden>},
    {"nohandler", lookup<&kNoHandler>}, {"getSupportedVersions", lookup<&kBuiltin>},
};
const MethodEntry *const kMethods[] = {&kEntries[0], &kEntries[1], &kEntries[2],
                                       &kEntries[3], &kEntries[4], &kEntries[5], nullptr};

// What a client sent reaches the log escaped: a raw control byte could
// start a forged line in the system log.
void check_log_line(GLogLevelFlags, const gchar *message, gpointer) {
  if (!g_utf8_validate(message, -1, nullptr)) std::abort();
  for (const gchar *c = message; *c != '\0'; c++)
    if (static_cast<guchar>(*c) < 0x20 || *c == 0x7f) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  zu_log_syslog();
  zu_log_set_observer(check_log_line, nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *http_method = "POST";
  const char *payload_text = nullptr;
  std::string payload;
  if (size > 0) {
    if (data[0] == 'G') http_method = "GET";
    if (data[0] != 'N') {
      payload.assign(reinterpret_cast<const char *>(data) + 1, size - 1);
      payload_text = payload.c_str();
    }
  }
  gchar *out = nullptr;
  zucgi_handle_request(kVersions, kMethods, nullptr, http_method, payload_text, &out);
  g_free(out);
  return 0;
}

#include "test_tables.h"

#include <gtest/gtest.h>

namespace fw_test {
namespace {

constexpr ApiVersion v1_0{1, 0}, v1_9{1, 9}, v2_0{2, 0}, v2_1{2, 1}, v2_7{2, 7}, v3_0{3, 0},
    v3_1{3, 1};

gboolean echo(json_t *params, json_t **response) {
  *response = json_object();
  json_object_set_new(*response, "params", params ? json_incref(params) : json_null());
  return TRUE;
}

gboolean shadowed(json_t *, json_t **response) {
  *response = json_pack("{s:s}", "wrong", "entry");
  return TRUE;
}

gboolean fail(json_t *, json_t **response) {
  *response = create_error_object(3001, "Test failure.");
  return FALSE;
}

gboolean empty(json_t *, json_t **) { return TRUE; }
gboolean broken(json_t *, json_t **) { return FALSE; }

constexpr MethodDescriptor kEcho{0, echo}, kShadowed{0, shadowed}, kFail{0, fail},
    kEmpty{0, empty}, kBroken{0, broken}, kNoHandler{0, nullptr},
    kForbidden{kLevelAboveAll, echo}, kBuiltin{0, nullptr};

template <const MethodDescriptor *D>
const MethodDescriptor *any_major(guint32) {
  return D;
}

constexpr MethodEntry kEchoEntry{"echo", any_major<&kEcho>},
    kShadowedEntry{"echo", any_major<&kShadowed>}, kFailEntry{"fail", any_major<&kFail>},
    kEmptyEntry{"empty", any_major<&kEmpty>}, kBrokenEntry{"broken", any_major<&kBroken>},
    kNoHandlerEntry{"nohandler", any_major<&kNoHandler>},
    kForbiddenEntry{"forbidden", any_major<&kForbidden>},
    kBuiltinEntry{"getSupportedVersions", any_major<&kBuiltin>};

}  // namespace

const ApiVersion *const kVersions[] = {&v1_0, nullptr};
const ApiVersion *const kVersionsMixed[] = {&v2_0, &v1_0, &v2_1, nullptr};
const ApiVersion *const kVersionsEqualMajors[] = {&v3_1, &v1_0, &v2_7, &v1_9, &v3_0, nullptr};

const MethodEntry *const kMethods[] = {&kEchoEntry,      &kShadowedEntry,  &kFailEntry,
                                       &kEmptyEntry,     &kBrokenEntry,    &kNoHandlerEntry,
                                       &kForbiddenEntry, &kBuiltinEntry,   nullptr};

std::optional<std::string> call(const char *http_method, const char *payload,
                                const ApiVersion *const *versions,
                                const MethodEntry *const *methods) {
  static gchar untouched;
  gchar *out = &untouched;
  EXPECT_TRUE(zucgi_handle_request(versions, methods, nullptr, http_method, payload, &out));
  if (out == &untouched) {
    ADD_FAILURE() << "out was not set";
    return std::nullopt;
  }
  if (out == nullptr) return std::nullopt;
  std::string reply(out);
  g_free(out);
  return reply;
}

}  // namespace fw_test

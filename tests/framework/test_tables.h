// API tables for exercising the request engine: handlers that succeed, fail
// with and without an error object, leave data empty, and a descriptor
// without handler for a method that is not built in.
#pragma once

#include <optional>
#include <string>

#include "zucgijson.h"

namespace fw_test {

// Level above any caller's, so the method is always refused.
constexpr guint32 kLevelAboveAll = 5;

// Versions 1.0 only, like the service.
extern const ApiVersion *const kVersions[];
// 2.0, 1.0, 2.1 and 3.1, 1.0, 2.7, 1.9, 3.0, in that order.
extern const ApiVersion *const kVersionsMixed[];
extern const ApiVersion *const kVersionsEqualMajors[];

// "echo" (data {"params": params or null}), a second "echo" that must never
// be used, "fail" (error 3001), "empty" (no data), "broken" (FALSE without
// error), "nohandler" (no handler), "forbidden" (kLevelAboveAll),
// "getSupportedVersions" (built in). Every method exists in every major.
extern const MethodEntry *const kMethods[];

const std::string kHead = "Status: 200 OK\r\nContent-Type: application/json\r\n\r\n";
const std::string kReply500 = "Status: 500 Internal Server Error\r\n\r\n";

// The 200 reply of one JSON text.
inline std::string ok(const std::string &json) { return kHead + json + "\r\n"; }

// Runs the engine; nullopt when it left nothing to send.
std::optional<std::string> call(const char *http_method, const char *payload,
                                const ApiVersion *const *versions = kVersions,
                                const MethodEntry *const *methods = kMethods);

inline std::optional<std::string> post(const char *payload,
                                       const ApiVersion *const *versions = kVersions) {
  return call("POST", payload, versions);
}

}  // namespace fw_test

// The view mode API's tables, the checks its handlers make before they
// touch the camera, and the handlers under allocation failures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <iostream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "bus_fixture.h"
#include "failing_alloc.h"
#include "pts_cgi_methods.h"
#include "pts_dbus.h"
#include "pts_ocul.h"
#include "pts_persistent.h"
#include "sim_state.h"
#include "zucgijson.h"

namespace {

std::string dump(const json_t *value) {
  char *text = json_dumps(value, JSON_PRESERVE_ORDER | JSON_ENCODE_ANY);
  std::string result = text ? text : "<null>";
  free(text);
  return result;
}

const MethodEntry *entry(const std::string &name) {
  for (const MethodEntry *const *e = pts_cgi_method_list; *e; e++)
    if ((*e)->name == name) return *e;
  return nullptr;
}

TEST(MethodTables, DescriptorsPerMajorVersion) {
  const struct {
    const char *method;
    MethodHandler handler;
    bool every_major;
  } cases[] = {
      {"getSupportedVersions", nullptr, true},
      {"getViewModeInfo", pts_cgi_methods_get_view_mode, false},
      {"setViewMode", pts_cgi_methods_set_view_mode, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.method);
    const MethodEntry *method = entry(c.method);
    ASSERT_NE(method, nullptr);
    const MethodDescriptor *v1 = method->lookup(1);
    ASSERT_NE(v1, nullptr);
    EXPECT_EQ(v1->level, 3u);
    EXPECT_EQ(v1->handler, c.handler);
    for (guint32 major : {0u, 2u, 99u, UINT_MAX})
      EXPECT_EQ(method->lookup(major), c.every_major ? v1 : nullptr) << "major " << major;
  }
}

TEST(CreateJsonError, GivesTheInternalError) {
  JsonPtr error(create_json_error(ERROR_INTERNAL_ERROR));
  EXPECT_EQ(dump(error.get()), R"({"code": 8000, "message": "Internal error, could not complete request."})");
}

TEST(CreateJsonErrorDeathTest, AnyOtherRowEndsTheProcess) {
  for (MethodError row : {ERROR_INVALID_PARAMETER_VALUE, ERROR_MEMORY_ALLOCATION, ERROR_MISSING_PARAMETER,
                          ERROR_INVALID_PARAMETER_TYPE, ERROR_GENERIC_ERROR})
    EXPECT_DEATH(create_json_error(row), "error == ERROR_INTERNAL_ERROR") << "row " << row;
}

// Every case here is refused before the rotation or the camera is asked.
TEST(SetViewMode, RefusesBadParams) {
  const std::string missing =
      R"({"code": 4001, "message": "Mandatory input parameter was not found in the input."})";
  const std::string wrong_type =
      R"({"code": 4002, "message": "The type of a provided JSON parameter was incorrect."})";
  const std::string invalid = R"({"code": 1000, "message": "Invalid parameter value."})";
  const struct {
    const char *params;  // nullptr: the request had no "params"
    const std::string &error;
  } cases[] = {
      {nullptr, missing},
      {"{}", missing},
      {R"({"Value": "quad", "mode": "quad"})", missing},
      {R"(["quad"])", missing},
      {R"({"value": null})", wrong_type},
      {R"({"value": 1})", wrong_type},
      {R"({"value": true})", wrong_type},
      {R"({"value": {"name": "quad"}})", wrong_type},
      {R"({"value": ["quad"]})", wrong_type},
      {R"({"value": ""})", invalid},
      {R"({"value": "Quad"})", invalid},
      {R"({"value": "SINGLE"})", invalid},
      {R"({"value": " quad"})", invalid},
      {R"({"value": "single "})", invalid},
      {R"({"value": "triple"})", invalid},
      {R"({"value": "none"})", invalid},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.params ? c.params : "no params");
    JsonPtr params(c.params ? json_loads(c.params, 0, nullptr) : nullptr);
    ASSERT_TRUE(!c.params || params);
    json_t *response = nullptr;
    EXPECT_FALSE(pts_cgi_methods_set_view_mode(params.get(), &response));
    JsonPtr owned(response);
    EXPECT_EQ(dump(response), c.error);
  }
}

TEST(Handlers, WithoutASlotTheyFail) {
  EXPECT_FALSE(pts_cgi_methods_get_view_mode(nullptr, nullptr));
  EXPECT_FALSE(pts_cgi_methods_set_view_mode(nullptr, nullptr));
}

TEST(HandlersDeathTest, AFilledSlotIsAProgrammingError) {
  for (MethodHandler handler : {pts_cgi_methods_get_view_mode, pts_cgi_methods_set_view_mode}) {
    JsonPtr filled(json_object());
    json_t *slot = filled.get();
    EXPECT_DEATH(handler(nullptr, &slot), "\\*response == NULL");
  }
}

// The handlers against the stand-ins: what they hand back, and (under the
// sanitizers) that nothing of it leaks.
TEST(Handlers, OnTheCamera) {
  pts_test::RotationBus bus;
  ASSERT_TRUE(bus.start_bus());
  ASSERT_TRUE(bus.start_simulator());
  pts_test::SimState state;
  pts_persistent_open();
  pts_dbus_open();
  pts_ocul_open();

  auto call = [](MethodHandler handler, const char *params, gboolean expected) {
    JsonPtr parsed(params ? json_loads(params, 0, nullptr) : nullptr);
    json_t *response = nullptr;
    EXPECT_EQ(handler(parsed.get(), &response), expected) << (params ? params : "");
    JsonPtr owned(response);
    return dump(response);
  };
  const auto get = pts_cgi_methods_get_view_mode;
  const auto set = pts_cgi_methods_set_view_mode;
  const std::string internal = R"({"code": 8000, "message": "Internal error, could not complete request."})";
  const std::string invalid = R"({"code": 1000, "message": "Invalid parameter value."})";

  EXPECT_EQ(call(get, nullptr, TRUE), R"({"current": "single", "viewModes": ["single", "quad"]})");
  EXPECT_EQ(call(set, R"({"value": "quad", "extra": 1})", TRUE), "<null>");
  EXPECT_EQ(call(get, R"({"ignored": true})", TRUE), R"({"current": "quad", "viewModes": ["single", "quad"]})");
  bus.set_rotation(1, 90);
  EXPECT_EQ(call(get, nullptr, TRUE), R"({"current": "quad", "viewModes": ["single"]})");
  EXPECT_EQ(call(set, R"({"value": "quad"})", FALSE), invalid);
  EXPECT_EQ(call(set, R"({"value": "single"})", TRUE), "<null>");
  bus.stop_simulator();
  EXPECT_EQ(call(get, nullptr, FALSE), internal);
  EXPECT_EQ(call(set, R"({"value": "single"})", FALSE), invalid);
  state.set_ocul_fault("apply");
  bus.start_simulator();
  EXPECT_EQ(call(set, R"({"value": "quad"})", FALSE), internal);

  pts_ocul_close();
  pts_dbus_close();
  pts_persistent_close();
}

// --- Allocation failures through the service's own tables ------------------
//
// Every jansson allocation that a request makes is failed in turn, alone and
// from there on. The answer must be the fault-free one, the bare 500 or
// nothing; a switch may only have got as far as a prefix of its steps
// (video system, then parameter, then key file), and nothing may leak.

using pts_test::FailingAlloc;
using pts_test::FailMode;

constexpr char kHead[] = "Status: 200 OK\r\nContent-Type: application/json\r\n\r\n";
constexpr size_t kHeadSize = sizeof kHead - 1;
constexpr char kReply500[] = "Status: 500 Internal Server Error\r\n\r\n";
constexpr char kKeyFile[] = PTS_CONFIG_PATH;

// Video system, parameter and stored mode, as the files hold them.
using CameraState = std::tuple<std::string, std::string, std::string>;
const CameraState kOld{"single", "no", "single"};
const CameraState kNew{"quad", "yes", "quad"};
// A switch from single to quad, step by step: video, parameter, key file.
const CameraState kSwitchSteps[] = {kOld, {"quad", "no", "single"}, {"quad", "yes", "single"}, kNew};

struct SweepScenario {
  const char *name;
  const char *payload;
  const char *answer;         // the fault-free JSON, after the 200 head
  CameraState after;          // where the fault-free run leaves the camera
  bool no_parameter_service;  // the parameter service cannot be opened
};

const SweepScenario kSweeps[] = {
    {"GetViewModeInfo", R"({"method": "getViewModeInfo", "apiVersion": "1.0", "context": "c"})",
     R"({"apiVersion": "1.0", "context": "c", "method": "getViewModeInfo", "data": {"current": "single", "viewModes": ["single", "quad"]}})",
     kOld, false},
    {"SetViewMode", R"({"method": "setViewMode", "apiVersion": "1.0", "params": {"value": "quad"}})",
     R"({"apiVersion": "1.0", "method": "setViewMode", "data": {}})", kNew, false},
    {"SetViewModeStoppedByParameter",
     R"({"method": "setViewMode", "apiVersion": "1.0", "params": {"value": "quad"}})",
     R"({"apiVersion": "1.0", "method": "setViewMode", "error": {"code": 8000, "message": "Internal error, could not complete request."}})",
     kSwitchSteps[1], true},
    {"MixedBatch",
     R"([{"method": "getViewModeInfo", "apiVersion": "1.0"},
         {"method": "setViewMode", "apiVersion": "1.0", "context": "x", "params": {"value": "quad"}},
         {"method": "getViewModeInfo", "apiVersion": "1.0"}, {"method": "getSupportedVersions"},
         {"method": "setViewMode", "apiVersion": "1.0", "params": {"value": "Quad"}},
         {"method": "setViewMode", "apiVersion": "1.0"}, {"method": "nosuch", "apiVersion": "1.0"}])",
     R"([{"apiVersion": "1.0", "method": "getViewModeInfo", "data": {"current": "single", "viewModes": ["single", "quad"]}}, )"
     R"({"apiVersion": "1.0", "context": "x", "method": "setViewMode", "data": {}}, )"
     R"({"apiVersion": "1.0", "method": "getViewModeInfo", "data": {"current": "quad", "viewModes": ["single", "quad"]}}, )"
     R"({"apiVersion": "1.0", "method": "getSupportedVersions", "data": {"apiVersions": ["1.0"]}}, )"
     R"({"apiVersion": "1.0", "method": "setViewMode", "error": {"code": 1000, "message": "Invalid parameter value."}}, )"
     R"({"apiVersion": "1.0", "method": "setViewMode", "error": {"code": 4001, "message": "Mandatory input parameter was not found in the input."}}, )"
     R"({"apiVersion": "1.0", "method": "nosuch", "error": {"code": 2004, "message": "Method not supported."}}])",
     kNew, false},
};

void PrintTo(const SweepScenario &scenario, std::ostream *os) { *os << scenario.name; }

// A run cut short may leave the steps before the fault-free run's end.
bool switched_in_order(const CameraState &state, const CameraState &end) {
  for (const CameraState &step : kSwitchSteps) {
    if (state == step) return true;
    if (step == end) break;
  }
  return false;
}

// The engine asks libc who calls; ctest points nss_wrapper at these files,
// written here, before any look-up, with whoever runs the test as an
// operator. Children (the bus, the simulator) run without the wrapper.
class CallerIsOperator : public testing::Environment {
 public:
  void SetUp() override {
    const char *passwd = g_getenv("NSS_WRAPPER_PASSWD");
    const char *group = g_getenv("NSS_WRAPPER_GROUP");
    if (passwd && group) {
      g_autofree gchar *user = g_strdup_printf("ptscaller:x:%u:%u::/:/bin/false\n", geteuid(), getegid());
      ASSERT_TRUE(g_file_set_contents(passwd, user, -1, nullptr));
      ASSERT_TRUE(g_file_set_contents(group, "operator:x:4001:ptscaller\n", -1, nullptr));
    }
    g_unsetenv("LD_PRELOAD");
  }
};
const testing::Environment *const kCallerIsOperator =
    testing::AddGlobalTestEnvironment(new CallerIsOperator);

class HandlerAllocationFailure
    : public testing::TestWithParam<std::tuple<SweepScenario, FailMode>> {
 protected:
  void SetUp() override {
    ASSERT_GE(get_access_level(), 3u) << "run through ctest, which gives the caller the operator group";
    ASSERT_TRUE(bus_.start_simulator());
    pts_dbus_open();
    pts_ocul_open();
  }
  void TearDown() override {
    pts_ocul_close();
    pts_persistent_close();
    pts_dbus_close();
  }

  // The camera in single, with the key file loaded afresh.
  void reset() {
    pts_persistent_close();
    sim_.write("ocul.conf", "[mode]\nview_mode.name=single\navailable_view_modes=single,quad\n");
    sim_.write("parameters.conf", std::string("[parameters]\nroot.Image.I4.Enabled=no\n") +
                                      (no_parameter_service_ ? "[faults]\nnew=true\n" : ""));
    sim_.write(kKeyFile, "[general]\nview_mode=single\n");
    pts_persistent_open();
  }

  CameraState state() const {
    auto text = [](const std::optional<std::string> &value) { return value.value_or("<absent>"); };
    return {text(sim_.ocul_mode()), text(sim_.i4_enabled()),
            text(sim_.value(kKeyFile, "general", "view_mode"))};
  }

  static std::string describe(const CameraState &state) {
    return std::get<0>(state) + "/" + std::get<1>(state) + "/" + std::get<2>(state);
  }

  std::optional<std::string> call(const char *payload) {
    gchar *out = nullptr;
    zucgi_handle_request(pts_cgi_version_list, pts_cgi_method_list, nullptr, "POST", payload, &out);
    if (out == nullptr) return std::nullopt;
    std::string reply(out);
    g_free(out);
    return reply;
  }

  pts_test::RotationBus bus_;
  pts_test::SimState sim_;
  bool no_parameter_service_ = false;
};

TEST_P(HandlerAllocationFailure, AnswersRightOr500AndSwitchesInOrder) {
  const auto &[s, mode] = GetParam();
  const std::string fault_free = std::string(kHead) + s.answer + "\r\n";
  no_parameter_service_ = s.no_parameter_service;
  reset();
  ASSERT_EQ(call(s.payload), fault_free);
  ASSERT_EQ(state(), s.after);

  // Each allocation that went wrong, with what it left: one line apiece.
  std::vector<std::string> wrong;
  size_t n = 1;
  for (;; n++) {
    reset();
    std::optional<std::string> reply;
    bool hit;
    {
      FailingAlloc alloc(n, mode);
      reply = call(s.payload);
      hit = alloc.hit();
    }
    const CameraState after = state();
    bool sound;
    if (reply == fault_free)
      sound = after == s.after;
    else
      sound = (!reply || *reply == kReply500) && switched_in_order(after, s.after);
    if (!sound)
      wrong.push_back("allocation " + std::to_string(n) + ": " + describe(after) + ", " +
                      (reply ? reply->substr(kHeadSize) : "no reply"));
    if (!hit) break;
    ASSERT_LT(n, 10000u) << "no end to allocations";
  }
  EXPECT_GT(n, 1u) << "no allocation was ever made";
  std::string list;
  for (const auto &line : wrong) list += line + "\n";
  EXPECT_TRUE(wrong.empty()) << wrong.size() << " of " << n - 1 << " went wrong:\n" << list;
  // The figure that says how much of the path was swept.
  std::cout << "[ sweep    ] " << s.name << ": " << n - 1 << " allocations\n";
}

INSTANTIATE_TEST_SUITE_P(Jansson, HandlerAllocationFailure,
                         testing::Combine(testing::ValuesIn(kSweeps),
                                          testing::Values(FailMode::kOnce, FailMode::kFromNOn)),
                         pts_test::SweepName());

}  // namespace

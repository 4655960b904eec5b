// The view mode API's tables and the checks its handlers make before they
// touch the camera.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "bus_fixture.h"
#include "pts_cgi_methods.h"
#include "pts_dbus.h"
#include "pts_ocul.h"
#include "pts_persistent.h"
#include "sim_state.h"

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

}  // namespace

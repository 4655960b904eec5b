// Shared ground of the end-to-end tests: a private system bus with the
// auto-rotation simulator, and the real service on a fresh state folder.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>

#include "bus_fixture.h"
#include "service_fixture.h"

namespace pts_test {

// What the service sends after its header block, and how it ends it.
inline std::string answer(const std::string &json) { return json + "\r\n"; }

// One envelope of API version 1.0 carrying "data".
inline std::string data_envelope(const std::string &method, const std::string &data,
                                 const std::string &context_member = "") {
  return "{\"apiVersion\": \"1.0\", " + context_member + "\"method\": \"" + method +
         "\", \"data\": " + data + "}";
}

inline std::string error_envelope(const std::string &method, int code, const std::string &message) {
  return "{\"apiVersion\": \"1.0\", \"method\": \"" + method + "\", \"error\": {\"code\": " +
         std::to_string(code) + ", \"message\": \"" + message + "\"}}";
}

inline std::string view_mode_info(const std::string &current, const std::string &modes) {
  return data_envelope("getViewModeInfo", "{\"current\": \"" + current + "\", \"viewModes\": [" + modes + "]}");
}

inline const std::string kBothModes = "\"single\", \"quad\"";
inline const std::string kSingleOnly = "\"single\"";
inline const std::string kInvalidValue = "Invalid parameter value.";
inline const std::string kInternal = "Internal error, could not complete request.";

inline std::string set_request(const std::string &value) {
  return R"({"method": "setViewMode", "apiVersion": "1.0", "params": {"value": ")" + value + "\"}}";
}
inline const std::string kInfoRequest = R"({"method": "getViewModeInfo", "apiVersion": "1.0"})";
inline const std::string kVersionsRequest = R"({"method": "getSupportedVersions"})";
inline const std::string kVersionsAnswer = data_envelope("getSupportedVersions", R"({"apiVersions": ["1.0"]})");

class E2eTest : public ::testing::Test {
 protected:
  // The bus and the simulator; the test prepares the folder, then starts.
  void SetUp() override {
    ASSERT_TRUE(bus_.start_bus());
    ASSERT_TRUE(bus_.start_simulator(rotations_));
  }
  void TearDown() override {
    service_.stop();  // the service holds a bus connection
    bus_.stop_simulator();
    bus_.stop_bus();
  }

  bool start() { return service_.start(bus_.address()); }

  // The body of a 200 answer to a POST of payload.
  std::string call(const std::string &payload) {
    HttpAnswer reply = service_.post(payload);
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.body;
  }

  std::array<int, 4> rotations_ = {0, 0, 0, 0};
  RotationBus bus_;
  Service service_;
};

}  // namespace pts_test

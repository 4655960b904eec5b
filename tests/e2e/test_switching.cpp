// Switching through the API while the rotation or a platform part says no.
#include "e2e_fixture.h"

#include <algorithm>

namespace pts_test {
namespace {

class SwitchingTest : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    service_.write_ocul("single");
    service_.write_parameters("no");
  }

  void expect_untouched() {
    EXPECT_EQ(service_.ocul_mode(), "single");
    EXPECT_EQ(service_.i4_enabled(), "no");
    EXPECT_EQ(service_.stored_mode(), "single");
  }
};

TEST_F(SwitchingTest, QuadIsRefusedWhileAChannelIsTurnedSideways) {
  ASSERT_TRUE(start());
  const struct {
    int channel;
    int degrees;
  } cases[] = {{0, 90}, {3, 270}, {1, 90}};
  for (const auto &c : cases) {
    SCOPED_TRACE("channel " + std::to_string(c.channel) + " at " + std::to_string(c.degrees));
    bus_.set_rotation(c.channel, c.degrees);
    EXPECT_EQ(call(set_request("quad")), answer(error_envelope("setViewMode", 1000, kInvalidValue)));
    EXPECT_EQ(call(kInfoRequest), answer(view_mode_info("single", kSingleOnly)));
    EXPECT_EQ(call(set_request("single")), answer(data_envelope("setViewMode", "{}")));
    expect_untouched();

    bus_.set_rotation(c.channel, 0);
    EXPECT_EQ(call(kInfoRequest), answer(view_mode_info("single", kBothModes)));
    EXPECT_EQ(call(set_request("quad")), answer(data_envelope("setViewMode", "{}")));
    EXPECT_EQ(service_.ocul_mode(), "quad");
    EXPECT_EQ(call(set_request("single")), answer(data_envelope("setViewMode", "{}")));
  }
}

TEST_F(SwitchingTest, NothingIsAllowedWhileTheRotationServiceIsGone) {
  const std::string unknown =
      "ERROR: Failed to call dbus method GetAutoRotation (GDBus.Error:org.freedesktop.DBus.Error.ServiceUnknown: ";
  enum class Gone { kStopped, kKilled, kBus };
  const struct {
    const char *name;
    Gone how;
    std::string query_failure;  // how each failed query's line starts
    const char *cause;  // logged once, when the service notices
  } cases[] = {
      {"the auto-rotation service stops", Gone::kStopped, unknown, nullptr},
      {"the auto-rotation service is killed", Gone::kKilled, unknown, nullptr},
      {"the system bus goes away", Gone::kBus,
       "ERROR: Failed to call dbus method GetAutoRotation (The connection is closed)", "ERROR: Lost dbus connection["},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    if (bus_.address().empty()) {
      ASSERT_TRUE(bus_.start_bus());
    }
    ASSERT_TRUE(bus_.start_simulator());
    ASSERT_TRUE(start());
    if (c.how == Gone::kBus)
      bus_.stop_bus();
    else
      bus_.stop_simulator(c.how == Gone::kKilled ? SIGKILL : SIGTERM);
    for (const char *value : {"single", "quad"})
      EXPECT_EQ(call(set_request(value)), answer(error_envelope("setViewMode", 1000, kInvalidValue))) << value;
    EXPECT_EQ(call(kInfoRequest), answer(error_envelope("getViewModeInfo", 8000, kInternal)));
    EXPECT_EQ(call(kVersionsRequest), answer(kVersionsAnswer));
    EXPECT_TRUE(service_.running());
    EXPECT_EQ(service_.log_count_starting(c.query_failure), 3u) << service_.log_text();
    EXPECT_EQ(service_.log_count("ERROR: Failed to get view modes"), 1u);
    EXPECT_EQ(c.cause ? service_.log_count_starting(c.cause) : 0u, c.cause ? 1u : 0u) << service_.log_text();
    expect_untouched();

    // Back again: a new auto-rotation service is asked afresh, without a
    // restart; a lost bus connection is not made again.
    if (c.how == Gone::kBus) {
      ASSERT_TRUE(bus_.start_bus());
      ASSERT_TRUE(bus_.start_simulator());
      EXPECT_EQ(call(kInfoRequest), answer(error_envelope("getViewModeInfo", 8000, kInternal)));
    } else {
      ASSERT_TRUE(bus_.start_simulator());
      EXPECT_EQ(call(kInfoRequest), answer(view_mode_info("single", kBothModes)));
      EXPECT_EQ(call(set_request("quad")), answer(data_envelope("setViewMode", "{}")));
      EXPECT_EQ(service_.ocul_mode(), "quad");
      EXPECT_EQ(call(set_request("single")), answer(data_envelope("setViewMode", "{}")));
    }
    service_.stop();
  }
}

TEST_F(SwitchingTest, EachPlatformFaultEndsInItsAnswerAndNothingIsLost) {
  const std::string ok = data_envelope("setViewMode", "{}");
  const std::string refused = error_envelope("setViewMode", 8000, kInternal);
  const std::string none = "ERROR: Unrecognized view mode: none";
  const struct {
    const char *name;
    std::vector<std::string> video_faults, parameter_faults;  // on from the start
    std::string answer;  // to a switch to quad
    const char *video_after, *i4_after, *stored_after;
    std::vector<std::string> log;  // a line listed twice is logged twice
    bool needs_restart = false;  // to switch again once the fault is gone
  } cases[] = {
      {"video system refuses the settings", {"apply"}, {}, refused, "single", "no", "single",
       {"WARNING: failed to apply mode settings: The video system refused the settings",
        "ERROR: Failed pts_ocul_set_view_mode"}},
      {"video system gives no settings map", {"map_new"}, {}, refused, "single", "no", "single",
       {"WARNING: Failed to create mode_settings", "ERROR: Failed pts_ocul_set_view_mode"}},
      // Only the start reads mode information: it applies the stored mode
      // onto a video system whose mode it cannot tell.
      {"video system gives no mode information", {"get_info"}, {}, ok, "quad", "yes", "quad",
       {"WARNING: failed to get system caps: Mode information is not available",
        "WARNING: failed to get mode info: Mode information is not available", none, none}},
      // The instance is had once, at start.
      {"video system not running at start", {"mode_new"}, {}, refused, "single", "no", "single",
       {"CRITICAL: failed to get system instance: The video system is not running", none, none,
        "ERROR: Error setting view mode: single", "ERROR: Failed pts_ocul_set_view_mode",
        "ERROR: Failed pts_ocul_set_view_mode"},
       true},
      // The start sets the parameter too, to follow the mode it finds.
      {"parameter service cannot be opened", {}, {"new"}, refused, "quad", "no", "single",
       {"ERROR: Failed pts_param_set_view_mode", "ERROR: Failed pts_param_set_view_mode"}},
      {"parameter service refuses the value", {}, {"set"}, ok, "quad", "no", "quad",
       {"ERROR: Error setting parameter root.Image.I4.Enabled to no (Parameter root.Image.I4.Enabled is locked)",
        "ERROR: Error setting parameter root.Image.I4.Enabled to yes (Parameter root.Image.I4.Enabled is locked)"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    service_.write_key_file("[general]\nview_mode=single\n");
    service_.write_ocul("single", "single,quad", c.video_faults);
    service_.write_parameters("no", c.parameter_faults);
    ASSERT_TRUE(start());

    EXPECT_EQ(call(set_request("quad")), answer(c.answer));
    EXPECT_EQ(service_.ocul_mode(), c.video_after);
    EXPECT_EQ(service_.i4_enabled(), c.i4_after);
    EXPECT_EQ(service_.stored_mode(), c.stored_after);
    for (const auto &line : c.log)
      EXPECT_EQ(service_.log_count(line), size_t(std::count(c.log.begin(), c.log.end(), line)))
          << line << "\n" << service_.log_text();
    // What is reported as current is what was stored.
    EXPECT_EQ(call(kInfoRequest), answer(view_mode_info(c.stored_after, kBothModes)));

    // The fault goes away; the next switch goes through.
    service_.write_ocul(service_.ocul_mode());
    service_.write_parameters(service_.i4_enabled());
    if (c.needs_restart) {
      service_.stop();
      ASSERT_TRUE(start());
    }
    EXPECT_EQ(call(set_request("quad")), answer(ok));
    EXPECT_EQ(service_.ocul_mode(), "quad");
    EXPECT_EQ(service_.i4_enabled(), "yes");
    EXPECT_EQ(service_.stored_mode(), "quad");
    service_.stop();
  }
}

TEST_F(SwitchingTest, UnsavableKeyFileFailsTheSwitchAfterTheVideoSystemMoved) {
  ASSERT_TRUE(start());
  // A directory in the file's place: no save can replace it, not even as root.
  std::filesystem::remove(service_.path("localdata/panetessel.conf"));
  std::filesystem::create_directory(service_.path("localdata/panetessel.conf"));

  EXPECT_EQ(call(set_request("quad")), answer(error_envelope("setViewMode", 8000, kInternal)));
  EXPECT_EQ(service_.ocul_mode(), "quad");
  EXPECT_EQ(service_.i4_enabled(), "yes");
  EXPECT_EQ(service_.log_count("ERROR: Failed to write view mode to file"), 1u) << service_.log_text();
  EXPECT_EQ(service_.log_count("ERROR: Failed pts_persistent_set_view_mode"), 1u);
}

}  // namespace
}  // namespace pts_test

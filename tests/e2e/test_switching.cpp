// Switching through the API while the rotation or a platform part says no.
#include "e2e_fixture.h"

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
  const struct {
    const char *name;
    bool whole_bus;     // the system bus itself goes, not only the service on it
    const char *cause;  // logged once, when the service notices
  } cases[] = {
      {"the auto-rotation service stops", false, nullptr},
      {"the system bus goes away", true, "ERROR: Lost dbus connection["},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    if (bus_.address().empty()) {
      ASSERT_TRUE(bus_.start_bus());
    }
    ASSERT_TRUE(bus_.start_simulator());
    ASSERT_TRUE(start());
    c.whole_bus ? bus_.stop_bus() : bus_.stop_simulator();
    for (const char *value : {"single", "quad"})
      EXPECT_EQ(call(set_request(value)), answer(error_envelope("setViewMode", 1000, kInvalidValue))) << value;
    EXPECT_EQ(call(kInfoRequest), answer(error_envelope("getViewModeInfo", 8000, kInternal)));
    EXPECT_EQ(call(kVersionsRequest), answer(kVersionsAnswer));
    EXPECT_TRUE(service_.running());
    EXPECT_EQ(service_.log_count("ERROR: Failed to get view modes"), 1u) << service_.log_text();
    size_t causes = 0;
    for (const auto &line : service_.log_lines())
      if (c.cause && line.starts_with(c.cause)) causes++;
    EXPECT_EQ(causes, c.cause ? 1u : 0u) << service_.log_text();
    expect_untouched();
    service_.stop();
  }
}

TEST_F(SwitchingTest, VideoSystemRefusalLeavesParameterAndKeyFileAlone) {
  service_.write_ocul("single", "single,quad", {"apply"});
  ASSERT_TRUE(start());
  EXPECT_EQ(call(set_request("quad")), answer(error_envelope("setViewMode", 8000, kInternal)));
  expect_untouched();
  EXPECT_EQ(service_.log_count("ERROR: Failed pts_ocul_set_view_mode"), 1u) << service_.log_text();
  EXPECT_EQ(call(kInfoRequest), answer(view_mode_info("single", kBothModes)));
}

TEST_F(SwitchingTest, RefusedParameterValueIsLoggedAndTheSwitchGoesOn) {
  service_.write_parameters("no", {"set"});
  ASSERT_TRUE(start());
  EXPECT_EQ(call(set_request("quad")), answer(data_envelope("setViewMode", "{}")));
  EXPECT_EQ(service_.ocul_mode(), "quad");
  EXPECT_EQ(service_.i4_enabled(), "no");
  EXPECT_EQ(service_.stored_mode(), "quad");
  const std::string prefix = "ERROR: Error setting parameter root.Image.I4.Enabled to yes (";
  size_t found = 0;
  for (const auto &line : service_.log_lines())
    if (line.starts_with(prefix) && line.ends_with(")")) found++;
  EXPECT_EQ(found, 1u) << service_.log_text();
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

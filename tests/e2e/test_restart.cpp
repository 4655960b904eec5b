// What the service makes of the camera it finds at start.
#include "e2e_fixture.h"

namespace pts_test {
namespace {

using RestartTest = E2eTest;

TEST_F(RestartTest, StoredQuadIsBroughtBackOntoAResetVideoSystem) {
  service_.write_ocul("single");
  service_.write_parameters("no");
  ASSERT_TRUE(start());
  ASSERT_EQ(call(set_request("quad")), answer(data_envelope("setViewMode", "{}")));

  service_.stop();
  service_.write_ocul("single");  // the video system came back in its default
  service_.write_parameters("no");
  ASSERT_TRUE(start());

  EXPECT_EQ(service_.ocul_mode(), "quad");
  EXPECT_EQ(service_.i4_enabled(), "yes");
  EXPECT_EQ(service_.stored_mode(), "quad");
  EXPECT_EQ(call(kInfoRequest), answer(view_mode_info("quad", kBothModes)));
}

TEST_F(RestartTest, StartStateIsReconciled) {
  const struct {
    const char *name;
    const char *stored;  // the key file's view_mode
    const char *video;   // the video system's mode at start
    int rotated_channel;  // -1: none; else at 270 degrees
    const char *i4_before;
    const char *video_after, *i4_after, *stored_after;
    std::string info;  // getViewModeInfo's answer afterwards
  } cases[] = {
      {"rotated channel forces single everywhere", "quad", "single", 2, "yes",  //
       "single", "no", "single", view_mode_info("single", kSingleOnly)},
      {"hand-edited name counts as single", "Quad", "quad", -1, "yes",  //
       "single", "no", "single", view_mode_info("single", kBothModes)},
      {"a name the video system shares is left alone", "Quad", "Quad", -1, "yes",  //
       "Quad", "yes", "Quad", view_mode_info("Quad", kBothModes)},
      {"a stale parameter follows the mode both agree on", "quad", "quad", -1, "no",  //
       "quad", "yes", "quad", view_mode_info("quad", kBothModes)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    service_.write_key_file(std::string("[general]\nview_mode=") + c.stored + "\n");
    service_.write_ocul(c.video, "single,quad,Quad");
    service_.write_parameters(c.i4_before);
    for (int channel = 0; channel < 4; channel++) bus_.set_rotation(channel, channel == c.rotated_channel ? 270 : 0);
    ASSERT_TRUE(start());

    EXPECT_EQ(service_.ocul_mode(), c.video_after);
    EXPECT_EQ(service_.i4_enabled(), c.i4_after);
    EXPECT_EQ(service_.stored_mode(), c.stored_after);
    EXPECT_EQ(call(kInfoRequest), answer(c.info));
    service_.stop();
  }
}

TEST_F(RestartTest, WithoutKeyFileBusOrVideoSystemItStillAnswers) {
  service_.remove_key_dir();
  service_.write_ocul("single", "single,quad", {"mode_new"});
  ASSERT_TRUE(service_.start("unix:path=" + service_.path("no-such-bus")));

  EXPECT_EQ(call(kVersionsRequest), answer(kVersionsAnswer));
  EXPECT_EQ(call(kInfoRequest), answer(error_envelope("getViewModeInfo", 8000, kInternal)));
  EXPECT_EQ(call(set_request("single")), answer(error_envelope("setViewMode", 1000, kInvalidValue)));

  EXPECT_EQ(service_.log_count("ERROR: Unrecognized view mode: none"), 2u) << service_.log_text();
  EXPECT_EQ(service_.log_count("ERROR: Error setting view mode: single"), 1u);
  EXPECT_EQ(service_.log_count("ERROR: Failed to connect to bus"), 1u);
  EXPECT_FALSE(std::filesystem::exists(service_.path("localdata")));
}

}  // namespace
}  // namespace pts_test

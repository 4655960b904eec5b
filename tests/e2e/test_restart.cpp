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

// The key file's contents; kFolder puts a folder in its place.
constexpr char kFolder[] = "<folder>";
std::string stored(const std::string &name) { return "[general]\nview_mode=" + name + "\n"; }

// Bytes that are no key file: not even a group header comes first.
std::string garbage(size_t size) {
  std::string bytes(size, '\0');
  uint32_t state = 12345;
  for (auto &byte : bytes) byte = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
  bytes[0] = 'x';
  return bytes;
}

void place_key_file(Service &service, const std::string &contents) {
  std::filesystem::remove_all(service.path("localdata/panetessel.conf"));
  if (contents == kFolder)
    std::filesystem::create_directory(service.path("localdata/panetessel.conf"));
  else
    service.write_key_file(contents);
}

TEST_F(RestartTest, StartStateIsReconciled) {
  const struct {
    const char *name;
    std::string key_file;
    const char *video;   // the video system's mode at start
    int rotated_channel;  // -1: none; else at 270 degrees
    const char *i4_before;
    const char *video_after, *i4_after, *stored_after;
    std::string info;  // getViewModeInfo's answer afterwards
    std::string log_line = "";  // logged once, when given
  } cases[] = {
      {"rotated channel forces single everywhere", stored("quad"), "single", 2, "yes",  //
       "single", "no", "single", view_mode_info("single", kSingleOnly)},
      {"hand-edited name counts as single", stored("Quad"), "quad", -1, "yes",  //
       "single", "no", "single", view_mode_info("single", kBothModes)},
      {"a name the video system shares is left alone", stored("Quad"), "Quad", -1, "yes",  //
       "Quad", "yes", "Quad", view_mode_info("Quad", kBothModes)},
      {"a stale parameter follows the mode both agree on", stored("quad"), "quad", -1, "no",  //
       "quad", "yes", "quad", view_mode_info("quad", kBothModes)},
      // A file that does not load keeps what loaded before the bad line; the
      // next save puts the file right.
      {"garbage counts as single and is put right", garbage(4096), "quad", -1, "yes",  //
       "single", "no", "single", view_mode_info("single", kBothModes)},
      {"garbage after the stored mode keeps it", stored("quad") + "\xff\xfe garbage\n", "single", -1, "no",  //
       "quad", "yes", "quad", view_mode_info("quad", kBothModes)},
      {"10 MB of zeros after the stored mode keep it", stored("quad") + std::string(10 << 20, '\0'), "single",
       -1, "no", "quad", "yes", "quad", view_mode_info("quad", kBothModes)},
      // The camera follows the mode kept in memory; the switch's save fails.
      {"a folder in the key file's place", kFolder, "quad", -1, "yes",  //
       "single", "no", kAbsent, view_mode_info("single", kBothModes), "ERROR: Error setting view mode: single"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    place_key_file(service_, c.key_file);
    service_.write_ocul(c.video, "single,quad,Quad");
    service_.write_parameters(c.i4_before);
    for (int channel = 0; channel < 4; channel++) bus_.set_rotation(channel, channel == c.rotated_channel ? 270 : 0);
    ASSERT_TRUE(start());

    EXPECT_EQ(service_.ocul_mode(), c.video_after);
    EXPECT_EQ(service_.i4_enabled(), c.i4_after);
    EXPECT_EQ(service_.stored_mode(), c.stored_after);
    EXPECT_EQ(call(kInfoRequest), answer(c.info));
    if (!c.log_line.empty()) {
      EXPECT_EQ(service_.log_count(c.log_line), 1u) << service_.log_text();
    }
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

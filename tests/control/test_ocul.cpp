// The video mode adapter against the simulated video system.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "log_capture.h"
#include "pts_ocul.h"
#include "sim_state.h"

namespace {

using pts_test::LogLine;

std::string take(gchar *text) {
  std::string copy = text ? text : "<null>";
  g_free(text);
  return copy;
}

class OculTest : public ::testing::Test {
 protected:
  void TearDown() override { pts_ocul_close(); }
  pts_test::SimState sim_;
  pts_test::LogCapture log_;
};

struct ReadCase {
  const char *label;
  const char *ocul_conf;  // nullptr: no state file yet
  const char *mode;
  const char *modes;
  std::vector<LogLine> log;
};

class OculReadTest : public OculTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(OculReadTest, ReadsBothEntriesAfresh) {
  const ReadCase &c = GetParam();
  if (c.ocul_conf) sim_.write("ocul.conf", c.ocul_conf);
  pts_ocul_open();

  EXPECT_EQ(take(pts_ocul_get_view_mode()), c.mode);
  EXPECT_EQ(take(pts_ocul_get_view_modes()), c.modes);
  EXPECT_EQ(log_.lines(), c.log);
}

INSTANTIATE_TEST_SUITE_P(
    States, OculReadTest,
    ::testing::Values(
        ReadCase{"FactoryState", nullptr, "single", "single,quad", {}},
        ReadCase{"Quad", "[mode]\nview_mode.name=quad\navailable_view_modes=single,quad\n",
                 "quad", "single,quad", {}},
        // The list comes back as offered; splitting it is the caller's job.
        ReadCase{"OddList", "[mode]\nview_mode.name=single\navailable_view_modes=single,,triple\n",
                 "single", "single,,triple", {}},
        ReadCase{"NoEntries", "[mode]\n", "none", "none", {}},
        // Fault switches set before the first switch leave the factory mode.
        ReadCase{"FaultSwitchesOnly", "[faults]\napply=false\n", "single", "single,quad", {}},
        ReadCase{"NoInformation",
                 "[faults]\nget_info=true\n",
                 "none",
                 "none",
                 {{G_LOG_LEVEL_WARNING, "failed to get mode info: Mode information is not available\n"},
                  {G_LOG_LEVEL_WARNING,
                   "failed to get system caps: Mode information is not available\n"}}}),
    [](const auto &info) { return std::string(info.param.label); });

TEST_F(OculTest, WithoutAnInstanceReadsGiveNoneAndSwitchesFail) {
  sim_.set_ocul_fault("mode_new");
  pts_ocul_open();

  EXPECT_EQ(take(pts_ocul_get_view_mode()), "none");
  EXPECT_EQ(take(pts_ocul_get_view_modes()), "none");
  EXPECT_FALSE(pts_ocul_set_view_mode("quad"));
  const std::vector<LogLine> expected = {
      {G_LOG_LEVEL_CRITICAL, "failed to get system instance: The video system is not running"},
      {G_LOG_LEVEL_WARNING, "failed to get mode info: No video mode instance\n"},
      {G_LOG_LEVEL_WARNING, "failed to get system caps: No video mode instance\n"},
      {G_LOG_LEVEL_WARNING, "failed to apply mode settings: No video mode instance\n"},
  };
  EXPECT_EQ(log_.lines(), expected);
}

struct SwitchCase {
  const char *label;
  const char *ocul_conf;  // nullptr: no state file yet
  const char *name;
  bool switched;
  std::vector<LogLine> log;
};

class OculSwitchTest : public OculTest, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(OculSwitchTest, AppliesTheNameOrReportsTheRefusal) {
  const SwitchCase &c = GetParam();
  if (c.ocul_conf) sim_.write("ocul.conf", c.ocul_conf);
  pts_ocul_open();
  const std::string before = take(pts_ocul_get_view_mode());

  EXPECT_EQ(pts_ocul_set_view_mode(c.name), c.switched);
  EXPECT_EQ(log_.lines(), c.log);
  EXPECT_EQ(take(pts_ocul_get_view_mode()), c.switched ? c.name : before);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, OculSwitchTest,
    ::testing::Values(
        SwitchCase{"ToQuad", nullptr, "quad", true, {}},
        SwitchCase{"NotOffered",
                   "[mode]\nview_mode.name=single\navailable_view_modes=single\n",
                   "quad",
                   false,
                   {{G_LOG_LEVEL_WARNING,
                     "failed to apply mode settings: View mode quad is not offered\n"}}},
        SwitchCase{"Refused",
                   "[faults]\napply=true\n",
                   "quad",
                   false,
                   {{G_LOG_LEVEL_WARNING,
                     "failed to apply mode settings: The video system refused the settings\n"}}},
        SwitchCase{"NoSettingsMap",
                   "[faults]\nmap_new=true\n",
                   "quad",
                   false,
                   {{G_LOG_LEVEL_WARNING, "Failed to create mode_settings\n"}}}),
    [](const auto &info) { return std::string(info.param.label); });

// No comparison with the mode in effect: the apply still runs, and here it
// is what first writes the state file.
TEST_F(OculTest, SwitchToTheModeInEffectStillApplies) {
  pts_ocul_open();
  ASSERT_FALSE(sim_.exists("ocul.conf"));
  EXPECT_TRUE(pts_ocul_set_view_mode("single"));
  EXPECT_EQ(sim_.ocul_mode(), "single");
}

TEST_F(OculTest, OpenKeepsItsInstanceUntilClosed) {
  pts_ocul_open();
  sim_.set_ocul_fault("mode_new");
  pts_ocul_open();  // still set: no new instance is asked for
  EXPECT_TRUE(log_.lines().empty()) << log_.dump();
  EXPECT_TRUE(pts_ocul_set_view_mode("quad"));

  pts_ocul_close();
  pts_ocul_close();
  pts_ocul_open();  // a new instance, which the video system now refuses
  EXPECT_EQ(log_.lines(), (std::vector<LogLine>{{G_LOG_LEVEL_CRITICAL,
                                                 "failed to get system instance: The video "
                                                 "system is not running"}}));
}

}  // namespace

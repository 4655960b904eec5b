// The view mode catalogue, the rules for allowed modes (against the
// auto-rotation simulator on a private bus) and the three-step switch
// (against the simulated video system, parameter service and key file).
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "bus_fixture.h"
#include "log_capture.h"
#include "pts_dbus.h"
#include "pts_ocul.h"
#include "pts_persistent.h"
#include "pts_view_mode.h"
#include "sim_state.h"

namespace {

using pts_test::kLevelError;
using pts_test::LogLine;

constexpr char kKeyFile[] = PTS_CONFIG_PATH;
constexpr ViewMode kUntouched = 77;

TEST(ViewModeCatalogue, NamesToIndices) {
  struct Row {
    const char *name;
    bool known;
    ViewMode mode;
  };
  const Row rows[] = {
      {"single", true, VIEW_MODE_SINGLE}, {"quad", true, VIEW_MODE_QUAD},
      {"Quad", false, kUntouched},        {"SINGLE", false, kUntouched},
      {" quad", false, kUntouched},       {"quad ", false, kUntouched},
      {"", false, kUntouched},            {"quadx", false, kUntouched},
      {nullptr, false, kUntouched},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name ? std::string("\"") + row.name + "\"" : "null");
    ViewMode mode = kUntouched;
    EXPECT_EQ(pts_view_mode_from_name(row.name, &mode), row.known);
    EXPECT_EQ(mode, row.mode);
  }
}

TEST(ViewModeCatalogue, IndicesToNamesAndRotationFlags) {
  struct Row {
    ViewMode mode;
    const char *name;  // nullptr: out of range
    gint32 rotation_ok;
  };
  constexpr Row rows[] = {
      {VIEW_MODE_SINGLE, "single", 1},
      {VIEW_MODE_QUAD, "quad", 0},
      {2, nullptr, 0},
      {G_MAXUINT32, nullptr, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.mode);
    const gchar *sentinel = "untouched";
    const gchar *name = sentinel;
    EXPECT_EQ(pts_view_mode_to_name(row.mode, &name), row.name != nullptr);
    EXPECT_STREQ(name, row.name ? row.name : sentinel);
    EXPECT_EQ(pts_view_mode_rotation_ok(row.mode), row.rotation_ok);
  }
}

// --- Allowed modes --------------------------------------------------------

std::vector<std::string> take_names(GArray *names) {
  std::vector<std::string> copy;
  if (!names) return {"<null>"};
  for (guint i = 0; i < names->len; i++) {
    gchar *name = g_array_index(names, gchar *, i);
    copy.emplace_back(name);
    g_free(name);
  }
  // Zero-terminated: the element after the last is NULL.
  EXPECT_EQ(reinterpret_cast<gchar **>(names->data)[names->len], nullptr);
  g_array_free(names, TRUE);
  return copy;
}

class AllowedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus_.start_simulator());
    pts_dbus_open();
  }
  // The module's shared connection must be gone before the bus stops.
  void TearDown() override { pts_dbus_close(); }

  pts_test::RotationBus bus_;
  pts_test::LogCapture log_;
};

TEST_F(AllowedTest, EveryModeWhileNothingIsRotated) {
  EXPECT_TRUE(pts_view_mode_is_allowed(VIEW_MODE_SINGLE));
  EXPECT_TRUE(pts_view_mode_is_allowed(VIEW_MODE_QUAD));
  EXPECT_TRUE(pts_view_mode_is_allowed(5));  // not validated on this path
  EXPECT_EQ(take_names(pts_view_mode_get_allowed()), (std::vector<std::string>{"single", "quad"}));
  EXPECT_TRUE(log_.lines().empty()) << log_.dump();
}

TEST_F(AllowedTest, OnlySingleWhileAChannelIsRotated) {
  for (int degrees : {90, 270}) {
    SCOPED_TRACE(degrees);
    bus_.set_rotation(2, degrees);
    EXPECT_TRUE(pts_view_mode_is_allowed(VIEW_MODE_SINGLE));
    EXPECT_FALSE(pts_view_mode_is_allowed(VIEW_MODE_QUAD));
    EXPECT_FALSE(pts_view_mode_is_allowed(5));
    EXPECT_EQ(take_names(pts_view_mode_get_allowed()), (std::vector<std::string>{"single"}));
  }
  EXPECT_TRUE(log_.lines().empty()) << log_.dump();
}

TEST_F(AllowedTest, NothingWhenRotationCannotBeLearned) {
  bus_.stop_simulator();
  EXPECT_FALSE(pts_view_mode_is_allowed(VIEW_MODE_SINGLE));
  EXPECT_EQ(take_names(pts_view_mode_get_allowed()), (std::vector<std::string>{"<null>"}));
  // Each decision asked afresh, and each failed query was logged.
  ASSERT_EQ(log_.lines().size(), 2u) << log_.dump();
  for (const LogLine &line : log_.lines()) {
    EXPECT_EQ(line.level, kLevelError);
    EXPECT_EQ(line.message.rfind("Failed to call dbus method GetAutoRotation (", 0), 0u)
        << line.message;
  }
}

TEST_F(AllowedTest, EveryDecisionAsksAllChannelsAfresh) {
  bus_.reset_call_counts();
  pts_view_mode_is_allowed(VIEW_MODE_QUAD);
  take_names(pts_view_mode_get_allowed());
  for (int channel = 0; channel < 4; channel++) EXPECT_EQ(bus_.call_count(channel), 2u);
}

// --- Switching --------------------------------------------------------------

class SwitchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_.write(kKeyFile, "[general]\nview_mode=single\n");
    sim_.set_value("parameters.conf", "parameters", "root.Image.I4.Enabled", "no");
    pts_persistent_open();
    pts_ocul_open();
  }
  void TearDown() override {
    pts_ocul_close();
    pts_persistent_close();
  }
  std::optional<std::string> stored() const { return sim_.value(kKeyFile, "general", "view_mode"); }

  pts_test::SimState sim_;
  pts_test::LogCapture log_;
};

TEST_F(SwitchTest, AllThreeStepsFollowTheMode) {
  struct Row {
    ViewMode mode;
    const char *name;
    const char *i4_enabled;
  };
  constexpr Row rows[] = {{VIEW_MODE_QUAD, "quad", "yes"}, {VIEW_MODE_SINGLE, "single", "no"}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_TRUE(pts_set_view_mode(row.mode));
    EXPECT_EQ(sim_.ocul_mode(), row.name);
    EXPECT_EQ(sim_.i4_enabled(), row.i4_enabled);
    EXPECT_EQ(stored(), row.name);
  }
  EXPECT_TRUE(log_.lines().empty()) << log_.dump();
}

TEST_F(SwitchTest, IndexOutOfRangeTouchesNothing) {
  const auto key_file = sim_.read(kKeyFile);
  EXPECT_FALSE(pts_set_view_mode(5));
  EXPECT_FALSE(sim_.exists("ocul.conf"));
  EXPECT_EQ(sim_.i4_enabled(), "no");
  EXPECT_EQ(sim_.read(kKeyFile), key_file);
  EXPECT_TRUE(log_.lines().empty()) << log_.dump();
}

TEST_F(SwitchTest, VideoSystemRefusalStopsBeforeParameterAndKeyFile) {
  sim_.set_ocul_fault("apply");
  EXPECT_FALSE(pts_set_view_mode(VIEW_MODE_QUAD));
  const std::vector<LogLine> expected = {
      {G_LOG_LEVEL_WARNING, "failed to apply mode settings: The video system refused the settings\n"},
      {kLevelError, "Failed pts_ocul_set_view_mode"},
  };
  EXPECT_EQ(log_.lines(), expected);
  EXPECT_EQ(sim_.i4_enabled(), "no");
  EXPECT_EQ(stored(), "single");
}

TEST_F(SwitchTest, NoParameterServiceLeavesTheVideoSystemSwitched) {
  sim_.set_parameter_fault("new");
  EXPECT_FALSE(pts_set_view_mode(VIEW_MODE_QUAD));
  EXPECT_EQ(log_.lines(), (std::vector<LogLine>{{kLevelError, "Failed pts_param_set_view_mode"}}));
  EXPECT_EQ(sim_.ocul_mode(), "quad");
  EXPECT_EQ(stored(), "single");
}

TEST_F(SwitchTest, RefusedParameterStillStoresTheMode) {
  sim_.set_parameter_fault("set");
  EXPECT_TRUE(pts_set_view_mode(VIEW_MODE_QUAD));
  EXPECT_EQ(log_.lines(),
            (std::vector<LogLine>{{kLevelError,
                                   "Error setting parameter root.Image.I4.Enabled to yes "
                                   "(Parameter root.Image.I4.Enabled is locked)"}}));
  EXPECT_EQ(sim_.ocul_mode(), "quad");
  EXPECT_EQ(sim_.i4_enabled(), "no");
  EXPECT_EQ(stored(), "quad");
}

TEST_F(SwitchTest, KeyFileSaveFailureComesAfterVideoAndParameter) {
  const auto key_file = sim_.read(kKeyFile);
  sim_.remove("localdata");
  EXPECT_FALSE(pts_set_view_mode(VIEW_MODE_QUAD));
  ASSERT_EQ(log_.lines().size(), 3u) << log_.dump();
  EXPECT_EQ(log_.lines()[0], (LogLine{kLevelError, "Failed to write view mode to file"}));
  EXPECT_EQ(log_.lines()[2], (LogLine{kLevelError, "Failed pts_persistent_set_view_mode"}));
  EXPECT_EQ(sim_.ocul_mode(), "quad");
  EXPECT_EQ(sim_.i4_enabled(), "yes");
  // Nothing is undone, and the in-memory stored mode already follows.
  g_autofree gchar *current = pts_persistent_get_view_mode();
  EXPECT_STREQ(current, "quad");
}

}  // namespace

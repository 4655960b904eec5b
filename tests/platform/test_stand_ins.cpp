// The simulated video system and parameter service on their own: what the
// service's tests rely on but do not show.
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "ocul.h"
#include "sim_state.h"
#include "zuparameter.h"

G_DEFINE_AUTOPTR_CLEANUP_FUNC(ZuParameter, zu_parameter_free)

namespace {

std::string info_entry(OculMode *mode, const char *key) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(OculMap) info = ocul_mode_get_info(mode, &error);
  if (!info) return std::string("error: ") + error->message;
  return ocul_map_get_string(info, key, nullptr, "<absent>");
}

gboolean apply(OculMode *mode, const char *name, GError **error) {
  g_autoptr(OculMap) settings = ocul_map_new();
  ocul_map_set_string(settings, "view_mode.name", name);
  return ocul_mode_apply(mode, settings, error);
}

class StandInTest : public ::testing::Test {
 protected:
  pts_test::SimState sim_{false};
};

TEST_F(StandInTest, AppliedModeSurvivesARestartAndKeepsTheRestOfTheFile) {
  sim_.write("ocul.conf",
             "# hand-written\n[mode]\nview_mode.name=single\navailable_view_modes=single,quad\n"
             "sensor=imx\n[faults]\nget_info=false\n");
  {
    g_autoptr(OculMode) mode = ocul_mode_new(nullptr);
    ASSERT_NE(mode, nullptr);
    ASSERT_TRUE(apply(mode, "quad", nullptr));
  }
  g_autoptr(OculMode) restarted = ocul_mode_new(nullptr);
  EXPECT_EQ(info_entry(restarted, "view_mode.name"), "quad");
  // The map mirrors [mode], extra keys included.
  EXPECT_EQ(info_entry(restarted, "sensor"), "imx");
  EXPECT_EQ(sim_.value("ocul.conf", "faults", "get_info"), "false");
  EXPECT_NE(sim_.read("ocul.conf")->find("# hand-written"), std::string::npos);
}

TEST_F(StandInTest, FirstApplyWritesTheFactoryListAlong) {
  g_autoptr(OculMode) mode = ocul_mode_new(nullptr);
  ASSERT_TRUE(apply(mode, "quad", nullptr));
  EXPECT_EQ(sim_.ocul_mode(), "quad");
  EXPECT_EQ(sim_.value("ocul.conf", "mode", "available_view_modes"), "single,quad");
}

TEST_F(StandInTest, NamesNotOfferedAreRefused) {
  g_autoptr(OculMode) mode = ocul_mode_new(nullptr);
  for (const char *name : {"triple", "Quad", "", "single,quad"}) {
    SCOPED_TRACE(name);
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(apply(mode, name, &error));
    EXPECT_TRUE(g_error_matches(error, OCUL_ERROR, OCUL_ERROR_REFUSED));
  }
  g_autoptr(GError) error = nullptr;
  g_autoptr(OculMap) empty = ocul_map_new();
  EXPECT_FALSE(ocul_mode_apply(mode, empty, &error));
  EXPECT_TRUE(g_error_matches(error, OCUL_ERROR, OCUL_ERROR_REFUSED));
  EXPECT_FALSE(sim_.exists("ocul.conf"));
}

TEST_F(StandInTest, NullInstanceAndUnreadableStateFailCleanly) {
  g_autoptr(GError) info_error = nullptr;
  EXPECT_EQ(ocul_mode_get_info(nullptr, &info_error), nullptr);
  EXPECT_TRUE(g_error_matches(info_error, OCUL_ERROR, OCUL_ERROR_UNAVAILABLE));
  g_autoptr(GError) apply_error = nullptr;
  EXPECT_FALSE(apply(nullptr, "single", &apply_error));
  EXPECT_TRUE(g_error_matches(apply_error, OCUL_ERROR, OCUL_ERROR_UNAVAILABLE));
  EXPECT_STREQ(ocul_map_get_string(nullptr, "view_mode.name", nullptr, "none"), "none");

  sim_.write("ocul.conf", "not a key file\n");
  g_autoptr(GError) error = nullptr;
  EXPECT_EQ(ocul_mode_new(&error), nullptr);
  EXPECT_TRUE(g_error_matches(error, OCUL_ERROR, OCUL_ERROR_UNAVAILABLE));
}

TEST_F(StandInTest, FaultSwitchesMayCarryAComment) {
  sim_.write("ocul.conf", "[faults]\napply=true   # refuse every switch\n");
  g_autoptr(OculMode) mode = ocul_mode_new(nullptr);
  EXPECT_FALSE(apply(mode, "single", nullptr));
}

// A save cut short (a kill, a power cut) leaves its temporary file; the
// stand-ins remove their own when opened, and nothing else.
TEST_F(StandInTest, OpeningRemovesLeftoversOfInterruptedSaves) {
  const struct {
    const char *name;
    bool removed;
  } cases[] = {
      {"ocul.conf.a1B2c3", true},        {"parameters.conf.ZZZZZZ", true},
      {"ocul.conf.a1B2c", false},        {"parameters.conf.a1-2c3", false},
      {"panetessel.conf.a1B2c3", false}, {"ocul.conf~", false},
  };
  for (const auto &c : cases) sim_.write(c.name, "x");
  g_autoptr(OculMode) mode = ocul_mode_new(nullptr);
  g_autoptr(ZuParameter) handle = zu_parameter_new("pane-tessel", nullptr);
  for (const auto &c : cases) EXPECT_EQ(sim_.exists(c.name), !c.removed) << c.name;
}

TEST_F(StandInTest, ParametersPersistAndKeepEachOther) {
  sim_.write("parameters.conf", "[parameters]\nroot.Image.I4.Enabled=no\nroot.Other=1\n");
  {
    g_autoptr(ZuParameter) handle = zu_parameter_new("pane-tessel", nullptr);
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(zu_parameter_set(handle, "root.Image.I4.Enabled", "yes", TRUE, nullptr));
    // A value the store holds already is not written again: the same file.
    GStatBuf before, after;
    ASSERT_EQ(g_stat(sim_.path("parameters.conf").c_str(), &before), 0);
    EXPECT_TRUE(zu_parameter_set(handle, "root.Image.I4.Enabled", "yes", TRUE, nullptr));
    ASSERT_EQ(g_stat(sim_.path("parameters.conf").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
  }
  EXPECT_EQ(sim_.i4_enabled(), "yes");
  EXPECT_EQ(sim_.value("parameters.conf", "parameters", "root.Other"), "1");
  zu_parameter_free(nullptr);
}

TEST_F(StandInTest, ParameterServiceRefusals) {
  struct Row {
    const char *label;
    const char *app_name;
    const char *fault;  // nullptr: none
    bool opens;
  };
  constexpr Row rows[] = {
      {"no app name", nullptr, nullptr, false},
      {"not running", "pane-tessel", "new", false},
      {"locked", "pane-tessel", "set", true},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.label);
    sim_.remove("parameters.conf");
    if (row.fault) sim_.set_parameter_fault(row.fault);
    g_autoptr(GError) error = nullptr;
    g_autoptr(ZuParameter) handle = zu_parameter_new(row.app_name, &error);
    ASSERT_EQ(handle != nullptr, row.opens);
    if (!handle) {
      EXPECT_TRUE(g_error_matches(error, ZU_PARAMETER_ERROR, ZU_PARAMETER_ERROR_UNAVAILABLE));
      continue;
    }
    EXPECT_FALSE(zu_parameter_set(handle, "root.Image.I4.Enabled", "yes", TRUE, &error));
    EXPECT_TRUE(g_error_matches(error, ZU_PARAMETER_ERROR, ZU_PARAMETER_ERROR_REFUSED));
    EXPECT_EQ(sim_.i4_enabled(), std::nullopt);
  }
}

}  // namespace

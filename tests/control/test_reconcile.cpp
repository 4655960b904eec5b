// Start-up reconciliation in this process, where its log lines can be seen
// one by one. Cases where a switch goes through are covered end to end.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "bus_fixture.h"
#include "log_capture.h"
#include "pts_dbus.h"
#include "pts_main.h"
#include "pts_ocul.h"
#include "pts_persistent.h"
#include "sim_state.h"

namespace pts_test {
namespace {

// The service's error lines; an expected line ending in '*' matches any rest.
void expect_error_lines(const LogCapture &log, const std::vector<std::string> &expected) {
  std::vector<std::string> actual;
  for (const auto &line : log.lines())
    if (line.level == kLevelError) actual.push_back(line.message);
  ASSERT_EQ(actual.size(), expected.size()) << log.dump();
  for (size_t i = 0; i < expected.size(); i++) {
    const std::string &want = expected[i];
    if (want.ends_with('*'))
      EXPECT_TRUE(actual[i].starts_with(want.substr(0, want.size() - 1))) << actual[i];
    else
      EXPECT_EQ(actual[i], want);
  }
}

TEST(Reconcile, NothingIsAppliedThatCannotBe) {
  const std::string none = "Unrecognized view mode: none";
  const struct {
    const char *name;
    const char *ocul;
    std::optional<std::string> key_file;
    bool rotation_service;
    const char *parameter_fault;  // "" for none
    std::vector<std::string> errors;
    const char *stored_after;
    const char *i4_after;
  } cases[] = {
      {"only unknown offered names are reported",
       "[mode]\nview_mode.name=single\navailable_view_modes=,single,,quad,triple,\n",
       "[general]\nview_mode=single\n", true, "", {"Unrecognized view mode: triple"}, "single", "no"},
      // Equal names leave the video system alone; only the parameter follows.
      {"equal names apply nothing", "[mode]\nview_mode.name=quad\navailable_view_modes=single,quad\n",
       "[general]\nview_mode=quad\n", true, "", {}, "quad", "yes"},
      {"equal names, no parameter service", "[mode]\nview_mode.name=quad\navailable_view_modes=single,quad\n",
       "[general]\nview_mode=quad\n", true, "new", {"Failed pts_param_set_view_mode"}, "quad", "untouched"},
      {"no video system, rotation known", "[faults]\nmode_new=true\n", std::nullopt, true, "",
       {none, none, "Failed pts_ocul_set_view_mode", "Error setting view mode: single"}, "single", "untouched"},
      {"no video system, rotation unknown", "[faults]\nmode_new=true\n", std::nullopt, false, "",
       {none, none, "Failed to call dbus method GetAutoRotation (*", "Failed pts_ocul_set_view_mode",
        "Error setting view mode: single"},
       "single", "untouched"},
      {"video system refuses the stored mode",
       "[mode]\nview_mode.name=single\navailable_view_modes=single,quad\n[faults]\napply=true\n",
       "[general]\nview_mode=quad\n", true, "",
       {"Failed pts_ocul_set_view_mode", "Error setting view mode: quad"}, "quad", "untouched"},
  };

  RotationBus bus;
  ASSERT_TRUE(bus.start_bus());
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    SimState state;
    state.write("ocul.conf", c.ocul);
    // A value no switch writes: any change means something was applied.
    state.write("parameters.conf", "[parameters]\nroot.Image.I4.Enabled=untouched\n");
    if (*c.parameter_fault) state.set_parameter_fault(c.parameter_fault);
    if (c.key_file) state.write("localdata/panetessel.conf", *c.key_file);
    if (c.rotation_service) {
      ASSERT_TRUE(bus.start_simulator());
    }
    pts_persistent_open();
    pts_dbus_open();
    pts_ocul_open();
    {
      LogCapture log;
      pts_reconcile_view_mode();
      expect_error_lines(log, c.errors);
    }
    EXPECT_EQ(state.read("ocul.conf"), c.ocul);
    EXPECT_EQ(state.i4_enabled(), c.i4_after);
    EXPECT_EQ(state.value("localdata/panetessel.conf", "general", "view_mode"), c.stored_after);

    pts_ocul_close();
    pts_dbus_close();
    pts_persistent_close();
    bus.stop_simulator();
  }
}

}  // namespace
}  // namespace pts_test

// The image source parameter against the simulated parameter service.
#include <gtest/gtest.h>

#include <string>

#include "log_capture.h"
#include "pts_param.h"
#include "sim_state.h"

namespace {

struct ValueCase {
  ViewMode mode;
  const char *value;
};

class ParamValueTest : public ::testing::TestWithParam<ValueCase> {
 protected:
  pts_test::SimState sim_;
  pts_test::LogCapture log_;
};

TEST_P(ParamValueTest, EnablesImageSourceI4OnlyForQuad) {
  const ValueCase &c = GetParam();
  // Start from the opposite value so that every case changes the parameter.
  sim_.set_value("parameters.conf", "parameters", "root.Image.I4.Enabled",
                 g_strcmp0(c.value, "yes") == 0 ? "no" : "yes");

  EXPECT_TRUE(pts_param_set_view_mode(c.mode));
  EXPECT_EQ(sim_.i4_enabled(), c.value);
  EXPECT_TRUE(log_.lines().empty()) << log_.dump();
}

INSTANTIATE_TEST_SUITE_P(Modes, ParamValueTest,
                         ::testing::Values(ValueCase{VIEW_MODE_QUAD, "yes"},
                                           ValueCase{VIEW_MODE_SINGLE, "no"},
                                           ValueCase{7, "no"}),
                         [](const auto &info) { return "Mode" + std::to_string(info.param.mode); });

// A refused value and a missing parameter service are covered, with their
// exact log lines, by the switch tests in test_view_mode.cpp.

}  // namespace

// The simulated camera's programs that tests start.
#pragma once

namespace pts_test {

// The built programs; the environment variables PTS_AUTOROTATION_SIM and
// PTS_SERVICE_BIN override them (to test another build).
const char *simulator_path();
const char *service_path();

}  // namespace pts_test

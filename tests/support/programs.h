// The simulated camera's programs that tests start: where they are, how to
// start them so they never outlive the test, and how to wait for their end.
#pragma once

#include <gio/gio.h>

namespace pts_test {

// The built programs; the environment variables PTS_AUTOROTATION_SIM and
// PTS_SERVICE_BIN override them (to test another build).
const char *simulator_path();
const char *service_path();

// A launcher whose children are killed when the test process dies.
GSubprocessLauncher *child_launcher(GSubprocessFlags flags);

// Whether the child ended within timeout_us.
bool wait_exit(GSubprocess *child, gint64 timeout_us);

}  // namespace pts_test

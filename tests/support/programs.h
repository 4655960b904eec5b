// The simulated camera's programs that tests start: where they are, how to
// start them so they never outlive the test, and how to wait for their end.
#pragma once

#include <gio/gio.h>

#include <vector>

namespace pts_test {

// The built programs; the environment variables PTS_AUTOROTATION_SIM and
// PTS_SERVICE_BIN override them (to test another build).
const char *simulator_path();
const char *service_path();

// The argument vector that runs a built program (args[0]) with its
// arguments, NULL-terminated: in a cross build the emulator that CMake knows
// comes first, so no kernel-wide binfmt registration is needed. The vector
// points into args.
std::vector<const char *> program_argv(std::vector<const char *> args);

// A launcher whose children are killed when the test process dies.
GSubprocessLauncher *child_launcher(GSubprocessFlags flags);

// Whether the child ended within timeout_us.
bool wait_exit(GSubprocess *child, gint64 timeout_us);

}  // namespace pts_test

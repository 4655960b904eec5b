#include "programs.h"

#include <signal.h>
#include <sys/prctl.h>

namespace pts_test {

namespace {

void die_with_parent(gpointer) { prctl(PR_SET_PDEATHSIG, SIGKILL); }

}  // namespace

const char *simulator_path() {
  const char *path = g_getenv("PTS_AUTOROTATION_SIM");
  return path ? path : PTS_AUTOROTATION_SIM_PATH;
}

const char *service_path() {
  const char *path = g_getenv("PTS_SERVICE_BIN");
  return path ? path : PTS_SERVICE_BIN_PATH;
}

GSubprocessLauncher *child_launcher(GSubprocessFlags flags) {
  GSubprocessLauncher *launcher = g_subprocess_launcher_new(flags);
  g_subprocess_launcher_set_child_setup(launcher, die_with_parent, nullptr, nullptr);
  return launcher;
}

// GLib reaps children on its worker thread; the identifier goes away then.
bool wait_exit(GSubprocess *child, gint64 timeout_us) {
  gint64 deadline = g_get_monotonic_time() + timeout_us;
  while (g_subprocess_get_identifier(child)) {
    if (g_get_monotonic_time() > deadline) return false;
    g_usleep(5000);
  }
  return true;
}

}  // namespace pts_test

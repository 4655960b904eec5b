#include "programs.h"

#include <signal.h>
#include <sys/prctl.h>

namespace pts_test {

namespace {

void die_with_parent(gpointer) { prctl(PR_SET_PDEATHSIG, SIGKILL); }

// CMake's emulator command, its words separated by ';' (empty on the host).
constexpr char kEmulator[] = PTS_EMULATOR;

}  // namespace

const char *simulator_path() {
  const char *path = g_getenv("PTS_AUTOROTATION_SIM");
  return path ? path : PTS_AUTOROTATION_SIM_PATH;
}

const char *service_path() {
  const char *path = g_getenv("PTS_SERVICE_BIN");
  return path ? path : PTS_SERVICE_BIN_PATH;
}

std::vector<const char *> program_argv(std::vector<const char *> args) {
  static gchar **emulator = g_strsplit(kEmulator, ";", -1);
  std::vector<const char *> argv;
  for (gchar **word = emulator; *word; word++)
    if (**word) argv.push_back(*word);
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back(nullptr);
  return argv;
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

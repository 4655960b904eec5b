// Reads and changes the simulated camera's state files from the shell, with
// the same key file rules the stand-ins use.
#include <cstdio>
#include <cstring>

#include "zu_sim_state.h"

namespace {

constexpr char kUsage[] =
    "Usage: zu-sim-state get FILE GROUP KEY         print a value (exit 1 when absent)\n"
    "       zu-sim-state set FILE GROUP KEY VALUE   set a value, keeping the rest\n"
    "       zu-sim-state fault FILE NAME            exit 0 when the fault switch is on\n"
    "FILE is relative to the state folder, ZU_PLATFORM_STATE_DIR.\n";

// NULL when the file cannot be read, or is missing and must not be.
GKeyFile *load(const char *file, gboolean missing_ok) {
  gboolean missing = FALSE;
  g_autoptr(GError) error = nullptr;
  g_autoptr(GKeyFile) state = zu_sim_load_state(file, &missing, &error);
  if (!state) std::fprintf(stderr, "zu-sim-state: %s\n", error->message);
  if (!state || (missing && !missing_ok)) return nullptr;
  return static_cast<GKeyFile *>(g_steal_pointer(&state));
}

int get(char **args) {
  g_autoptr(GKeyFile) state = load(args[0], FALSE);
  if (!state) return 1;
  g_autofree gchar *value = g_key_file_get_string(state, args[1], args[2], nullptr);
  if (!value) return 1;
  std::printf("%s\n", value);
  return 0;
}

int set(char **args) {
  g_autoptr(GKeyFile) state = load(args[0], TRUE);
  if (!state) return 2;
  g_key_file_set_string(state, args[1], args[2], args[3]);
  g_autoptr(GError) error = nullptr;
  if (zu_sim_save_state(state, args[0], &error)) return 0;
  std::fprintf(stderr, "zu-sim-state: %s\n", error->message);
  return 2;
}

int fault(char **args) {
  g_autoptr(GKeyFile) state = load(args[0], TRUE);
  return state && zu_sim_fault_set(state, args[1]) ? 0 : 1;
}

struct Command {
  const char *name;
  int n_args;
  int (*run)(char **args);
};

constexpr Command kCommands[] = {{"get", 3, get}, {"set", 4, set}, {"fault", 2, fault}};

}  // namespace

int main(int argc, char **argv) {
  for (const auto &command : kCommands)
    if (argc == command.n_args + 2 && std::strcmp(argv[1], command.name) == 0)
      return command.run(argv + 2);
  std::fputs(kUsage, stderr);
  return 2;
}

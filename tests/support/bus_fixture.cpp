#include "bus_fixture.h"
#include "programs.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <string>

namespace pts_test {

namespace {

constexpr char kName[] = "com.zuvia.Positioning.AutoRotation";
constexpr char kPathPrefix[] = "/com/zuvia/Positioning/AutoRotation/";
constexpr gint64 kStartWaitUs = 10 * G_USEC_PER_SEC;
constexpr gint64 kStopWaitUs = 5 * G_USEC_PER_SEC;

GSubprocess *spawn(const char *const *argv, GSubprocessFlags flags) {
  g_autoptr(GSubprocessLauncher) launcher = child_launcher(flags);
  g_autoptr(GError) error = nullptr;
  GSubprocess *child = g_subprocess_launcher_spawnv(launcher, argv, &error);
  if (!child) ADD_FAILURE() << "cannot start " << argv[0] << ": " << error->message;
  return child;
}

void terminate(GSubprocess **child, int signal = SIGTERM) {
  if (!*child) return;
  g_subprocess_send_signal(*child, signal);
  if (!wait_exit(*child, kStopWaitUs)) {
    ADD_FAILURE() << "child ignored SIGTERM, killing it";
    g_subprocess_force_exit(*child);
    g_subprocess_wait(*child, nullptr, nullptr);
  }
  g_clear_object(child);
}

std::string read_line(GSubprocess *child) {
  g_autoptr(GDataInputStream) in = g_data_input_stream_new(g_subprocess_get_stdout_pipe(child));
  g_autofree gchar *line = g_data_input_stream_read_line(in, nullptr, nullptr, nullptr);
  return line ? line : "";
}

std::string object_path(int channel) { return kPathPrefix + std::to_string(channel); }

}  // namespace

RotationBus::~RotationBus() {
  stop_simulator();
  stop_bus();
}

bool RotationBus::start_bus() {
  if (bus_) return true;
  g_autofree gchar *daemon = g_find_program_in_path("dbus-daemon");
  if (!daemon) {
    ADD_FAILURE() << "dbus-daemon is not installed";
    return false;
  }
  const std::string config = std::string("--config-file=") + PTS_TEST_BUS_CONFIG;
  const char *argv[] = {daemon, config.c_str(), "--nofork", "--nopidfile", "--nosyslog",
                        "--print-address=1", nullptr};
  bus_ = spawn(argv, G_SUBPROCESS_FLAGS_STDOUT_PIPE);
  if (!bus_) return false;
  // The daemon prints its address once it listens, or exits (EOF) on failure.
  address_ = read_line(bus_);
  if (address_.empty()) {
    ADD_FAILURE() << "dbus-daemon printed no address";
    stop_bus();
    return false;
  }
  g_autoptr(GError) error = nullptr;
  conn_ = g_dbus_connection_new_for_address_sync(
      address_.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (!conn_) {
    ADD_FAILURE() << "cannot connect to the private bus: " << error->message;
    stop_bus();
    return false;
  }
  if (!address_set_) {
    const char *previous = g_getenv("DBUS_SYSTEM_BUS_ADDRESS");
    had_previous_address_ = previous != nullptr;
    previous_address_ = previous ? previous : "";
    address_set_ = true;
  }
  g_setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), TRUE);
  return true;
}

bool RotationBus::name_owned() {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      conn_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "NameHasOwner", g_variant_new("(s)", kName), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE,
      -1, nullptr, &error);
  if (!reply) return false;
  gboolean owned = FALSE;
  g_variant_get(reply, "(b)", &owned);
  return owned;
}

bool RotationBus::wait_name(bool owned, gint64 timeout_us) {
  gint64 deadline = g_get_monotonic_time() + timeout_us;
  while (name_owned() != owned) {
    if (g_get_monotonic_time() > deadline) return false;
    if (owned && sim_ && !g_subprocess_get_identifier(sim_)) return false;  // it died
    g_usleep(5000);
  }
  return true;
}

bool RotationBus::start_simulator(std::array<int, 4> rotations) {
  if (!conn_ && !start_bus()) return false;
  if (sim_) stop_simulator();
  const char *sim = pts_test::simulator_path();
  std::array<std::string, 4> args;
  for (size_t i = 0; i < args.size(); i++) args[i] = std::to_string(rotations[i]);
  auto argv = program_argv({sim, args[0].c_str(), args[1].c_str(), args[2].c_str(), args[3].c_str()});
  // The child inherits our environment, with the private bus as system bus.
  sim_ = spawn(argv.data(), G_SUBPROCESS_FLAGS_STDOUT_SILENCE);
  if (!sim_) return false;
  if (!wait_name(true, kStartWaitUs)) {
    ADD_FAILURE() << "the simulator did not take its name";
    stop_simulator();
    return false;
  }
  return true;
}

void RotationBus::stop_simulator(int signal) {
  if (!sim_) return;
  terminate(&sim_, signal);
  // The bus drops the name only once it notices the closed connection.
  if (conn_ && !wait_name(false, kStopWaitUs)) ADD_FAILURE() << "the name outlived the simulator";
}

void RotationBus::stop_bus() {
  stop_simulator();
  if (bus_) {
    // Shared bus connections end the process when their bus goes away. A
    // test that forgot to close one would die silently; spare it.
    g_autoptr(GDBusConnection) shared = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    if (shared) g_dbus_connection_set_exit_on_close(shared, FALSE);
  }
  if (conn_) g_dbus_connection_close_sync(conn_, nullptr, nullptr);
  g_clear_object(&conn_);
  terminate(&bus_);
  address_.clear();
  if (address_set_) {
    if (had_previous_address_)
      g_setenv("DBUS_SYSTEM_BUS_ADDRESS", previous_address_.c_str(), TRUE);
    else
      g_unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    address_set_ = false;
  }
}

GVariant *RotationBus::call(int channel, const char *method, GVariant *args,
                            const GVariantType *reply_type) {
  if (!conn_) {
    if (args) g_variant_unref(g_variant_ref_sink(args));
    ADD_FAILURE() << method << ": no bus";
    return nullptr;
  }
  g_autoptr(GError) error = nullptr;
  GVariant *reply = g_dbus_connection_call_sync(conn_, kName, object_path(channel).c_str(), kName,
                                                method, args, reply_type,
                                                G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
  if (!reply) ADD_FAILURE() << method << " on channel " << channel << ": " << error->message;
  return reply;
}

void RotationBus::set_rotation(int channel, int degrees) {
  g_autoptr(GVariant) reply =
      call(channel, "SetAutoRotation", g_variant_new("(i)", degrees), G_VARIANT_TYPE_UNIT);
}

void RotationBus::set_fault(int channel, const std::string &fault) {
  g_autoptr(GVariant) reply =
      call(channel, "SetFault", g_variant_new("(s)", fault.c_str()), G_VARIANT_TYPE_UNIT);
}

unsigned RotationBus::call_count(int channel) {
  g_autoptr(GVariant) reply = call(channel, "GetCallCount", nullptr, G_VARIANT_TYPE("(u)"));
  guint32 count = 0;
  if (reply) g_variant_get(reply, "(u)", &count);
  return count;
}

void RotationBus::reset_call_counts() {
  for (int channel = 0; channel < 4; channel++) {
    g_autoptr(GVariant) reply = call(channel, "ResetCallCount", nullptr, G_VARIANT_TYPE_UNIT);
  }
}

}  // namespace pts_test

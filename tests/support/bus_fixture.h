// A private dbus-daemon playing the camera's system bus, with the
// auto-rotation simulator on it. Tests drive the simulator through the
// fixture's own connection, never through the process-wide bus singleton,
// so the module under test keeps its connection to itself.
#pragma once

#include <glib.h>
#include <gio/gio.h>
#include <signal.h>

#include <array>
#include <string>

namespace pts_test {

class RotationBus {
 public:
  RotationBus() = default;
  ~RotationBus();  // stops whatever still runs
  RotationBus(const RotationBus &) = delete;
  RotationBus &operator=(const RotationBus &) = delete;

  // Starts dbus-daemon with the config in tests/support/ and sets
  // DBUS_SYSTEM_BUS_ADDRESS in this process's environment.
  bool start_bus();
  // Spawns $PTS_AUTOROTATION_SIM and waits until it owns its name.
  bool start_simulator(std::array<int, 4> rotations = {0, 0, 0, 0});
  void stop_simulator(int signal = SIGTERM);  // SIGKILL: it dies without a word
  // Close every user of the shared system bus connection first: GLib ends
  // the process when that connection's bus goes away (the fixture turns this
  // off as a last resort, but a stale shared connection would then linger).
  void stop_bus();

  const std::string &address() const { return address_; }

  // Simulator extras; failures are reported through gtest.
  void set_rotation(int channel, int degrees);
  void set_fault(int channel, const std::string &fault);  // "none", "error", "empty", "wrong-type"
  unsigned call_count(int channel);
  void reset_call_counts();

 private:
  bool name_owned();
  bool wait_name(bool owned, gint64 timeout_us);
  GVariant *call(int channel, const char *method, GVariant *args, const GVariantType *reply_type);

  GSubprocess *bus_ = nullptr;
  GSubprocess *sim_ = nullptr;
  GDBusConnection *conn_ = nullptr;  // private, for the extras
  std::string address_;
  std::string previous_address_;
  bool had_previous_address_ = false;
  bool address_set_ = false;
};

}  // namespace pts_test

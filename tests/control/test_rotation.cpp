// The auto-rotation query against a private bus with the simulator on it.

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <array>
#include <string>
#include <vector>

#include "programs.h"
#include "sim_state.h"
#include "bus_fixture.h"
#include "log_capture.h"
#include "pts_dbus.h"

namespace {

using pts_test::kLevelError;
using pts_test::LogCapture;
using pts_test::LogLine;
using pts_test::RotationBus;

constexpr char kNullReply[] = "Failed to call dbus method GetAutoRotation, dbus result value is null";
constexpr gint32 kUntouched = 77;

const char *channel_path(int channel) {
  static const char *const paths[] = {
      "/com/zuvia/Positioning/AutoRotation/0", "/com/zuvia/Positioning/AutoRotation/1",
      "/com/zuvia/Positioning/AutoRotation/2", "/com/zuvia/Positioning/AutoRotation/3"};
  return paths[channel];
}

bool starts_with(const std::string &text, const std::string &prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

class RotationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus_.start_simulator());
    pts_dbus_open();
    ASSERT_EQ(log_.lines().size(), 0u) << log_.dump();
  }
  // The module's shared connection must be gone before the bus stops.
  void TearDown() override { pts_dbus_close(); }

  std::array<unsigned, 4> call_counts() {
    return {bus_.call_count(0), bus_.call_count(1), bus_.call_count(2), bus_.call_count(3)};
  }

  RotationBus bus_;
  LogCapture log_;
};

TEST_F(RotationTest, OnlyExactly90Or270OnAnyChannelCountsAsRotated) {
  struct Row {
    gint32 degrees;
    gint32 rotated;
  };
  constexpr Row rows[] = {{0, 0},   {180, 0}, {-90, 0}, {450, 0}, {360, 0},
                          {-270, 0}, {91, 0}, {90, 1},  {270, 1}};
  for (int channel = 0; channel < 4; channel++) {
    for (const Row &row : rows) {
      SCOPED_TRACE("channel " + std::to_string(channel) + " at " + std::to_string(row.degrees));
      for (int other = 0; other < 4; other++) bus_.set_rotation(other, other == channel ? row.degrees : 180);
      gint32 rotated = kUntouched;
      ASSERT_TRUE(pts_rotation_get(&rotated));
      EXPECT_EQ(rotated, row.rotated);
    }
  }
  EXPECT_EQ(log_.lines().size(), 0u) << log_.dump();
}

TEST_F(RotationTest, SingleChannelReportsItsDegrees) {
  bus_.set_rotation(2, -90);
  gint32 degrees = kUntouched;
  ASSERT_TRUE(pts_dbus_get_auto_rotation(channel_path(2), &degrees));
  EXPECT_EQ(degrees, -90);
}

TEST_F(RotationTest, QueryAsksAllFourChannelsEveryTime) {
  bus_.reset_call_counts();
  gint32 rotated = kUntouched;
  ASSERT_TRUE(pts_rotation_get(&rotated));
  ASSERT_TRUE(pts_rotation_get(&rotated));
  EXPECT_EQ(call_counts(), (std::array<unsigned, 4>{2, 2, 2, 2}));
}

// A failing channel ends the query: later channels are not asked and the
// flag is not written, whatever kind of failure it was.
TEST_F(RotationTest, FailingChannelStopsTheQuery) {
  struct Row {
    int channel;
    const char *fault;
    std::string message;
    std::array<unsigned, 4> calls;
  };
  const Row rows[] = {
      {1, "error",
       "Failed to call dbus method GetAutoRotation (GDBus.Error:com.zuvia.Positioning."
       "AutoRotation.Error.Failed: Simulated failure on channel 1)",
       {1, 1, 0, 0}},
      {1, "empty", kNullReply, {1, 1, 0, 0}},
      // Not an int32: the rotation is unknown, so this must not read as 0.
      {1, "wrong-type", "Failed to call dbus method GetAutoRotation, unexpected result type s",
       {1, 1, 0, 0}},
      {0, "wrong-type", "Failed to call dbus method GetAutoRotation, unexpected result type s",
       {1, 0, 0, 0}},
      {3, "empty", kNullReply, {1, 1, 1, 1}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.fault) + " on channel " + std::to_string(row.channel));
    for (int channel = 0; channel < 4; channel++) bus_.set_fault(channel, "none");
    bus_.set_fault(row.channel, row.fault);
    bus_.reset_call_counts();
    log_.clear();

    gint32 rotated = kUntouched;
    EXPECT_FALSE(pts_rotation_get(&rotated));
    EXPECT_EQ(rotated, kUntouched);
    EXPECT_EQ(call_counts(), row.calls);
    EXPECT_EQ(log_.lines(), (std::vector<LogLine>{{kLevelError, row.message}})) << log_.dump();

    gint32 degrees = kUntouched;
    EXPECT_FALSE(pts_dbus_get_auto_rotation(channel_path(row.channel), &degrees));
    EXPECT_EQ(degrees, kUntouched);
  }
}

TEST_F(RotationTest, NoServiceOnTheBusFailsUntilItReturns) {
  bus_.stop_simulator();
  gint32 rotated = kUntouched;
  EXPECT_FALSE(pts_rotation_get(&rotated));
  EXPECT_EQ(rotated, kUntouched);
  ASSERT_EQ(log_.lines().size(), 1u) << log_.dump();
  const LogLine &line = log_.lines()[0];
  EXPECT_EQ(line.level, kLevelError);
  EXPECT_TRUE(starts_with(line.message, "Failed to call dbus method GetAutoRotation (GDBus.Error:"
                                        "org.freedesktop.DBus.Error.ServiceUnknown: "))
      << line.message;
  EXPECT_EQ(line.message.back(), ')');

  // The connection itself is fine: the service coming back is enough.
  ASSERT_TRUE(bus_.start_simulator({0, 0, 270, 0}));
  ASSERT_TRUE(pts_rotation_get(&rotated));
  EXPECT_EQ(rotated, 1);
}

TEST_F(RotationTest, OpenTwiceKeepsTheConnectionAndCloseEndsQueries) {
  pts_dbus_open();
  gint32 rotated = kUntouched;
  ASSERT_TRUE(pts_rotation_get(&rotated));

  pts_dbus_close();
  pts_dbus_close();
  rotated = kUntouched;
  EXPECT_FALSE(pts_rotation_get(&rotated));
  EXPECT_EQ(rotated, kUntouched);
  EXPECT_EQ(log_.lines(), (std::vector<LogLine>{{kLevelError, kNullReply}})) << log_.dump();
}

// The bus cannot be reached at open: both open messages, then every query
// fails without asking anything, and GLib has nothing to complain about.
TEST(RotationNoBus, UnreachableBusAtOpen) {
  pts_test::TempDir dir;
  const std::string address = "unix:path=" + dir.file("no-such-socket");
  g_autofree gchar *previous = g_strdup(g_getenv("DBUS_SYSTEM_BUS_ADDRESS"));
  g_setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), TRUE);

  // GLib's own wording of the failure, to compare the message exactly.
  g_autoptr(GError) expected = nullptr;
  g_autoptr(GDBusConnection) probe = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &expected);
  ASSERT_EQ(probe, nullptr);
  ASSERT_NE(expected, nullptr);

  LogCapture log;
  pts_dbus_open();
  gint32 rotated = kUntouched;
  EXPECT_FALSE(pts_rotation_get(&rotated));
  EXPECT_EQ(rotated, kUntouched);
  const std::vector<LogLine> want = {
      {kLevelError, std::string("Failed to create dbus connection[") + expected->message + "]"},
      {kLevelError, "Failed to connect to bus"},
      {kLevelError, kNullReply},
  };
  EXPECT_EQ(log.lines(), want) << log.dump();
  pts_dbus_close();

  if (previous)
    g_setenv("DBUS_SYSTEM_BUS_ADDRESS", previous, TRUE);
  else
    g_unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

// The simulator's own contract, which the other tests lean on.
class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus_.start_bus());
  }

  static GSubprocess *spawn(std::vector<const char *> args, GSubprocessFlags flags) {
    args.insert(args.begin(), pts_test::simulator_path());
    g_autoptr(GSubprocessLauncher) launcher = pts_test::child_launcher(flags);
    g_autoptr(GError) error = nullptr;
    GSubprocess *child =
        g_subprocess_launcher_spawnv(launcher, pts_test::program_argv(std::move(args)).data(), &error);
    EXPECT_NE(child, nullptr) << error->message;
    return child;
  }

  static int run(std::vector<const char *> args) {
    constexpr auto quiet = static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_SILENCE |
                                                         G_SUBPROCESS_FLAGS_STDERR_SILENCE);
    g_autoptr(GSubprocess) child = spawn(std::move(args), quiet);
    if (!child || !g_subprocess_wait(child, nullptr, nullptr)) return -1;
    return g_subprocess_get_if_exited(child) ? g_subprocess_get_exit_status(child) : -1;
  }

  RotationBus bus_;
};

TEST_F(SimulatorTest, ExitStatusOfEachWayItCannotServe) {
  ASSERT_TRUE(bus_.start_simulator());
  struct Row {
    std::vector<const char *> args;
    int status;
  };
  const Row rows[] = {
      {{"0", "0", "0", "0"}, 1},  // the name is taken
      {{"--help"}, 0},
      {{"90"}, 2},
      {{"0", "0", "0", "ninety"}, 2},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.args[row.args.size() - 1]);
    EXPECT_EQ(run(row.args), row.status);
  }
}

TEST_F(SimulatorTest, AnnouncesReadinessAndQuitsCleanlyOnSigterm) {
  g_autoptr(GSubprocess) child = spawn({"0", "90", "0", "0"}, G_SUBPROCESS_FLAGS_STDOUT_PIPE);
  ASSERT_NE(child, nullptr);
  g_autoptr(GDataInputStream) out = g_data_input_stream_new(g_subprocess_get_stdout_pipe(child));
  g_autofree gchar *line = g_data_input_stream_read_line(out, nullptr, nullptr, nullptr);
  EXPECT_STREQ(line, "zu-autorotation-sim: ready");
  EXPECT_EQ(bus_.call_count(1), 0u);

  g_subprocess_send_signal(child, SIGTERM);
  ASSERT_TRUE(g_subprocess_wait(child, nullptr, nullptr));
  EXPECT_TRUE(g_subprocess_get_if_exited(child));
  EXPECT_EQ(g_subprocess_get_exit_status(child), 0);
}

}  // namespace

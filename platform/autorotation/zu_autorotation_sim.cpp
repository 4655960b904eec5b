// Stand-in for the camera's auto-rotation service: reports a rotation per
// video channel on the system bus, and lets tests change rotations, inject
// faulty replies and count the queries.

#include <gio/gio.h>
#include <glib-unix.h>

#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kName[] = "com.zuvia.Positioning.AutoRotation";
constexpr char kPathPrefix[] = "/com/zuvia/Positioning/AutoRotation/";
constexpr int kChannels = 4;

constexpr char kIntrospection[] =
    "<node>"
    "  <interface name='com.zuvia.Positioning.AutoRotation'>"
    "    <method name='GetAutoRotation'><arg type='i' direction='out'/></method>"
    "    <method name='SetAutoRotation'><arg type='i' direction='in'/></method>"
    "    <method name='SetFault'><arg type='s' direction='in'/></method>"
    "    <method name='GetCallCount'><arg type='u' direction='out'/></method>"
    "    <method name='ResetCallCount'/>"
    "  </interface>"
    "</node>";

constexpr char kUsage[] =
    "Usage: zu-autorotation-sim [R0 R1 R2 R3]\n"
    "\n"
    "Simulates the camera's auto-rotation service. Owns com.zuvia.Positioning.AutoRotation\n"
    "on the system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured) and exports\n"
    "/com/zuvia/Positioning/AutoRotation/0 .. /3, one object per video channel.\n"
    "R0..R3 are the channels' initial rotations in degrees (default 0 0 0 0).\n"
    "\n"
    "Methods of interface com.zuvia.Positioning.AutoRotation on each object:\n"
    "  GetAutoRotation() -> (i)   the channel's rotation\n"
    "  SetAutoRotation(i) -> ()   change it\n"
    "  SetFault(s) -> ()          how GetAutoRotation answers: \"none\", \"error\" (D-Bus\n"
    "                             error reply), \"empty\" (reply \"()\"), \"wrong-type\" (reply \"(s)\")\n"
    "  GetCallCount() -> (u)      GetAutoRotation calls since start or reset\n"
    "  ResetCallCount() -> ()\n"
    "\n"
    "Prints \"zu-autorotation-sim: ready\" once it owns its name. Exits 0 on SIGTERM or\n"
    "SIGINT, 1 when it cannot own its name, 2 on bad arguments.\n";

enum class Fault { kNone, kError, kEmpty, kWrongType };

struct FaultName {
  const char *name;
  Fault fault;
};

constexpr FaultName kFaults[] = {
    {"none", Fault::kNone},
    {"error", Fault::kError},
    {"empty", Fault::kEmpty},
    {"wrong-type", Fault::kWrongType},
};

struct Channel {
  gint32 rotation = 0;
  Fault fault = Fault::kNone;
  guint32 calls = 0;
};

std::array<Channel, kChannels> channels;
GMainLoop *loop = nullptr;
GDBusNodeInfo *introspection = nullptr;
bool owned = false;
int exit_status = 0;

gboolean parse_fault(const gchar *name, Fault *fault) {
  for (const auto &entry : kFaults) {
    if (g_strcmp0(entry.name, name) == 0) {
      *fault = entry.fault;
      return TRUE;
    }
  }
  return FALSE;
}

// Sent as a raw message: GDBus would refuse to return a value that does not
// match the introspected signature, and faulty replies are the point here.
void reply_raw(GDBusMethodInvocation *invocation, GVariant *body) {
  g_autoptr(GDBusMessage) reply =
      g_dbus_message_new_method_reply(g_dbus_method_invocation_get_message(invocation));
  g_dbus_message_set_body(reply, body);
  g_autoptr(GError) error = nullptr;
  if (!g_dbus_connection_send_message(g_dbus_method_invocation_get_connection(invocation), reply,
                                      G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, &error))
    g_printerr("zu-autorotation-sim: cannot send reply: %s\n", error->message);
  g_object_unref(invocation);
}

void get_auto_rotation(Channel &channel, int index, GDBusMethodInvocation *invocation) {
  channel.calls++;
  switch (channel.fault) {
    case Fault::kNone:
      reply_raw(invocation, g_variant_new("(i)", channel.rotation));
      break;
    case Fault::kError: {
      g_autofree gchar *message = g_strdup_printf("Simulated failure on channel %d", index);
      g_dbus_method_invocation_return_dbus_error(
          invocation, "com.zuvia.Positioning.AutoRotation.Error.Failed", message);
      break;
    }
    case Fault::kEmpty:
      reply_raw(invocation, g_variant_new("()"));
      break;
    case Fault::kWrongType:
      reply_raw(invocation, g_variant_new("(s)", "ninety"));
      break;
  }
}

void set_fault(Channel &channel, GVariant *parameters, GDBusMethodInvocation *invocation) {
  const gchar *name = nullptr;
  g_variant_get(parameters, "(&s)", &name);
  if (!parse_fault(name, &channel.fault)) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                          "Unknown fault \"%s\"", name);
    return;
  }
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

void method_call(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                 const gchar *method, GVariant *parameters, GDBusMethodInvocation *invocation,
                 gpointer user_data) {
  int index = GPOINTER_TO_INT(user_data);
  Channel &channel = channels[index];
  if (g_strcmp0(method, "GetAutoRotation") == 0) {
    get_auto_rotation(channel, index, invocation);
  } else if (g_strcmp0(method, "SetAutoRotation") == 0) {
    g_variant_get(parameters, "(i)", &channel.rotation);
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (g_strcmp0(method, "SetFault") == 0) {
    set_fault(channel, parameters, invocation);
  } else if (g_strcmp0(method, "GetCallCount") == 0) {
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", channel.calls));
  } else if (g_strcmp0(method, "ResetCallCount") == 0) {
    channel.calls = 0;
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                          "No such method \"%s\"", method);
  }
}

constexpr GDBusInterfaceVTable kVTable = {method_call, nullptr, nullptr, {}};

void quit(int status) {
  exit_status = status;
  g_main_loop_quit(loop);
}

void on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer) {
  for (int i = 0; i < kChannels; i++) {
    g_autofree gchar *path = g_strdup_printf("%s%d", kPathPrefix, i);
    g_autoptr(GError) error = nullptr;
    if (!g_dbus_connection_register_object(connection, path, introspection->interfaces[0],
                                           &kVTable, GINT_TO_POINTER(i), nullptr, &error)) {
      g_printerr("zu-autorotation-sim: cannot export %s: %s\n", path, error->message);
      quit(1);
      return;
    }
  }
}

void on_name_acquired(GDBusConnection *, const gchar *, gpointer) {
  owned = true;
  std::printf("zu-autorotation-sim: ready\n");
  std::fflush(stdout);
}

void on_name_lost(GDBusConnection *connection, const gchar *name, gpointer) {
  if (!connection)
    g_printerr("zu-autorotation-sim: cannot connect to the system bus\n");
  else if (!owned)
    g_printerr("zu-autorotation-sim: cannot own %s\n", name);
  else
    g_printerr("zu-autorotation-sim: lost %s\n", name);
  quit(1);
}

gboolean on_signal(gpointer) {
  quit(0);
  return G_SOURCE_REMOVE;
}

gboolean parse_rotations(int argc, char **argv) {
  if (argc == 1) return TRUE;
  if (argc != 1 + kChannels) return FALSE;
  for (int i = 0; i < kChannels; i++) {
    gint64 value = 0;
    if (!g_ascii_string_to_signed(argv[1 + i], 10, G_MININT32, G_MAXINT32, &value, nullptr))
      return FALSE;
    channels[i].rotation = static_cast<gint32>(value);
  }
  return TRUE;
}

}  // namespace

int main(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  if (!parse_rotations(argc, argv)) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  introspection = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  loop = g_main_loop_new(nullptr, FALSE);
  g_unix_signal_add(SIGTERM, on_signal, nullptr);
  g_unix_signal_add(SIGINT, on_signal, nullptr);
  // A second simulator must fail rather than wait in the queue.
  guint owner = g_bus_own_name(G_BUS_TYPE_SYSTEM, kName, G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE,
                               on_bus_acquired, on_name_acquired, on_name_lost, nullptr, nullptr);
  g_main_loop_run(loop);

  g_bus_unown_name(owner);
  g_main_loop_unref(loop);
  g_dbus_node_info_unref(introspection);
  return exit_status;
}

#include "pts_dbus.h"

#include <gio/gio.h>

#include "pts_log.h"

namespace {

constexpr char kBusName[] = "com.zuvia.Positioning.AutoRotation";
constexpr char kInterface[] = "com.zuvia.Positioning.AutoRotation";
constexpr char kMethod[] = "GetAutoRotation";
constexpr const char *kChannelPaths[] = {
    "/com/zuvia/Positioning/AutoRotation/0",
    "/com/zuvia/Positioning/AutoRotation/1",
    "/com/zuvia/Positioning/AutoRotation/2",
    "/com/zuvia/Positioning/AutoRotation/3",
};

GDBusConnection *bus_connection = nullptr;

gboolean is_rotated(gint32 degrees) { return degrees == 90 || degrees == 270; }

// The connection is not made again: every later query fails and says so.
void on_connection_closed(GDBusConnection *, gboolean, GError *error, gpointer) {
  g_log(nullptr, PTS_LOG_LEVEL_ERROR, "%sLost dbus connection[%s]", "",
        error ? error->message : "closed");
}

}  // namespace

void pts_dbus_open(void) {
  if (bus_connection) return;
  g_autoptr(GError) error = nullptr;
  bus_connection = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (error)
    g_log(nullptr, PTS_LOG_LEVEL_ERROR, "%sFailed to create dbus connection[%s]", "",
          error->message);
  if (!bus_connection) {
    g_log(nullptr, PTS_LOG_LEVEL_ERROR, "%sFailed to connect to bus", "");
    return;
  }
  // GLib's default would end the process, silently, when the bus goes away;
  // the service goes on answering what it can.
  g_dbus_connection_set_exit_on_close(bus_connection, FALSE);
  g_signal_connect(bus_connection, "closed", G_CALLBACK(on_connection_closed), nullptr);
}

void pts_dbus_close(void) {
  if (!bus_connection) return;
  g_signal_handlers_disconnect_by_func(bus_connection,
                                       reinterpret_cast<gpointer>(on_connection_closed), nullptr);
  g_clear_object(&bus_connection);
}

gboolean pts_dbus_get_auto_rotation(const gchar *object_path, gint32 *rotation) {
  // Without a connection nothing is asked: the channel simply has no answer.
  g_autoptr(GVariant) reply = nullptr;
  if (bus_connection) {
    g_autoptr(GError) error = nullptr;
    reply = g_dbus_connection_call_sync(bus_connection, kBusName, object_path, kInterface,
                                        kMethod, g_variant_new("()"), nullptr,
                                        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    if (error) {
      g_log(nullptr, PTS_LOG_LEVEL_ERROR, "%sFailed to call dbus method %s (%s)", "", kMethod,
            error->message);
      return FALSE;
    }
  }

  if (!reply || g_variant_n_children(reply) == 0) {
    g_log(nullptr, PTS_LOG_LEVEL_ERROR, "%sFailed to call dbus method %s, dbus result value is null",
          "", kMethod);
    return FALSE;
  }

  g_autoptr(GVariant) value = g_variant_get_child_value(reply, 0);
  // Any other type would read as 0 degrees and wrongly allow every mode.
  if (!g_variant_is_of_type(value, G_VARIANT_TYPE_INT32)) {
    g_log(nullptr, PTS_LOG_LEVEL_ERROR, "%sFailed to call dbus method %s, unexpected result type %s",
          "", kMethod, g_variant_get_type_string(value));
    return FALSE;
  }
  *rotation = g_variant_get_int32(value);
  return TRUE;
}

gboolean pts_rotation_get(gint32 *rotated) {
  gint32 any = 0;
  for (const char *path : kChannelPaths) {
    gint32 degrees = 0;
    if (!pts_dbus_get_auto_rotation(path, &degrees)) return FALSE;
    if (is_rotated(degrees)) any = 1;
  }
  *rotated = any;
  return TRUE;
}

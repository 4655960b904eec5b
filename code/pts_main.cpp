#include "pts_main.h"

#include <signal.h>

#include <cstdarg>

#include "pts_cgi_methods.h"
#include "pts_dbus.h"
#include "pts_log.h"
#include "pts_ocul.h"
#include "pts_param.h"
#include "pts_persistent.h"
#include "pts_view_mode.h"
#include "zuhttp.h"
#include "zulog.h"

namespace {

void log_unrecognized(const gchar *name) {
  g_log(nullptr, PTS_LOG_LEVEL_ERROR, "%sUnrecognized view mode: %s", "", name);
}

// Only reports: the offered list decides nothing here.
void report_unknown_modes(const gchar *modes) {
  g_auto(GStrv) pieces = g_strsplit(modes, ",", -1);
  for (gchar **piece = pieces; *piece != nullptr; piece++) {
    ViewMode mode;
    if (**piece != '\0' && !pts_view_mode_from_name(*piece, &mode)) log_unrecognized(*piece);
  }
}

// A stored name that is no view mode (a hand-edited file) counts as single,
// so the camera ends up in a known mode and the file is put right.
ViewMode stored_view_mode(const gchar *stored) {
  ViewMode mode = VIEW_MODE_SINGLE;
  pts_view_mode_from_name(stored, &mode);
  return mode;
}

void ignore_sigpipe() {
  struct sigaction action = {};
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGPIPE);
  action.sa_handler = SIG_IGN;
  action.sa_flags = 0;
  sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace

void pts_reconcile_view_mode(void) {
  g_autofree gchar *offered = pts_ocul_get_view_modes();
  report_unknown_modes(offered);

  g_autofree gchar *current = pts_ocul_get_view_mode();
  ViewMode mode;
  if (!pts_view_mode_from_name(current, &mode)) log_unrecognized(current);

  g_autofree gchar *stored = pts_persistent_get_view_mode();
  if (g_strcmp0(stored, current) == 0) {
    // The video system already agrees, but the parameter may not: a switch
    // cut short after the video system moved, or a value refused once.
    if (pts_view_mode_from_name(stored, &mode) && !pts_param_set_view_mode(mode))
      g_log(nullptr, PTS_LOG_LEVEL_ERROR, "%sFailed pts_param_set_view_mode", "");
    return;
  }

  mode = stored_view_mode(stored);
  if (pts_view_mode_is_allowed(mode)) {
    const gchar *name = stored;
    pts_view_mode_to_name(mode, &name);
    if (!pts_set_view_mode(mode))
      g_log(nullptr, PTS_LOG_LEVEL_ERROR, "%sError setting view mode: %s", "", name);
  } else if (!pts_set_view_mode(VIEW_MODE_SINGLE)) {
    g_log(nullptr, PTS_LOG_LEVEL_ERROR, "%sError setting view mode: single", "");
  }
}

void pts_http_write(GDataOutputStream *stream, const gchar *format, ...) {
  va_list args;
  va_start(args, format);
  g_autofree gchar *text = g_strdup_vprintf(format, args);
  va_end(args);
  // A client that went away is no concern of the service.
  g_data_output_stream_put_string(stream, text, nullptr, nullptr);
}

void pts_http_request_cb(gpointer request, const gchar *method, const gchar *body, const gchar *,
                         GOutputStream *output, gpointer) {
  g_autoptr(GDataOutputStream) stream = g_data_output_stream_new(output);
  g_autofree gchar *reply = nullptr;
  zucgi_handle_request(pts_cgi_version_list, pts_cgi_method_list, request, method, body, &reply);
  // The reply is data: a '%' in an echoed context must reach the client as is.
  if (reply != nullptr) pts_http_write(stream, "%s", reply);
}

int pts_main_run(void) {
  ignore_sigpipe();
  zu_log_syslog();

  // A resource that cannot be had is logged by its module; the service still
  // starts and answers what it can.
  pts_persistent_open();
  pts_dbus_open();
  pts_ocul_open();

  pts_reconcile_view_mode();

  GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
  ZuHttpHandler *handler = zu_http_handler_new(pts_http_request_cb, nullptr);
  g_main_loop_run(loop);

  zu_http_handler_free(handler);
  pts_ocul_close();
  pts_dbus_close();
  pts_persistent_close();
  return 0;
}

/* Platform logging: routes the process's GLib log to the system log. */
#pragma once

#include <glib.h>

G_BEGIN_DECLS

/* From the first call on, every GLib log message reaches syslog(3).
 * Safe to call any number of times. With ZU_LOG_STDERR=1 in the
 * environment each message is also copied to standard error as one line,
 * "LEVEL: message". */
void zu_log_syslog(void);

/* Simulation extra (not on the camera): lets tests see every message that
 * reaches the log writer, after zu_log_syslog has run. Passing NULL
 * removes the observer. */
typedef void (*ZuLogObserver)(GLogLevelFlags level, const gchar *message, gpointer user_data);
void zu_log_set_observer(ZuLogObserver observer, gpointer user_data);

G_END_DECLS

/* The simulated camera's state folder, shared by the stand-ins: each keeps
 * its state in one key file there, read afresh on every call. */
#pragma once

#include <glib.h>

G_BEGIN_DECLS

/* $ZU_PLATFORM_STATE_DIR/file, or the default folder's. */
gchar *zu_sim_state_path(const gchar *file);

/* The state file, comments kept; an empty key file when it is missing
 * (*missing set, when given); NULL with error set when it exists but cannot
 * be read. */
GKeyFile *zu_sim_load_state(const gchar *file, gboolean *missing, GError **error);

/* Whether a fault switch in group "faults" is on ("true" or "1"; a trailing
 * "# comment" is tolerated so hand-written files may annotate it). */
gboolean zu_sim_fault_set(GKeyFile *state, const gchar *fault);

/* Saves state as file in the folder, creating the folder when needed:
 * atomically and on the disk before it returns. */
gboolean zu_sim_save_state(GKeyFile *state, const gchar *file, GError **error);

/* Removes what saves of file that never finished left behind (a process
 * killed or a power cut during the save). Called where a stand-in is opened. */
void zu_sim_remove_save_leftovers(const gchar *file);

G_END_DECLS

// Feeds arbitrary contents to the service's key file: written as the file
// before it is opened, then the stored mode is read and the other mode
// stored, as a switch would. The read must never be NULL, and what a save
// stored must be what a fresh open reads back. GLib's criticals (a broken
// precondition) count as findings; the service's own log lines do not.
#include <glib.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "pts_persistent.h"

namespace {

constexpr char kPath[] = PTS_CONFIG_PATH;
static_assert(kPath[0] != '/', "configure the fuzz build with a relative PTS_CONFIG_PATH");

std::filesystem::path scratch;

void fail(const char *what, const char *detail) {
  std::fprintf(stderr, "fuzz_pts_persistent: %s: %s\n", what, detail ? detail : "(null)");
  std::abort();
}

GLogWriterOutput writer(GLogLevelFlags level, const GLogField *fields, gsize n_fields, gpointer) {
  if (level & (G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR)) {
    const gchar *message = "";
    for (gsize i = 0; i < n_fields; i++)
      if (g_strcmp0(fields[i].key, "MESSAGE") == 0) message = static_cast<const gchar *>(fields[i].value);
    fail("critical", message);
  }
  return G_LOG_WRITER_HANDLED;
}

void remove_scratch() {
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
}

}  // namespace

// The key file path is relative: each run gets a scratch working directory.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  g_log_set_writer_func(writer, nullptr, nullptr);
  g_autofree gchar *dir = g_dir_make_tmp("pts-fuzz-XXXXXX", nullptr);
  if (!dir || chdir(dir) != 0) fail("no scratch folder", dir);
  scratch = dir;
  std::filesystem::create_directories(std::filesystem::path(kPath).parent_path());
  std::atexit(remove_scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  g_autoptr(GError) error = nullptr;
  if (!g_file_set_contents(kPath, reinterpret_cast<const gchar *>(data), static_cast<gssize>(size), &error))
    fail("cannot write the key file", error->message);

  pts_persistent_open();
  gchar *stored = pts_persistent_get_view_mode();
  if (stored == nullptr) fail("read", "NULL");
  const gchar *other = g_strcmp0(stored, "quad") == 0 ? "single" : "quad";
  g_free(stored);
  gboolean saved = pts_persistent_set_view_mode(other);
  pts_persistent_close();
  if (!saved) return 0;

  pts_persistent_open();
  g_autofree gchar *again = pts_persistent_get_view_mode();
  pts_persistent_close();
  if (g_strcmp0(again, other) != 0) fail("a fresh open reads back something else than was saved", again);
  return 0;
}

#include "zuhttp_web.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace {

struct ContentType {
  const char *extension;
  const char *type;
};

constexpr ContentType kContentTypes[] = {
    {"html", "text/html; charset=utf-8"}, {"css", "text/css; charset=utf-8"},
    {"js", "text/javascript; charset=utf-8"}, {"json", "application/json"},
    {"yaml", "application/yaml"},         {"svg", "image/svg+xml"},
    {"png", "image/png"},                 {"ico", "image/x-icon"},
};

const gchar *content_type_of(const gchar *name) {
  const gchar *dot = std::strrchr(name, '.');
  if (dot != nullptr)
    for (const auto &entry : kContentTypes)
      if (g_ascii_strcasecmp(dot + 1, entry.extension) == 0) return entry.type;
  return "application/octet-stream";
}

// O_NOFOLLOW on every step: no link, inside the folder or out of it, is
// followed. O_NONBLOCK keeps a FIFO from stalling the server; it is refused
// below as not a plain file.
int open_step(int dir, const gchar *name, int flags) {
  return openat(dir, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | flags);
}

}  // namespace

int zu_http_web_open(const gchar *root, const gchar *path, guint64 *size,
                     const gchar **content_type) {
  // NULL for an encoded "/" or NUL.
  g_autofree gchar *decoded = g_uri_unescape_string(path, "/");
  if (decoded == nullptr) return -1;
  g_autofree gchar *relative =
      *decoded == '\0' || g_str_has_suffix(decoded, "/") ? g_strconcat(decoded, "index.html", nullptr)
                                                         : g_strdup(decoded);
  g_auto(GStrv) names = g_strsplit(relative, "/", -1);
  for (gchar **name = names; *name; name++)
    if (**name == '\0' || **name == '.') return -1;

  int fd = open(root, O_RDONLY | O_CLOEXEC | O_DIRECTORY);
  for (gchar **name = names; fd >= 0 && *name; name++) {
    int next = open_step(fd, *name, name[1] != nullptr ? O_DIRECTORY : 0);
    close(fd);
    fd = next;
  }
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *size = st.st_size;
  *content_type = content_type_of(names[g_strv_length(names) - 1]);
  return fd;
}

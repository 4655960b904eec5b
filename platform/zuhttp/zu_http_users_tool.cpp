// zu-http-users FILE add NAME | FILE password NAME | FILE list
// Keeps the HTTP front's users file by the front's own reading rules. The
// password comes on standard input, one line (asked for without echo on a
// terminal); only its hash is written.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "zuhttp_users.h"

namespace {

int usage() {
  std::fputs("usage: zu-http-users FILE add NAME | FILE password NAME | FILE list\n", stderr);
  return 2;
}

int fail(const std::string &message) {
  std::fprintf(stderr, "zu-http-users: %s\n", message.c_str());
  return 1;
}

// One line, without its line end; NULL when none came.
gchar *read_password() {
  struct termios saved;
  bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    std::fputs("Password: ", stderr);
    struct termios quiet = saved;
    quiet.c_lflag &= ~ECHO;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  GString *line = g_string_new(nullptr);
  int c;
  while ((c = std::getchar()) != EOF && c != '\n') g_string_append_c(line, static_cast<char>(c));
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputc('\n', stderr);
  }
  if (c == EOF && line->len == 0) {
    g_string_free(line, TRUE);
    return nullptr;
  }
  return g_string_free(line, FALSE);
}

gboolean errno_error(GError **error, const char *what) {
  int code = errno;
  g_set_error(error, G_FILE_ERROR, g_file_error_from_errno(code), "%s: %s", what, g_strerror(code));
  return FALSE;
}

gboolean write_all(int fd, const std::string &text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FALSE;
    done += n;
  }
  return TRUE;
}

// Written aside, then renamed over the file, so that the front never reads
// half of it. The file keeps its group and mode; a new one is 0640.
gboolean save(const gchar *path, const std::string &text, GError **error) {
  struct stat old;
  bool exists = stat(path, &old) == 0;
  g_autofree gchar *aside = g_strconcat(path, ".XXXXXX", nullptr);
  int fd = g_mkstemp_full(aside, O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) return errno_error(error, "cannot write beside it");
  bool ok = (!exists || fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0) &&
            fchmod(fd, exists ? old.st_mode & 0770 : 0640) == 0 && write_all(fd, text) &&
            fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok && rename(aside, path) == 0) return TRUE;
  errno_error(error, "cannot write it");
  unlink(aside);
  return FALSE;
}

// The file's text with the line of `name` replaced by `line`, or `line`
// added at the end.
std::string with_line(const gchar *text, const gchar *name, const gchar *line) {
  std::string result;
  std::string prefix = std::string(name) + ":";
  bool replaced = false;
  g_auto(GStrv) lines = g_strsplit(text, "\n", -1);
  for (gchar **l = lines; *l != nullptr; l++) {
    if (l[1] == nullptr && **l == '\0') break;  // after the last line end
    bool mine = g_str_has_prefix(*l, prefix.c_str());
    result += std::string(mine ? line : *l) + "\n";
    replaced = replaced || mine;
  }
  return replaced ? result : result + line + "\n";
}

void list(const gchar *text) {
  g_auto(GStrv) lines = g_strsplit(text, "\n", -1);
  for (gchar **l = lines; *l != nullptr; l++) {
    const gchar *colon = std::strchr(*l, ':');
    if (**l != '#' && colon != nullptr) std::printf("%.*s\n", static_cast<int>(colon - *l), *l);
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) return usage();
  const gchar *path = argv[1];
  std::string command = argv[2];
  const gchar *name = argc == 4 ? argv[3] : nullptr;
  if (!(command == "list" && argc == 3) && !((command == "add" || command == "password") && name))
    return usage();

  g_autoptr(GError) error = nullptr;
  g_autoptr(GHashTable) users = zu_http_users_load(path, &error);
  g_autofree gchar *text = nullptr;
  if (users == nullptr && command == "add" &&
      g_error_matches(error, G_FILE_ERROR, G_FILE_ERROR_NOENT)) {
    text = g_strdup("");
  } else if (users == nullptr || !g_file_get_contents(path, &text, nullptr, &error)) {
    return fail(std::string(path) + ": " + error->message);
  }
  if (command == "list") {
    list(text);
    return 0;
  }
  if (!zu_http_users_valid_name(name))
    return fail(std::string("'") + name + "' is not a user name: 1 to 32 of A-Z a-z 0-9 . _ -, " +
                "not starting with -");
  bool known = users != nullptr && g_hash_table_contains(users, name);
  if (command == "add" && known)
    return fail(std::string(name) + " is a user already (password changes the password)");
  if (command == "password" && !known) return fail(std::string("no user ") + name + " in " + path);

  g_autofree gchar *password = read_password();
  if (password == nullptr || *password == '\0') return fail("no password given");
  g_autofree gchar *line = zu_http_users_line(name, password);
  std::memset(password, 0, std::strlen(password));
  if (!save(path, with_line(text, name, line), &error))
    return fail(std::string(path) + ": " + error->message);
  return 0;
}

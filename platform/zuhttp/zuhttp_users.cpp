#include "zuhttp_users.h"

#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr gsize kMaxName = 32;

bool valid_name(std::string_view name) {
  if (name.empty() || name.size() > kMaxName || name.front() == '-') return false;
  for (char c : name)
    if (!g_ascii_isalnum(c) && c != '.' && c != '_' && c != '-') return false;
  return true;
}

bool blank(std::string_view line) {
  for (char c : line)
    if (!g_ascii_isspace(c)) return false;
  return true;
}

// NULL when the line is sound (and its user, if any, added), else what is
// wrong with it.
const char *parse_line(std::string_view line, GHashTable *users) {
  if (line.find('\0') != std::string_view::npos) return "a NUL byte";
  if (line.empty() || line.front() == '#' || blank(line)) return nullptr;
  size_t first = line.find(':');
  size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
  if (second == std::string_view::npos) return "not name:" ZU_HTTP_REALM ":hash";
  std::string_view name = line.substr(0, first);
  if (!valid_name(name))
    return "a name other than 1 to 32 of A-Z a-z 0-9 . _ - (not starting with -)";
  if (line.substr(first + 1, second - first - 1) != ZU_HTTP_REALM)
    return "a realm other than \"" ZU_HTTP_REALM "\"";
  guint8 ha1[ZU_HTTP_HA1_SIZE];
  std::string_view hash = line.substr(second + 1);
  if (!zu_http_hex_bytes(hash.data(), hash.size(), ha1, sizeof ha1))
    return "a hash other than 64 hexadecimal digits (SHA-256)";
  g_autofree gchar *key = g_strndup(name.data(), name.size());
  if (g_hash_table_contains(users, key)) return "a user listed twice";
  g_hash_table_insert(users, g_steal_pointer(&key), g_memdup2(ha1, sizeof ha1));
  return nullptr;
}

gboolean set_errno_error(GError **error, const char *what) {
  int code = errno;
  g_set_error(error, G_FILE_ERROR, g_file_error_from_errno(code), "%s: %s", what, g_strerror(code));
  return FALSE;
}

// The whole file through a descriptor already checked.
gboolean read_all(int fd, GString *text, GError **error) {
  char chunk[4096];
  for (;;) {
    gssize n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return set_errno_error(error, "cannot read it");
    if (n == 0) return TRUE;
    g_string_append_len(text, chunk, n);
  }
}

gboolean member_of(const char *group, const gchar *name) {
  std::vector<char> buffer(1024);
  struct group entry = {};
  struct group *found = nullptr;
  int code;
  while ((code = getgrnam_r(group, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < 1024 * 1024)
    buffer.resize(2 * buffer.size());
  if (code != 0 || found == nullptr) return FALSE;
  for (char **member = found->gr_mem; *member != nullptr; member++)
    if (std::strcmp(*member, name) == 0) return TRUE;
  return FALSE;
}

}  // namespace

GHashTable *zu_http_users_parse(const gchar *text, gsize size, GError **error) {
  g_autoptr(GHashTable) users = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
  std::string_view rest(text, size);
  for (guint number = 1; !rest.empty(); number++) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (const char *problem = parse_line(line, users)) {
      g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_INVAL, "line %u: %s", number, problem);
      return nullptr;
    }
  }
  return g_steal_pointer(&users);
}

GHashTable *zu_http_users_load(const gchar *path, GError **error) {
  // Non-blocking, so that a FIFO cannot hold the start; refused below.
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    set_errno_error(error, "cannot open it");
    return nullptr;
  }
  struct stat st;
  g_autoptr(GString) text = g_string_new(nullptr);
  gboolean ok = FALSE;
  if (fstat(fd, &st) != 0)
    set_errno_error(error, "cannot read it");
  else if (!S_ISREG(st.st_mode))
    g_set_error_literal(error, G_FILE_ERROR, G_FILE_ERROR_INVAL, "not a plain file");
  else if ((st.st_mode & 0006) != 0)
    g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_PERM,
                "others may read or write it (mode %04o): chmod o-rw it", st.st_mode & 07777);
  else
    ok = read_all(fd, text, error);
  close(fd);
  return ok ? zu_http_users_parse(text->str, text->len, error) : nullptr;
}

struct _ZuHttpUserFile {
  gchar *path;
  GHashTable *users;  // NULL while the file is unusable
  struct stat seen;   // of the file last read (st_ino 0: none)
};

namespace {

bool same_file(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

void refresh(ZuHttpUserFile *file) {
  struct stat now = {};
  if (stat(file->path, &now) == 0 && same_file(now, file->seen)) return;
  file->seen = now;
  g_clear_pointer(&file->users, g_hash_table_unref);
  g_autoptr(GError) error = nullptr;
  file->users = zu_http_users_load(file->path, &error);
  if (file->users == nullptr)
    g_log(nullptr, G_LOG_LEVEL_WARNING, "zuhttp: the users file %s: %s; no one is let in",
          file->path, error->message);
}

}  // namespace

ZuHttpUserFile *zu_http_user_file_open(const gchar *path, GError **error) {
  struct stat seen = {};
  stat(path, &seen);
  GHashTable *users = zu_http_users_load(path, error);
  if (users == nullptr) return nullptr;
  auto *file = g_new0(ZuHttpUserFile, 1);
  file->path = g_strdup(path);
  file->users = users;
  file->seen = seen;
  return file;
}

void zu_http_user_file_free(ZuHttpUserFile *file) {
  if (file == nullptr) return;
  if (file->users != nullptr) g_hash_table_unref(file->users);
  g_free(file->path);
  g_free(file);
}

const guint8 *zu_http_user_file_ha1(ZuHttpUserFile *file, const gchar *name) {
  refresh(file);
  return file->users != nullptr
             ? static_cast<const guint8 *>(g_hash_table_lookup(file->users, name))
             : nullptr;
}

gboolean zu_http_users_valid_name(const gchar *name) { return name != nullptr && valid_name(name); }

gboolean zu_http_hex_bytes(const gchar *text, gsize length, guint8 *bytes, gsize size) {
  if (length != 2 * size) return FALSE;
  for (gsize i = 0; i < size; i++) {
    int high = g_ascii_xdigit_value(text[2 * i]);
    int low = g_ascii_xdigit_value(text[2 * i + 1]);
    if (high < 0 || low < 0) return FALSE;
    bytes[i] = static_cast<guint8>(high * 16 + low);
  }
  return TRUE;
}

gchar *zu_http_users_line(const gchar *name, const gchar *password) {
  g_autofree gchar *secret = g_strconcat(name, ":" ZU_HTTP_REALM ":", password, nullptr);
  g_autofree gchar *ha1 = g_compute_checksum_for_string(G_CHECKSUM_SHA256, secret, -1);
  std::memset(secret, 0, std::strlen(secret));
  return g_strconcat(name, ":" ZU_HTTP_REALM ":", ha1, nullptr);
}

gboolean zu_http_users_may_operate(const gchar *name) {
  return member_of("operator", name) || member_of("admin", name);
}

// --- failed attempts -------------------------------------------------------------

namespace {

constexpr guint kSlowAfter = 10;
constexpr gint64 kWindow = 60 * G_USEC_PER_SEC;
constexpr gint64 kSlowFor = 60 * G_USEC_PER_SEC;

struct Record {
  ZuHttpPeer peer;
  gint64 failures[kSlowAfter];  // the latest ones, a ring
  guint next;                   // where the next one goes
  guint count;                  // up to kSlowAfter
  gint64 slowed_until;
};

bool same_peer(const ZuHttpPeer &a, const ZuHttpPeer &b) {
  return a.size == b.size && std::memcmp(a.bytes, b.bytes, a.size) == 0;
}

// Which record gives way when all slots are taken: one not slowed now
// before one that is, and of those the one that ends first (its latest
// failure, or its slow-down).
bool gives_way_before(const Record &a, const Record &b, gint64 now) {
  bool a_slowed = a.slowed_until > now;
  bool b_slowed = b.slowed_until > now;
  if (a_slowed != b_slowed) return b_slowed;
  if (a_slowed) return a.slowed_until < b.slowed_until;
  return a.failures[(a.next + kSlowAfter - 1) % kSlowAfter] <
         b.failures[(b.next + kSlowAfter - 1) % kSlowAfter];
}

}  // namespace

struct _ZuHttpSlowdown {
  guint slots;
  guint used;
  Record *records;
};

ZuHttpPeer zu_http_peer_of(const struct sockaddr *address) {
  ZuHttpPeer peer = {};
  if (address == nullptr) return peer;
  if (address->sa_family == AF_INET) {
    const auto *v4 = reinterpret_cast<const struct sockaddr_in *>(address);
    std::memcpy(peer.bytes, &v4->sin_addr, 4);
    peer.size = 4;
  } else if (address->sa_family == AF_INET6) {
    const auto *v6 = reinterpret_cast<const struct sockaddr_in6 *>(address);
    std::memcpy(peer.bytes, &v6->sin6_addr, 16);
    peer.size = 16;
  }
  return peer;
}

ZuHttpSlowdown *zu_http_slowdown_new(guint slots) {
  auto *slowdown = g_new0(ZuHttpSlowdown, 1);
  slowdown->slots = MAX(slots, 1);
  slowdown->records = g_new0(Record, slowdown->slots);
  return slowdown;
}

void zu_http_slowdown_free(ZuHttpSlowdown *slowdown) {
  if (slowdown == nullptr) return;
  g_free(slowdown->records);
  g_free(slowdown);
}

namespace {

Record *find_record(const ZuHttpSlowdown *slowdown, const ZuHttpPeer *peer) {
  for (guint i = 0; i < slowdown->used; i++)
    if (same_peer(slowdown->records[i].peer, *peer)) return &slowdown->records[i];
  return nullptr;
}

}  // namespace

void zu_http_slowdown_fail(ZuHttpSlowdown *slowdown, const ZuHttpPeer *peer, gint64 now) {
  if (peer->size == 0) return;
  Record *record = find_record(slowdown, peer);
  if (record == nullptr) {
    if (slowdown->used < slowdown->slots) {
      record = &slowdown->records[slowdown->used++];
    } else {
      record = &slowdown->records[0];
      for (guint i = 1; i < slowdown->slots; i++)
        if (gives_way_before(slowdown->records[i], *record, now)) record = &slowdown->records[i];
    }
    *record = {};
    record->peer = *peer;
  }
  record->failures[record->next] = now;
  record->next = (record->next + 1) % kSlowAfter;
  if (record->count < kSlowAfter) record->count++;
  // Once the ring is full, its oldest failure sits where the next goes.
  if (record->count == kSlowAfter && now - record->failures[record->next] < kWindow)
    record->slowed_until = now + kSlowFor;
}

guint zu_http_slowdown_left(const ZuHttpSlowdown *slowdown, const ZuHttpPeer *peer, gint64 now) {
  const Record *record = peer->size != 0 ? find_record(slowdown, peer) : nullptr;
  if (record == nullptr || record->slowed_until <= now) return 0;
  return static_cast<guint>((record->slowed_until - now + G_USEC_PER_SEC - 1) / G_USEC_PER_SEC);
}

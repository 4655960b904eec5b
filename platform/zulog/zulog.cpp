#include "zulog.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

namespace {

// The level the service uses for its own failures: the first user level.
constexpr int kServiceErrorLevel = 1 << G_LOG_LEVEL_USER_SHIFT;

std::once_flag installed;
bool copy_to_stderr = false;

std::mutex observer_lock;
ZuLogObserver observer_fn = nullptr;
gpointer observer_data = nullptr;

struct LevelInfo {
  int flag;
  int priority;
  const char *name;
};

constexpr LevelInfo kLevels[] = {
    {G_LOG_LEVEL_ERROR, LOG_CRIT, "ERROR"},
    {G_LOG_LEVEL_CRITICAL, LOG_CRIT, "CRITICAL"},
    {G_LOG_LEVEL_WARNING, LOG_WARNING, "WARNING"},
    {G_LOG_LEVEL_MESSAGE, LOG_NOTICE, "MESSAGE"},
    {G_LOG_LEVEL_INFO, LOG_INFO, "INFO"},
    {G_LOG_LEVEL_DEBUG, LOG_DEBUG, "DEBUG"},
    {kServiceErrorLevel, LOG_ERR, "ERROR"},
};

const LevelInfo *level_info(GLogLevelFlags level) {
  for (const auto &info : kLevels)
    if (level & info.flag) return &info;
  return nullptr;
}

const char *field_message(const GLogField *fields, gsize n_fields) {
  for (gsize i = 0; i < n_fields; i++)
    if (std::strcmp(fields[i].key, "MESSAGE") == 0 && fields[i].length < 0)
      return static_cast<const char *>(fields[i].value);
  return "";
}

// One line on stderr: messages that end in a newline lose it here.
void write_stderr(const char *name, const char *message) {
  size_t len = std::strlen(message);
  while (len > 0 && message[len - 1] == '\n') len--;
  std::fprintf(stderr, "%s: %.*s\n", name, static_cast<int>(len), message);
  std::fflush(stderr);
}

// While the system log's socket is missing (a container, a CI machine),
// syslog(3) tries to connect anew for every message: a socket, a failed
// connect and a close, each a system call that costs more than the rest of
// a request. So the socket is looked for at most every 0.1 s, and the
// messages that come while it is missing are held (the last kHeldMax of
// them) and handed over, in order, once it is there.
constexpr gint64 kLookInterval = G_USEC_PER_SEC / 10;
constexpr size_t kHeldMax = 64;

std::mutex syslog_lock;
gint64 next_look = 0;
bool log_present = false;
std::deque<std::pair<int, std::string>> held;

void to_syslog(int priority, const char *message) {
  std::lock_guard guard(syslog_lock);
  const gint64 now = g_get_monotonic_time();
  if (now >= next_look) {
    log_present = access(_PATH_LOG, F_OK) == 0;
    next_look = now + kLookInterval;
  }
  if (!log_present) {
    if (held.size() == kHeldMax) held.pop_front();
    held.emplace_back(priority, message);
    return;
  }
  for (const auto &[earlier, text] : held) syslog(earlier, "%s", text.c_str());
  held.clear();
  syslog(priority, "%s", message);
}

GLogWriterOutput writer(GLogLevelFlags level, const GLogField *fields, gsize n_fields, gpointer) {
  const char *message = field_message(fields, n_fields);
  const LevelInfo *info = level_info(level);
  bool debug = info && (info->flag == G_LOG_LEVEL_DEBUG || info->flag == G_LOG_LEVEL_INFO);
  if (debug && g_log_writer_default_would_drop(level, nullptr)) return G_LOG_WRITER_HANDLED;

  to_syslog(info ? info->priority : LOG_NOTICE, message);
  if (copy_to_stderr) write_stderr(info ? info->name : "LOG", message);
  {
    std::lock_guard guard(observer_lock);
    if (observer_fn) observer_fn(level, message, observer_data);
  }
  return G_LOG_WRITER_HANDLED;
}

}  // namespace

void zu_log_syslog(void) {
  // GLib takes a log writer once per process; every later call is a no-op.
  std::call_once(installed, [] {
    copy_to_stderr = g_strcmp0(g_getenv("ZU_LOG_STDERR"), "1") == 0;
    openlog(g_get_prgname(), LOG_PID, LOG_USER);
    g_log_set_writer_func(writer, nullptr, nullptr);
  });
}

void zu_log_set_observer(ZuLogObserver observer, gpointer user_data) {
  std::lock_guard guard(observer_lock);
  observer_fn = observer;
  observer_data = user_data;
}

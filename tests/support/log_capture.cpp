#include "log_capture.h"

#include <ostream>

#include "zulog.h"

namespace pts_test {

LogCapture::LogCapture() {
  zu_log_syslog();
  zu_log_set_observer(&LogCapture::observe, this);
}

LogCapture::~LogCapture() { zu_log_set_observer(nullptr, nullptr); }

void LogCapture::observe(GLogLevelFlags level, const gchar *message, gpointer self) {
  auto *capture = static_cast<LogCapture *>(self);
  // Keep only the level bits: GLib adds G_LOG_FLAG_FATAL and friends.
  auto bare = static_cast<GLogLevelFlags>(level & ~G_LOG_FLAG_FATAL & ~G_LOG_FLAG_RECURSION);
  capture->lines_.push_back({bare, message ? message : ""});
}

size_t LogCapture::count(GLogLevelFlags level, const std::string &message) const {
  size_t n = 0;
  for (const auto &line : lines_)
    if (line.level == level && line.message == message) n++;
  return n;
}

std::string level_name(GLogLevelFlags level) {
  if (level == kLevelError) return "ERROR(256)";
  if (level & G_LOG_LEVEL_CRITICAL) return "CRITICAL";
  if (level & G_LOG_LEVEL_WARNING) return "WARNING";
  if (level & G_LOG_LEVEL_MESSAGE) return "MESSAGE";
  if (level & G_LOG_LEVEL_INFO) return "INFO";
  if (level & G_LOG_LEVEL_DEBUG) return "DEBUG";
  return "LEVEL(" + std::to_string(level) + ")";
}

std::string LogCapture::dump() const {
  std::string out;
  for (const auto &line : lines_) out += level_name(line.level) + ": " + line.message + "\n";
  return out;
}

}  // namespace pts_test

void PrintTo(const pts_test::LogLine &line, std::ostream *os) {
  *os << pts_test::level_name(line.level) << ": \"" << line.message << "\"";
}

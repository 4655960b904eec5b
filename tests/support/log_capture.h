// Captures the log lines that reach the platform's log writer, so tests can
// check the messages (and levels) that are part of the service's behaviour.
#pragma once

#include <glib.h>

#include <string>
#include <vector>

namespace pts_test {

// The service's error level (256).
constexpr GLogLevelFlags kLevelError = static_cast<GLogLevelFlags>(1 << G_LOG_LEVEL_USER_SHIFT);

struct LogLine {
  GLogLevelFlags level;
  std::string message;
  bool operator==(const LogLine &) const = default;
};

// Installs the platform log writer (once per process) and observes it for
// its own lifetime. One capture at a time.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  const std::vector<LogLine> &lines() const { return lines_; }
  void clear() { lines_.clear(); }
  // Lines with exactly this level and message.
  size_t count(GLogLevelFlags level, const std::string &message) const;
  bool contains(GLogLevelFlags level, const std::string &message) const {
    return count(level, message) > 0;
  }
  // All lines as "LEVEL: message", for failure output.
  std::string dump() const;

 private:
  static void observe(GLogLevelFlags level, const gchar *message, gpointer self);
  std::vector<LogLine> lines_;
};

std::string level_name(GLogLevelFlags level);

}  // namespace pts_test

// gtest prints a LogLine readably.
void PrintTo(const pts_test::LogLine &line, std::ostream *os);

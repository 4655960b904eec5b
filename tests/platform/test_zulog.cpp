// The log stand-in while the system log's socket is missing: messages are
// held, and reach the system log, in order, once its socket appears. The
// check runs in a mount namespace of its own, where /dev is an empty tmpfs;
// it is skipped where one cannot be had (not root).
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>

#include "zulog.h"

namespace {

constexpr int kNoNamespace = 77;

// Runs in a child process, so the namespace and the log writer are its own.
int log_before_and_after_the_socket() {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", "/dev", "tmpfs", 0, nullptr) != 0)
    return kNoNamespace;
  zu_log_syslog();
  g_log(nullptr, G_LOG_LEVEL_WARNING, "before the system log");

  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, _PATH_LOG);
  timeval timeout = {2, 0};
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
    return 1;
  g_usleep(G_USEC_PER_SEC / 5);  // past the stand-in's next look
  g_log(nullptr, G_LOG_LEVEL_WARNING, "after it appeared");

  for (const char *expected : {"before the system log", "after it appeared"}) {
    char line[512];
    ssize_t n = recv(fd, line, sizeof line - 1, 0);
    if (n <= 0) return 2;
    line[n] = '\0';
    if (!g_str_has_suffix(line, expected)) return 3;
  }
  return 0;
}

TEST(ZuLog, HeldMessagesReachASystemLogThatAppearsLater) {
  pid_t child = fork();
  if (child == 0) _exit(log_before_and_after_the_socket());
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kNoNamespace) GTEST_SKIP() << "no mount namespace of our own";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: no socket, 2: a message missing, 3: wrong order";
}

}  // namespace

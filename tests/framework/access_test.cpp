// Access levels against real libc look-ups: a probe process sees fake user
// and group files through nss_wrapper and takes its user id through
// uid_wrapper, whoever runs the tests.
#include <gtest/gtest.h>

#include <glib.h>

#include "programs.h"
#include "sim_state.h"

#include <string>

namespace {

constexpr char kPasswd[] =
    "alice:x:1001:100::/home/alice:/bin/false\n"
    "anonymous:x:1002:100::/:/bin/false\n"
    "bob:x:1003:502::/home/bob:/bin/false\n";

struct Case {
  const char *name;
  unsigned uid;
  const char *groups;
  unsigned expected;
};

const Case kCases[] = {
    {"AnonymousListedInAdmin", 1002, "admin:x:500:anonymous,alice\n", 1},
    {"ViewerOnly", 1001, "admin:x:500:bob\noperator:x:501:\nviewer:x:502:alice\n", 2},
    {"OperatorAndViewer", 1001, "admin:x:500:\noperator:x:501:alice\nviewer:x:502:alice\n", 3},
    {"AdminAndOperator", 1001, "admin:x:500:bob,alice\noperator:x:501:alice\nviewer:x:502:\n", 4},
    {"AdminAndViewerOnly", 1001, "viewer:x:502:alice\nadmin:x:500:alice\n", 4},
    {"MissingAdminGroup", 1001, "operator:x:501:carol,alice\nviewer:x:502:alice\n", 3},
    {"EmptyMemberLists", 1001, "admin:x:500:\noperator:x:501:\nviewer:x:502:\n", 0},
    {"PrimaryGroupOnly", 1003, "admin:x:500:\noperator:x:501:\nviewer:x:502:\n", 0},
    {"NoUserEntry", 4242, "admin:x:500:ghost,alice\nviewer:x:502:ghost\n", 0},
    {"PrefixIsNoMatch", 1001, "admin:x:500:alice2,alic\nviewer:x:502:Alice\n", 0},
    {"OtherGroupsIgnored", 1001, "wheel:x:10:alice\nadmins:x:11:alice\n", 0},
    {"NoGroupsAtAll", 1001, "", 0},
};

class AccessLevel : public testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    for (const char *lib : {NSS_WRAPPER_LIB, UID_WRAPPER_LIB})
      if (!g_file_test(lib, G_FILE_TEST_EXISTS)) GTEST_SKIP() << lib << " is not installed";
  }

  std::string write(const char *name, const char *text) {
    pts_test::write_file(dir_.file(name), text);
    return dir_.file(name);
  }

  // The probe's output: its access level, or an error description.
  std::string probe(unsigned uid, const char *groups) {
    gchar **env = g_get_environ();
    env = g_environ_setenv(env, "LD_PRELOAD", UID_WRAPPER_LIB " " NSS_WRAPPER_LIB, TRUE);
    env = g_environ_setenv(env, "UID_WRAPPER", "1", TRUE);
    env = g_environ_setenv(env, "NSS_WRAPPER_PASSWD", write("passwd", kPasswd).c_str(), TRUE);
    env = g_environ_setenv(env, "NSS_WRAPPER_GROUP", write("group", groups).c_str(), TRUE);
    // Sanitized builds: the preloaded libraries come before the runtime,
    // which also refuses the wrappers' RTLD_DEEPBIND.
    env = g_environ_setenv(env, "NSS_WRAPPER_DISABLE_DEEPBIND", "1", TRUE);
    env = g_environ_setenv(env, "UID_WRAPPER_DISABLE_DEEPBIND", "1", TRUE);
    std::string asan = g_environ_getenv(env, "ASAN_OPTIONS") ?: "";
    asan += std::string(asan.empty() ? "" : ":") + "verify_asan_link_order=0";
    env = g_environ_setenv(env, "ASAN_OPTIONS", asan.c_str(), TRUE);

    std::string uid_text = std::to_string(uid);
    auto argv = pts_test::program_argv({ACCESS_PROBE, uid_text.c_str()});
    g_autofree gchar *out = nullptr;
    g_autofree gchar *err = nullptr;
    gint status = 0;
    g_autoptr(GError) error = nullptr;
    gboolean spawned = g_spawn_sync(nullptr, const_cast<gchar **>(argv.data()), env, G_SPAWN_DEFAULT,
                                    nullptr, nullptr, &out, &err, &status, &error);
    g_strfreev(env);
    if (!spawned) return std::string("spawn: ") + error->message;
    if (!g_spawn_check_wait_status(status, nullptr)) return std::string("probe failed: ") + err;
    return g_strstrip(out);
  }

  pts_test::TempDir dir_;
};

TEST_P(AccessLevel, FromUserAndGroupFiles) {
  const Case &c = GetParam();
  EXPECT_EQ(probe(c.uid, c.groups), std::to_string(c.expected));
}

INSTANTIATE_TEST_SUITE_P(Access, AccessLevel, testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace

// The heap that the front's table of nonce counts takes when full (1024
// nonces, as the front keeps them). Prints "table_bytes=N".
#include <glib/gstdio.h>
#include <malloc.h>

#include <cstdio>
#include <string>

#include "http_client.h"
#include "zuhttp_digest.h"

namespace {

constexpr guint kSlots = 1024;

// Answers a new nonce rightly: one nonce more in the table.
bool answer_one(ZuHttpDigest *digest, ZuHttpUserFile *users) {
  g_autofree gchar *challenge = zu_http_digest_challenge(digest, FALSE, G_USEC_PER_SEC);
  std::string answer = pts_test::digest_authorization(
      "op", "pw", "POST", pts_test::kApiPath, pts_test::challenge_param(challenge, "nonce"));
  g_autofree gchar *user = nullptr;
  return zu_http_digest_check(digest, users, answer.c_str(), "POST", pts_test::kApiPath,
                              G_USEC_PER_SEC, &user) == ZU_HTTP_DIGEST_PASSED;
}

}  // namespace

int main() {
  g_autofree gchar *path = g_build_filename(g_get_tmp_dir(), "bench-digest-users", nullptr);
  g_autofree gchar *line = zu_http_users_line("op", "pw");
  if (!g_file_set_contents(path, line, -1, nullptr) || g_chmod(path, 0600) != 0) return 1;
  ZuHttpUserFile *users = zu_http_user_file_open(path, nullptr);
  if (users == nullptr) return 1;

  size_t before = mallinfo2().uordblks;
  ZuHttpDigest *digest = zu_http_digest_new(kSlots, nullptr);
  for (guint i = 0; i < kSlots; i++)
    if (!answer_one(digest, users)) return 1;
  size_t table = mallinfo2().uordblks - before;

  std::printf("table_bytes=%zu\n", table);
  zu_http_digest_free(digest);
  zu_http_user_file_free(users);
  g_unlink(path);
  return 0;
}

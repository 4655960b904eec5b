// Feeds arbitrary callback answers to the CGI answer parser and checks what
// it hands the HTTP server: a final status, header fields that cannot split
// the response, a body that is the input's tail, and a result that survives
// being written out and parsed again. The same bytes, as request header
// values (Host, Origin, Sec-Fetch-Site, method, a line each) and as a users
// file, go to the front's decisions and to its users file parser; as an
// Authorization value (each "NONCE" a fresh nonce) and, after "nc:", as
// nonce counts, to its Digest.
#include <glib/gstdio.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "http_client.h"
#include "zuhttp_answer.h"
#include "zuhttp_digest.h"
#include "zuhttp_front.h"
#include "zuhttp_users.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool is_token(const char *text) {
  if (*text == '\0') return false;
  for (const char *p = text; *p; p++)
    if (!g_ascii_isalnum(*p) && std::strchr("!#$%&'*+-.^_`|~", *p) == nullptr) return false;
  return true;
}

bool is_field_value(const char *text) {
  for (const char *p = text; *p; p++)
    if ((g_ascii_iscntrl(*p) && *p != '\t') || *p == '\x7f') return false;
  size_t len = std::strlen(text);
  return len == 0 || (!g_ascii_isspace(text[0]) && !g_ascii_isspace(text[len - 1]));
}

std::string render(const ZuHttpAnswer &answer) {
  std::string text = "Status: " + std::to_string(answer.status) + "\r\n";
  for (guint i = 0; i < answer.fields->len; i += 2)
    text += std::string(static_cast<char *>(answer.fields->pdata[i])) + ": " +
            static_cast<char *>(answer.fields->pdata[i + 1]) + "\r\n";
  return text + "\r\n" + std::string(answer.body, answer.body_len);
}

std::string ascii_case(const char *text, bool up) {
  g_autofree gchar *changed = up ? g_ascii_strup(text, -1) : g_ascii_strdown(text, -1);
  return changed;
}

// The decisions hold whatever the values: an allowed Host is one word, its
// case does not matter, names only ever allow more, and a request from that
// very origin, or without any browser's header, is never refused.
void check_front(const std::string &input) {
  g_auto(GStrv) lines = g_strsplit(input.c_str(), "\n", 5);
  guint count = g_strv_length(lines);
  auto part = [&](guint i) -> const gchar * { return i < count ? lines[i] : nullptr; };
  const gchar *host = count > 0 ? lines[0] : "";
  const gchar *origin = part(1);
  const gchar *site = part(2);
  const gchar *method = part(3) ? part(3) : "POST";
  g_auto(GStrv) names = zu_http_front_parse_names(part(4));
  for (gchar **name = names; *name; name++)
    check(**name != '\0' && !std::strchr(*name, ',') && !g_ascii_isspace(**name) &&
          ascii_case(*name, false) == *name);

  ZuHttpFrontHeaders headers = {host, 1, origin, origin != nullptr, site, site != nullptr, nullptr, 0};
  guint bare = zu_http_front_host_status(&headers, nullptr);
  guint status = zu_http_front_host_status(&headers, names);
  check(status == 0 || status == 400 || status == 421);
  check(bare == status || (bare == 421 && status == 0));
  for (const gchar *c = host; bare == 0 && *c; c++) check(g_ascii_isgraph(*c));
  std::string up = ascii_case(host, true);
  ZuHttpFrontHeaders shouting = {up.c_str(), 1, nullptr, 0, nullptr, 0, nullptr, 0};
  check(zu_http_front_host_status(&shouting, names) == status);

  gboolean refused = zu_http_front_cross_origin(&headers, method);
  if (g_strcmp0(method, "GET") == 0 || g_strcmp0(method, "HEAD") == 0) check(!refused);
  ZuHttpFrontHeaders plain = {host, 1, nullptr, 0, nullptr, 0, nullptr, 0};
  check(!zu_http_front_cross_origin(&plain, method));
  std::string own = std::string("http://") + host;
  ZuHttpFrontHeaders same = {host, 1, own.c_str(), 1, nullptr, 0, nullptr, 0};
  check(!zu_http_front_cross_origin(&same, method));
}

// A users file that parses holds valid names with whole hashes, and the
// same users come back from its lines written anew.
void check_users(const uint8_t *data, size_t size) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GHashTable) users =
      zu_http_users_parse(reinterpret_cast<const gchar *>(data), size, &error);
  check((users == nullptr) == (error != nullptr));
  if (users == nullptr) {
    check(g_str_has_prefix(error->message, "line "));
    return;
  }
  std::string again;
  GHashTableIter iter;
  gpointer name, ha1;
  g_hash_table_iter_init(&iter, users);
  while (g_hash_table_iter_next(&iter, &name, &ha1)) {
    check(zu_http_users_valid_name(static_cast<const gchar *>(name)));
    again += static_cast<const gchar *>(name) + std::string(":" ZU_HTTP_REALM ":");
    for (int i = 0; i < ZU_HTTP_HA1_SIZE; i++) {
      char hex[3];
      g_snprintf(hex, sizeof hex, "%02x", static_cast<const guint8 *>(ha1)[i]);
      again += hex;
    }
    again += "\n";
  }
  g_autoptr(GHashTable) reparsed = zu_http_users_parse(again.data(), again.size(), nullptr);
  check(reparsed != nullptr && g_hash_table_size(reparsed) == g_hash_table_size(users));
  g_hash_table_iter_init(&iter, users);
  while (g_hash_table_iter_next(&iter, &name, &ha1)) {
    auto *other = static_cast<const guint8 *>(g_hash_table_lookup(reparsed, name));
    check(other != nullptr && std::memcmp(other, ha1, ZU_HTTP_HA1_SIZE) == 0);
  }
}

// --- Digest -------------------------------------------------------------------------

constexpr char kTarget[] = "/panetessel/api";

std::string fresh_nonce(ZuHttpDigest *digest, gint64 now) {
  g_autofree gchar *challenge = zu_http_digest_challenge(digest, FALSE, now);
  return pts_test::challenge_param(challenge, "nonce");
}

// Made-up credentials never pass and a passed answer never passes again;
// a nonce's counts are taken as a plain model of the window says.
void check_digest(const std::string &input) {
  static gint64 now = G_USEC_PER_SEC;
  static ZuHttpDigest *digest = zu_http_digest_new(4, nullptr);
  static ZuHttpUserFile *users = [] {
    g_autofree gchar *path = g_build_filename(g_get_tmp_dir(), "fuzz-users", nullptr);
    g_autofree gchar *line = zu_http_users_line("op", "pw");
    g_file_set_contents(path, line, -1, nullptr);
    g_chmod(path, 0600);
    return zu_http_user_file_open(path, nullptr);
  }();
  check(digest != nullptr && users != nullptr);
  auto attempt = [&](const std::string &authorization) {
    g_autofree gchar *user = nullptr;
    ZuHttpDigestResult result =
        zu_http_digest_check(digest, users, authorization.c_str(), "POST", kTarget, ++now, &user);
    check((result == ZU_HTTP_DIGEST_PASSED) == (user != nullptr));
    return result;
  };

  std::string value = input.substr(0, input.find('\0'));
  bool given_nonce = false;
  for (size_t at; (at = value.find("NONCE")) != std::string::npos; given_nonce = true)
    value.replace(at, 5, fresh_nonce(digest, now));
  ZuHttpDigestResult result = attempt(value);
  check(result <= ZU_HTTP_DIGEST_WRONG);
  check(given_nonce || result != ZU_HTTP_DIGEST_PASSED);
  if (result == ZU_HTTP_DIGEST_PASSED) check(attempt(value) == ZU_HTTP_DIGEST_STALE);

  // Counts only after "nc:", so that the rest is not slowed by the hashing.
  if (!g_str_has_prefix(input.c_str(), "nc:")) return;
  std::string nonce = fresh_nonce(digest, now);
  std::set<guint> taken;
  guint top = 0;
  for (size_t i = 3; i < input.size() && i < 19; i++) {
    guint count = static_cast<guint8>(input[i]) + 1;
    bool takes = !taken.count(count) && (count > top || top - count < 64);
    std::string right = pts_test::digest_authorization("op", "pw", "POST", kTarget, nonce, count);
    check((attempt(right) == ZU_HTTP_DIGEST_PASSED) == takes);
    if (takes) taken.insert(count), top = MAX(top, count);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const auto *text = reinterpret_cast<const gchar *>(data);
  check_front(std::string(text, size));
  check_users(data, size);
  check_digest(std::string(text, size));
  ZuHttpAnswer answer;
  const gchar *problem = zu_http_answer_parse(text, size, &answer);
  if (problem != nullptr) {
    zu_http_answer_clear(&answer);
    return 0;
  }
  check(answer.status >= 200 && answer.status <= 599);
  check(answer.fields->len % 2 == 0);
  for (guint i = 0; i < answer.fields->len; i += 2) {
    const auto *name = static_cast<const char *>(answer.fields->pdata[i]);
    check(is_token(name));
    check(g_ascii_strcasecmp(name, "Status") != 0 &&
          g_ascii_strcasecmp(name, "Content-Length") != 0 &&
          g_ascii_strcasecmp(name, "Transfer-Encoding") != 0);
    check(is_field_value(static_cast<const char *>(answer.fields->pdata[i + 1])));
  }
  check(answer.body_len <= size && answer.body == text + size - answer.body_len);

  std::string again = render(answer);
  ZuHttpAnswer reparsed;
  check(zu_http_answer_parse(again.data(), again.size(), &reparsed) == nullptr);
  check(reparsed.status == answer.status && reparsed.fields->len == answer.fields->len);
  for (guint i = 0; i < answer.fields->len; i++)
    check(std::strcmp(static_cast<char *>(answer.fields->pdata[i]),
                      static_cast<char *>(reparsed.fields->pdata[i])) == 0);
  check(reparsed.body_len == answer.body_len &&
        std::memcmp(reparsed.body, answer.body, answer.body_len) == 0);
  zu_http_answer_clear(&reparsed);
  zu_http_answer_clear(&answer);
  return 0;
}

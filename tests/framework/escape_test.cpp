// Text for log lines: what a client sent must not break a line or hide
// what it says, and must stay readable.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "test_tables.h"
#include "zucgi_escape.h"

using namespace fw_test;

namespace {

std::string escaped(const std::string &text) {
  g_autofree gchar *out = zucgi_escape_log_text(text.c_str());
  return out;
}

TEST(LogEscape, Texts) {
  const struct {
    const char *text;
    const char *logged;
  } rows[] = {
      {"", ""},
      {"invalid token near 'x'", "invalid token near 'x'"},
      // Accented letters, an emoji, Hebrew: right to left, but no control.
      {"caf\xc3\xa9 \xf0\x9f\x98\x80 \xd7\xa9\xd7\x9c\xd7\x9d",
       "caf\xc3\xa9 \xf0\x9f\x98\x80 \xd7\xa9\xd7\x9c\xd7\x9d"},
      // A backslash of the text cannot pass for an escape.
      {R"(a\nb\x1b\\)", R"(a\\nb\\x1b\\\\)"},
      {"\n\r\t\x01\x1b\x1f\x7f", R"(\n\r\t\x01\x1b\x1f\x7f)"},
      {"\xc2\x80\xc2\x85\xc2\x9f", R"(\u0080\u0085\u009f)"},
      // Not UTF-8: a stray byte, a lead byte without its follower, a cut end.
      {"\xff\xc3(\xe2\x80", R"(\xff\xc3(\xe2\x80)"},
      {"\xc0\x8a", R"(\xc0\x8a)"},      // an overlong line feed
      {"\xed\xa0\x80", R"(\xed\xa0\x80)"},  // a surrogate
  };
  for (const auto &row : rows) EXPECT_EQ(escaped(row.text), row.logged) << row.logged;
}

// Invisible format characters (bidi controls among them), the line and
// paragraph separators.
const gunichar kHidden[] = {0xad,   0x61c,  0x200b, 0x200f, 0x2028, 0x2029, 0x202a, 0x202e,
                            0x2060, 0x2064, 0x2066, 0x2069, 0xfeff, 0xe0001, 0xe007f};

TEST(LogEscape, HiddenCharacters) {
  for (gunichar c : kHidden) {
    gchar text[8] = {};
    g_unichar_to_utf8(c, text);
    g_autofree gchar *expected = c <= 0xffff ? g_strdup_printf("\\u%04x", c)
                                             : g_strdup_printf("\\U%08x", c);
    EXPECT_EQ(escaped(text), expected);
  }
}

// Whether a log line shows nothing that could break it or hide what it
// says; independent of how the escaper decides.
bool clean(const std::string &line) {
  if (!g_utf8_validate(line.data(), static_cast<gssize>(line.size()), nullptr)) return false;
  for (const gchar *p = line.c_str(); *p; p = g_utf8_next_char(p)) {
    const gunichar c = g_utf8_get_char(p);
    if (c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x61c || (c >= 0x200b && c <= 0x200f) ||
        (c >= 0x2028 && c <= 0x202e) || (c >= 0x2060 && c <= 0x2064) ||
        (c >= 0x2066 && c <= 0x206f) || c == 0xfeff)
      return false;
  }
  return true;
}

const std::string kCorpora = PTS_CORPORA_DIR;

// Third-party corpora, read where the clone's neighbour keeps them.
TEST(LogEscape, CorporaLeaveCleanLines) {
  const std::string blns = kCorpora + "/blns/blns.json";
  const std::string suite = kCorpora + "/JSONTestSuite/test_parsing";
  if (!g_file_test(blns.c_str(), G_FILE_TEST_EXISTS) ||
      !g_file_test(suite.c_str(), G_FILE_TEST_IS_DIR))
    GTEST_SKIP() << "no corpora in " << kCorpora;

  std::vector<std::string> payloads;
  JsonPtr strings(json_load_file(blns.c_str(), 0, nullptr));
  ASSERT_GT(json_array_size(strings.get()), 500u);
  for (size_t i = 0; i < json_array_size(strings.get()); i++) {
    const char *string = json_string_value(json_array_get(strings.get(), i));
    ASSERT_TRUE(string);
    const std::string text = string;
    EXPECT_TRUE(clean(escaped(text))) << escaped(text);
    payloads.push_back(text);
    payloads.push_back("[\"" + text);  // quoted by jansson as far as it reads
  }
  g_autoptr(GDir) dir = g_dir_open(suite.c_str(), 0, nullptr);
  ASSERT_TRUE(dir);
  while (const gchar *name = g_dir_read_name(dir)) {
    g_autofree gchar *path = g_build_filename(suite.c_str(), name, nullptr);
    g_autofree gchar *contents = nullptr;
    ASSERT_TRUE(g_file_get_contents(path, &contents, nullptr, nullptr));
    payloads.push_back(contents);
  }

  pts_test::LogCapture log;
  for (const auto &payload : payloads) post(payload.c_str());
  EXPECT_GT(log.lines().size(), 500u);
  for (const auto &line : log.lines()) EXPECT_TRUE(clean(line.message)) << escaped(line.message);
}

}  // namespace

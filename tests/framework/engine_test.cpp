// The request engine against its failure table, batches and version rules,
// with the exact reply texts a client receives.
#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "log_capture.h"
#include "test_tables.h"

using namespace fw_test;

namespace {

std::string err(int code) {
  static const std::map<int, std::string> texts = {
      {2001, "Access forbidden."},
      {2002, "HTTP request type not supported. Only POST supported."},
      {2003, "The requested API version is not supported."},
      {2004, "Method not supported."},
      {3001, "Test failure."},
      {4000, "The provided JSON input was invalid."},
      {4001, "Mandatory input parameter was not found in the input."},
      {4002, "The type of a provided JSON parameter was incorrect."},
      {8000, "Internal error, could not complete request."},
  };
  return R"("error": {"code": )" + std::to_string(code) + R"(, "message": ")" + texts.at(code) +
         R"("})";
}

std::string data(const std::string &json) { return R"("data": )" + json; }

// One envelope; context is given as its JSON text, quotes included.
std::string env(const std::string &version, const std::string &method,
                const std::string &outcome, const std::string &context = "") {
  std::string text = R"({"apiVersion": ")" + version + R"(", )";
  if (!context.empty()) text += R"("context": )" + context + ", ";
  return text + R"("method": ")" + method + R"(", )" + outcome + "}";
}

const std::string kNoParams = data(R"({"params": null})");

struct Case {
  const char *name;
  const char *http_method;
  const char *payload;
  std::string expected;  // whole reply
  const ApiVersion *const *versions = kVersions;
};

class Engine : public testing::TestWithParam<Case> {};

TEST_P(Engine, AnswersExactly) {
  const Case &c = GetParam();
  auto reply = call(c.http_method, c.payload, c.versions);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(*reply, c.expected);
}

std::string case_name(const testing::TestParamInfo<Case> &info) { return info.param.name; }

const Case kEarlyReplies[] = {
    {"Get", "GET", R"({"method": "echo", "apiVersion": "1.0"})", ok(env("1.0", "unknown", err(2002)))},
    {"NullHttpMethod", nullptr, "{}", ok(env("1.0", "unknown", err(2002)))},
    {"LowerCasePost", "post", "{}", ok(env("1.0", "unknown", err(2002)))},
    {"GetDefaultVersion", "PUT", "{}", ok(env("2.0", "unknown", err(2002))), kVersionsMixed},
    {"NoPayload", "POST", nullptr, ok(env("1.0", "unknown", err(8000)))},
    {"EmptyPayload", "POST", "", ok(env("1.0", "unknown", err(4000)))},
    {"BareNumber", "POST", "42", ok(env("1.0", "unknown", err(4000)))},
    {"BareText", "POST", R"("echo")", ok(env("1.0", "unknown", err(4000)))},
    {"Truncated", "POST", R"({"method": )", ok(env("1.0", "unknown", err(4000)))},
    {"TrailingGarbage", "POST", "{} {}", ok(env("1.0", "unknown", err(4000)))},
};
INSTANTIATE_TEST_SUITE_P(EngineEarly, Engine, testing::ValuesIn(kEarlyReplies), case_name);

const Case kBatches[] = {
    {"Empty", "POST", "[]", ok("[]")},
    {"SecondWithoutMethod", "POST",
     R"([{"method": "echo", "apiVersion": "1.0"}, {"apiVersion": "1.0"},
         {"method": "empty", "apiVersion": "1.0"}])",
     ok("[" + env("1.0", "echo", kNoParams) + ", " + env("1.0", "unknown", err(4001)) + ", " +
        env("1.0", "empty", data("{}")) + "]")},
    {"NonObjects", "POST", R"([5, "echo", null, []])",
     ok("[" + env("1.0", "unknown", err(4001)) + ", " + env("1.0", "unknown", err(4001)) + ", " +
        env("1.0", "unknown", err(4001)) + ", " + env("1.0", "unknown", err(4001)) + "]")},
    {"OneElement", "POST", R"([{"method": "getSupportedVersions"}])",
     ok("[" + env("1.0", "getSupportedVersions", data(R"({"apiVersions": ["1.0"]})")) + "]")},
    {"BrokenHandler", "POST",
     R"([{"method": "echo", "apiVersion": "1.0"}, {"method": "broken", "apiVersion": "1.0"},
         {"method": "echo", "apiVersion": "1.0"}])",
     kReply500},
    {"NoHandler", "POST", R"([{"method": "nohandler", "apiVersion": "1.0"}, 5])", kReply500},
};
INSTANTIATE_TEST_SUITE_P(EngineBatch, Engine, testing::ValuesIn(kBatches), case_name);

const Case kUnpacking[] = {
    {"Method7Version9", "POST", R"({"method": 7, "apiVersion": 9})",
     ok(env("1.0", "unknown", err(4002)))},
    {"MethodNull", "POST", R"({"method": null, "apiVersion": "1.0"})",
     ok(env("1.0", "unknown", err(4002)))},
    {"MethodMissingKeepsContext", "POST", R"({"apiVersion": "1.0", "context": "c1"})",
     ok(env("1.0", "unknown", err(4001), R"("c1")"))},
    {"MethodMissingVersionSettled", "POST", R"({"apiVersion": "1.5"})",
     ok(env("1.0", "unknown", err(4001))), kVersionsMixed},
    {"MethodMissingUnlistedVersion", "POST", R"({"apiVersion": "7.0"})",
     ok(env("2.0", "unknown", err(4001))), kVersionsMixed},
    {"VersionMissing", "POST", R"({"method": "echo"})", ok(env("1.0", "echo", err(4001)))},
    {"VersionNumber", "POST", R"({"method": "echo", "apiVersion": 1})",
     ok(env("1.0", "echo", err(4002)))},
    {"VersionBeforeContext", "POST", R"({"method": "echo", "apiVersion": "x", "context": 5})",
     ok(env("1.0", "echo", err(2003)))},
    {"ContextNotText", "POST", R"({"method": "echo", "apiVersion": "1.0", "context": 5})",
     ok(env("1.0", "echo", err(4002)))},
    {"ContextEchoedInError", "POST", R"({"method": "nosuch", "apiVersion": "1.0", "context": "abc"})",
     ok(env("1.0", "nosuch", err(2004), R"("abc")"))},
    {"ContextEmpty", "POST", R"({"method": "echo", "apiVersion": "1.0", "context": ""})",
     ok(env("1.0", "echo", kNoParams, R"("")"))},
    {"ContextPercent", "POST", R"({"method": "echo", "apiVersion": "1.0", "context": "%s%d%n%%"})",
     ok(env("1.0", "echo", kNoParams, R"("%s%d%n%%")"))},
    {"ContextEscapes", "POST",
     R"({"method": "echo", "apiVersion": "1.0", "context": "a\"b\\c\u00e9\n"})",
     ok(env("1.0", "echo", kNoParams, "\"a\\\"b\\\\c\xc3\xa9\\n\""))},
    {"ParamsNull", "POST", R"({"method": "echo", "apiVersion": "1.0", "params": null})",
     ok(env("1.0", "echo", err(4002)))},
    {"ParamsArray", "POST", R"({"method": "echo", "apiVersion": "1.0", "params": []})",
     ok(env("1.0", "echo", err(4002)))},
    {"ParamsText", "POST", R"({"method": "echo", "apiVersion": "1.0", "params": "x"})",
     ok(env("1.0", "echo", err(4002)))},
    {"ParamsObject", "POST", R"({"method": "echo", "apiVersion": "1.0", "params": {"a": [1]}})",
     ok(env("1.0", "echo", data(R"({"params": {"a": [1]}})")))},
    {"ParamsBadUnlistedVersion", "POST", R"({"method": "echo", "apiVersion": "2.0", "params": 5})",
     ok(env("1.0", "echo", err(4002)))},
    {"UnknownMembersIgnored", "POST", R"({"method": "echo", "apiVersion": "1.0", "id": 3})",
     ok(env("1.0", "echo", kNoParams))},
};
INSTANTIATE_TEST_SUITE_P(EngineUnpacking, Engine, testing::ValuesIn(kUnpacking), case_name);

// Texts of "apiVersion" as libc's "%5u.%5u" reads them.
struct VersionText {
  const char *name;
  const char *text;
  bool accepted;
};

const VersionText kVersionTexts[] = {
    {"Plain", "1.0", true},          {"OneNumber", "1", false},
    {"ThreeNumbers", "1.0.5", true}, {"LeadingBlank", " 1.0", true},
    {"SixDigitMajor", "100000.0", false}, {"FiveDigitMajorUnlisted", "10000.0", false},
    {"Plus", "+1.0", true},          {"Minus", "-1.0", false},
    {"NoMinor", "1.", false},        {"NoMajor", ".0", false},
    {"Empty", "", false},            {"Comma", "1,0", false},
    {"LeadingZero", "01.0", true},   {"LongMinor", "1.1234567", true},
    {"Trailing", "1.0beta", true},   {"Letters", "v1.0", false},
};

std::vector<Case> version_cases() {
  std::vector<Case> cases;
  static std::deque<std::string> payloads;  // keeps its texts in place
  for (const auto &v : kVersionTexts) {
    payloads.push_back(R"({"method": "echo", "apiVersion": ")" + std::string(v.text) + R"("})");
    cases.push_back({v.name, "POST", payloads.back().c_str(),
                     ok(env("1.0", "echo", v.accepted ? kNoParams : err(2003)))});
  }
  return cases;
}
INSTANTIATE_TEST_SUITE_P(EngineVersionText, Engine, testing::ValuesIn(version_cases()), case_name);

const Case kSettling[] = {
    {"UnlistedMajor", "POST", R"({"method": "echo", "apiVersion": "2.0"})",
     ok(env("1.0", "echo", err(2003)))},
    {"UnlistedBeforeUnknownMethod", "POST", R"({"method": "nosuch", "apiVersion": "2.0"})",
     ok(env("1.0", "nosuch", err(2003)))},
    {"MajorZero", "POST", R"({"method": "echo", "apiVersion": "0.3"})",
     ok(env("1.0", "echo", kNoParams))},
    {"ListedMinorAnswers", "POST", R"({"method": "echo", "apiVersion": "1.9"})",
     ok(env("1.0", "echo", kNoParams))},
    {"FirstOfMajor", "POST", R"({"method": "echo", "apiVersion": "3.5"})",
     ok(env("3.1", "echo", kNoParams)), kVersionsEqualMajors},
    {"LowerMajor", "POST", R"({"method": "echo", "apiVersion": "1.3"})",
     ok(env("1.0", "echo", kNoParams)), kVersionsEqualMajors},
    {"HalfReadIsDefault", "POST", R"({"method": "echo", "apiVersion": "1"})",
     ok(env("2.0", "echo", err(2003))), kVersionsMixed},
};
INSTANTIATE_TEST_SUITE_P(EngineSettling, Engine, testing::ValuesIn(kSettling), case_name);

const Case kMethodCases[] = {
    {"Fail", "POST", R"({"method": "fail", "apiVersion": "1.0"})", ok(env("1.0", "fail", err(3001)))},
    {"Empty", "POST", R"({"method": "empty", "apiVersion": "1.0"})",
     ok(env("1.0", "empty", data("{}")))},
    {"FirstOfSameName", "POST", R"({"method": "echo", "apiVersion": "1.0"})",
     ok(env("1.0", "echo", kNoParams))},
    {"NameIsCaseSensitive", "POST", R"({"method": "Echo", "apiVersion": "1.0"})",
     ok(env("1.0", "Echo", err(2004)))},
    {"Forbidden", "POST", R"({"method": "forbidden", "apiVersion": "1.0", "context": "f"})",
     ok(env("1.0", "forbidden", err(2001), R"("f")"))},
    {"Broken", "POST", R"({"method": "broken", "apiVersion": "1.0"})", kReply500},
    {"NoHandler", "POST", R"({"method": "nohandler", "apiVersion": "1.0"})", kReply500},
    {"Builtin", "POST", R"({"method": "getSupportedVersions"})",
     ok(env("1.0", "getSupportedVersions", data(R"({"apiVersions": ["1.0"]})")))},
    {"BuiltinIgnoresVersionAndParams", "POST",
     R"({"method": "getSupportedVersions", "apiVersion": 3, "params": 5, "context": "g"})",
     ok(env("1.0", "getSupportedVersions", data(R"({"apiVersions": ["1.0"]})"), R"("g")"))},
    {"BuiltinUnlistedVersion", "POST", R"({"method": "getSupportedVersions", "apiVersion": "7.0"})",
     ok(env("1.0", "getSupportedVersions", data(R"({"apiVersions": ["1.0"]})")))},
    {"BuiltinContextNotText", "POST", R"({"method": "getSupportedVersions", "context": 12})",
     ok(env("1.0", "getSupportedVersions", err(4002)))},
    {"BuiltinMixedList", "POST", R"({"method": "getSupportedVersions"})",
     ok(env("2.0", "getSupportedVersions", data(R"({"apiVersions": ["1.0", "2.0", "2.1"]})"))),
     kVersionsMixed},
    {"BuiltinEqualMajors", "POST", R"({"method": "getSupportedVersions"})",
     ok(env("3.1", "getSupportedVersions",
            data(R"({"apiVersions": ["1.0", "1.9", "2.7", "3.1", "3.0"]})"))),
     kVersionsEqualMajors},
};
INSTANTIATE_TEST_SUITE_P(EngineMethods, Engine, testing::ValuesIn(kMethodCases), case_name);

TEST(EngineTables, BuiltinLeavesVersionListInOrder) {
  const ApiVersion *before[6];
  std::copy(kVersionsEqualMajors, kVersionsEqualMajors + 6, before);
  post(R"({"method": "getSupportedVersions"})", kVersionsEqualMajors);
  EXPECT_TRUE(std::equal(before, before + 6, kVersionsEqualMajors));
}

// An unparsable payload and what of it jansson's error text quotes raw,
// with how the log line shows that.
struct ParseFailure {
  const char *payload;
  std::string quoted;
  std::string logged;
};

const ParseFailure kParseFailures[] = {
    {"42", "", ""},
    {"{", "", ""},
    {"[1,]", "", ""},
    {"\"x\"", "", ""},
    // A line feed would start a forged entry, U+202E turn the line around.
    {"[\"\xe2\x80\xae\x7f\xc2\x85\\\n", "\xe2\x80\xae\x7f\xc2\x85\\\n", R"(\u202e\x7f\u0085\\\n)"},
    {"[\"\xe2\x80\xae\\\x1b", "\xe2\x80\xae\\\x1b", R"(\u202e\\\x1b)"},
    {"[\"\\\r", "\\\r", R"(\\\r)"},
    // Quoted up to the first byte of the emoji: no longer UTF-8.
    {"[\"\\\xf0\x9f\x98\x80\"]", "\\\xf0", R"(\\\xf0)"},
    {"[\xc3\xa9]", "\xc3\xa9", "\xc3\xa9"},
};

TEST(EngineLog, ParseFailureWarnsWithEscapedParserText) {
  for (const auto &row : kParseFailures) {
    json_error_t parser;
    ASSERT_EQ(json_loads(row.payload, 0, &parser), nullptr);
    std::string reason = parser.text;
    const size_t at = reason.find(row.quoted);
    ASSERT_NE(at, std::string::npos) << "jansson no longer quotes it: " << reason;
    reason.replace(at, row.quoted.size(), row.logged);
    pts_test::LogCapture log;
    post(row.payload);
    EXPECT_EQ(log.lines(), (std::vector<pts_test::LogLine>{
                               {G_LOG_LEVEL_WARNING, "Failed to parse json string: " + reason}}))
        << row.payload;
  }
}

TEST(EngineLog, DenialWarnsOncePerRefusedRequest) {
  pts_test::LogCapture log;
  auto reply = post(R"([{"method": "forbidden", "apiVersion": "1.0"}, {"method": "echo",
                        "apiVersion": "1.0"}, {"method": "forbidden", "apiVersion": "1.0"}])");
  ASSERT_TRUE(reply);
  const pts_test::LogLine denied{G_LOG_LEVEL_WARNING, "method denied; req. access level: 5"};
  EXPECT_EQ(log.lines(), (std::vector<pts_test::LogLine>{denied, denied}));
}

TEST(EngineLog, QuietOtherwise) {
  pts_test::LogCapture log;
  call("GET", "not json");
  post(nullptr);
  post(R"({"method": "fail", "apiVersion": "1.0"})");
  post(R"({"method": "nosuch", "apiVersion": "2.0"})");
  EXPECT_TRUE(log.lines().empty()) << log.dump();
}

// The builders, where the engine does not reach every branch.
TEST(EngineBuilders, ResponseAndErrorObjects) {
  struct {
    const char *method;
    guint32 major, minor;
    const char *context;
    const char *json;
  } cases[] = {
      {nullptr, 1, 0, nullptr, R"({"apiVersion": "1.0", "method": "unknown"})"},
      {"m", 10, 25, "", R"({"apiVersion": "10.25", "context": "", "method": "m"})"},
      {"m", 4294967295u, 0, "%s", R"({"apiVersion": "4294967295.0", "context": "%s", "method": "m"})"},
  };
  for (const auto &c : cases) {
    JsonPtr response(create_response(c.method, &c.major, &c.minor, c.context));
    ASSERT_TRUE(response);
    g_autofree char *text = json_dumps(response.get(), JSON_PRESERVE_ORDER);
    EXPECT_STREQ(text, c.json);
  }
  const guint32 one = 1;
  EXPECT_EQ(create_response("\xff", &one, &one, nullptr), nullptr) << "not UTF-8";
  EXPECT_EQ(create_error_object(2000, nullptr), nullptr);

  JsonPtr envelope(create_response("m", &one, &one, nullptr));
  ASSERT_TRUE(set_response_error(envelope.get(), nullptr));
  g_autofree char *text = json_dumps(envelope.get(), JSON_PRESERVE_ORDER);
  EXPECT_EQ(text, R"({"apiVersion": "1.1", "method": "m", )" + err(8000) + "}");
  // Without a response the error is still taken (ASan sees no leak).
  EXPECT_FALSE(set_response_error(nullptr, create_error_object(1, "x")));
}

}  // namespace

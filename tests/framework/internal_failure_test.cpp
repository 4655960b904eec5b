// Internal failures: every allocation of the JSON library is made to fail
// in turn (alone, and from there on), and whatever happens must be a
// well-formed 200 reply, the exact 500 reply or nothing at all.
#include <gtest/gtest.h>

#include <tuple>

#include "failing_alloc.h"
#include "test_tables.h"

using namespace fw_test;
using pts_test::FailingAlloc;
using pts_test::FailMode;

namespace {

// A well-formed envelope: version, method, then exactly one
// of "data" and "error"; an error carries an integer code and a text.
void expect_envelope(json_t *envelope) {
  ASSERT_TRUE(json_is_object(envelope));
  EXPECT_TRUE(json_is_string(json_object_get(envelope, "apiVersion")));
  EXPECT_TRUE(json_is_string(json_object_get(envelope, "method")));
  json_t *error = json_object_get(envelope, "error");
  EXPECT_NE(error == nullptr, json_object_get(envelope, "data") == nullptr);
  if (error == nullptr) return;
  EXPECT_EQ(json_object_size(error), 2u);
  EXPECT_TRUE(json_is_integer(json_object_get(error, "code")));
  EXPECT_TRUE(json_is_string(json_object_get(error, "message")));
}

void expect_well_formed(const std::optional<std::string> &reply, size_t batch) {
  if (!reply || *reply == kReply500) return;
  ASSERT_EQ(reply->rfind(kHead, 0), 0u) << *reply;
  ASSERT_GE(reply->size(), kHead.size() + 2);
  ASSERT_EQ(reply->substr(reply->size() - 2), "\r\n");
  std::string body = reply->substr(kHead.size(), reply->size() - kHead.size() - 2);
  JsonPtr answer(json_loads(body.c_str(), 0, nullptr));
  ASSERT_TRUE(answer) << body;
  // A failure while parsing is answered by one envelope, also for a batch.
  if (!json_is_array(answer.get())) return expect_envelope(answer.get());
  ASSERT_EQ(json_array_size(answer.get()), batch) << body;
  for (size_t i = 0; i < batch; i++) expect_envelope(json_array_get(answer.get(), i));
}

struct Scenario {
  const char *name;
  const char *http_method;
  const char *payload;
  size_t batch;  // elements answered when the payload is an array
};

const Scenario kScenarios[] = {
    {"Single", "POST", R"({"method": "echo", "apiVersion": "1.0", "context": "c", "params": {"a": 1}})", 0},
    {"SingleError", "POST", R"({"method": "nosuch", "apiVersion": "1.0", "context": "c"})", 0},
    {"HandlerError", "POST", R"({"method": "fail", "apiVersion": "1.0"})", 0},
    {"Forbidden", "POST", R"({"method": "forbidden", "apiVersion": "1.0"})", 0},
    {"GetSupportedVersions", "POST", R"({"method": "getSupportedVersions", "context": "c"})", 0},
    {"Batch", "POST",
     R"([{"method": "echo", "apiVersion": "1.0", "params": {}}, 5,
         {"method": "getSupportedVersions"}, {"method": "empty", "apiVersion": "1.0"},
         {"method": "fail", "apiVersion": "1.0"}])",
     5},
    {"EmptyBatch", "POST", "[]", 0},
    {"NotPost", "GET", "{}", 0},
    {"NoPayload", "POST", nullptr, 0},
    {"NotJson", "POST", "{\"method\"", 0},
};

class AllocationFailure : public testing::TestWithParam<std::tuple<Scenario, FailMode>> {};

TEST_P(AllocationFailure, EveryStepFailsSoundly) {
  const auto &[s, mode] = GetParam();
  size_t n = 1;
  for (;; n++) {
    std::optional<std::string> reply;
    bool hit;
    {
      FailingAlloc alloc(n, mode);
      reply = call(s.http_method, s.payload);
      hit = alloc.hit();
    }
    expect_well_formed(reply, s.batch);
    if (!hit) break;
    ASSERT_LT(n, 10000u) << "no end to allocations";
  }
  EXPECT_GT(n, 1u) << "no allocation was ever made";
}

INSTANTIATE_TEST_SUITE_P(Jansson, AllocationFailure,
                         testing::Combine(testing::ValuesIn(kScenarios),
                                          testing::Values(FailMode::kOnce, FailMode::kFromNOn)),
                         pts_test::SweepName());

// Without injected failures the same scenarios never give the 500 reply.
TEST(AllocationBaseline, NoneWithoutInjection) {
  for (const auto &s : kScenarios) {
    auto reply = call(s.http_method, s.payload);
    ASSERT_TRUE(reply) << s.name;
    EXPECT_NE(*reply, kReply500) << s.name;
  }
}

}  // namespace

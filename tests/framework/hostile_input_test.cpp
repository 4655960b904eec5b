// Hostile payloads are answered in the engine's own terms, without a crash,
// a leak or a long wait.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <random>

#include "test_tables.h"

using namespace fw_test;

namespace {

// This process's CPU time: unlike the wall clock, it does not grow with what
// else the machine runs.
std::chrono::microseconds cpu_time() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto us = [](const timeval &t) { return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec); };
  return us(usage.ru_utime) + us(usage.ru_stime);
}

const std::string kInvalidJson = ok(
    R"({"apiVersion": "1.0", "method": "unknown", "error": {"code": 4000, "message": "The provided JSON input was invalid."}})");
const std::string kEchoRequest = R"({"method": "echo", "apiVersion": "1.0"})";
const std::string kEchoAnswer = ok(
    R"({"apiVersion": "1.0", "method": "echo", "data": {"params": null}})");

std::string nested(size_t depth) {
  return R"({"method": "echo", "apiVersion": "1.0", "params": {"a": )" +
         std::string(depth, '[') + std::string(depth, ']') + "}}";
}

std::string garbage(size_t size) {
  std::mt19937 random(42);
  std::string text(size, ' ');
  for (auto &c : text) c = static_cast<char>(1 + random() % 255);  // no NUL
  return text;
}

TEST(HostileInput, AnsweredAsInvalidJson) {
  const std::string cases[] = {
      R"({"method": "ech)" "\xff\xfe" R"(o", "apiVersion": "1.0"})",  // not UTF-8
      R"({"method": "\u0000", "apiVersion": "1.0"})",                  // escaped NUL
      R"({"method": "echo", "apiVersion": "1.0"} trailing)",
      std::string(10000, '[') + std::string(10000, ']'),
      nested(10000),
      garbage(1 << 20),
  };
  for (const auto &payload : cases) {
    auto reply = post(payload.c_str());
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, kInvalidJson) << payload.substr(0, 60);
  }
}

TEST(HostileInput, PayloadEndsAtNul) {
  std::string payload = kEchoRequest + '\0' + "garbage";
  EXPECT_EQ(post(payload.c_str()), kEchoAnswer);
  payload = R"({"method": "ec)" + std::string(1, '\0') + R"(ho", "apiVersion": "1.0"})";
  EXPECT_EQ(post(payload.c_str()), kInvalidJson);
}

TEST(HostileInput, ModerateNestingPassesThrough) {
  auto reply = post(nested(100).c_str());
  ASSERT_TRUE(reply);
  EXPECT_NE(reply->find(std::string(100, '[')), std::string::npos);
}

TEST(HostileInput, LargeBatchIsAnsweredQuickly) {
  constexpr size_t kCount = 10000;
  std::string payload = "[";
  for (size_t i = 0; i < kCount; i++) payload += (i ? ", " : "") + kEchoRequest;
  payload += "]";

  auto start = cpu_time();
  auto reply = post(payload.c_str());
  auto elapsed = cpu_time() - start;

  ASSERT_TRUE(reply);
  JsonPtr answer(json_loads(reply->c_str() + kHead.size(), JSON_DISABLE_EOF_CHECK, nullptr));
  ASSERT_TRUE(json_is_array(answer.get()));
  EXPECT_EQ(json_array_size(answer.get()), kCount);
  size_t envelopes = 0;
  for (size_t pos = 0; (pos = reply->find("\"method\": \"echo\"", pos)) != std::string::npos; pos++)
    envelopes++;
  EXPECT_EQ(envelopes, kCount);
  // Each element costs a user and group look-up through the machine's
  // nsswitch (about a millisecond of CPU under ASan); the bound catches work
  // that grows with the square.
  EXPECT_LT(elapsed, std::chrono::seconds(60));
}

}  // namespace

// Tables that break the engine's invariants end the process.
#include <gtest/gtest.h>

#include "test_tables.h"

using namespace fw_test;

namespace {

const MethodDescriptor *no_descriptor(guint32) { return nullptr; }

constexpr MethodEntry kNoDescriptor{"echo", no_descriptor};
constexpr MethodEntry kNoLookup{"echo", nullptr};
const MethodEntry *const kNoDescriptorList[] = {&kNoDescriptor, nullptr};
const MethodEntry *const kNoLookupList[] = {&kNoLookup, nullptr};
const ApiVersion *const kEmptyVersions[] = {nullptr};

constexpr char kEcho[] = R"({"method": "echo", "apiVersion": "1.0"})";

void handle(const ApiVersion *const *versions, const MethodEntry *const *methods,
            const char *payload) {
  gchar *out = nullptr;
  zucgi_handle_request(versions, methods, nullptr, "POST", payload, &out);
  g_free(out);
}

class EngineAssertions : public testing::Test {
 protected:
  // Under an emulator the child cannot re-execute the test binary (the
  // kernel cannot run it); a plain fork stays inside the emulator.
  void SetUp() override { GTEST_FLAG_SET(death_test_style, PTS_EMULATED ? "fast" : "threadsafe"); }
};

TEST_F(EngineAssertions, NullVersionList) {
  EXPECT_DEATH(handle(nullptr, kMethods, kEcho), "version_list != NULL");
}

TEST_F(EngineAssertions, EmptyVersionList) {
  EXPECT_DEATH(handle(kEmptyVersions, kMethods, kEcho), "\\*version_list != NULL");
}

TEST_F(EngineAssertions, NullMethodList) {
  EXPECT_DEATH(handle(kVersions, nullptr, kEcho), "method_list != NULL");
}

TEST_F(EngineAssertions, LookupWithoutDescriptor) {
  EXPECT_DEATH(handle(kVersions, kNoDescriptorList, kEcho), "FALSE");
  EXPECT_DEATH(handle(kVersions, kNoDescriptorList, (std::string("[5, ") + kEcho + "]").c_str()),
               "FALSE");
}

TEST_F(EngineAssertions, EntryWithoutLookup) {
  EXPECT_DEATH(handle(kVersions, kNoLookupList, kEcho), "FALSE");
}

// The same tables are fine as long as the broken entry is never reached.
TEST_F(EngineAssertions, UnreachedEntryIsHarmless) {
  auto reply = call("POST", R"({"method": "other", "apiVersion": "1.0"})", kVersions,
                    kNoDescriptorList);
  ASSERT_TRUE(reply);
  EXPECT_NE(reply->find("\"code\": 2004"), std::string::npos) << *reply;
}

}  // namespace

// The API over real HTTP: exact envelopes, batches, echo, access.
#include "e2e_fixture.h"

namespace pts_test {
namespace {

class ApiTest : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    service_.write_ocul("single");
    service_.write_parameters("no");
  }
};

TEST_F(ApiTest, EachMethodAnswersWithItsExactEnvelope) {
  ASSERT_TRUE(start());
  EXPECT_EQ(call(kVersionsRequest), answer(kVersionsAnswer));
  EXPECT_EQ(call(kInfoRequest), answer(view_mode_info("single", kBothModes)));
  EXPECT_EQ(call(set_request("quad")), answer(data_envelope("setViewMode", "{}")));
}

TEST_F(ApiTest, SwitchReachesEveryPlaceAndIsReportedAsCurrent) {
  ASSERT_TRUE(start());
  EXPECT_EQ(call(set_request("quad")), answer(data_envelope("setViewMode", "{}")));
  EXPECT_EQ(service_.ocul_mode(), "quad");
  EXPECT_EQ(service_.i4_enabled(), "yes");
  EXPECT_EQ(service_.stored_mode(), "quad");
  EXPECT_EQ(call(kInfoRequest), answer(view_mode_info("quad", kBothModes)));

  // Applying the mode already in effect is not refused.
  EXPECT_EQ(call(set_request("single")), answer(data_envelope("setViewMode", "{}")));
  EXPECT_EQ(call(set_request("single")), answer(data_envelope("setViewMode", "{}")));
  EXPECT_EQ(service_.ocul_mode(), "single");
  EXPECT_EQ(service_.i4_enabled(), "no");
  EXPECT_EQ(call(kInfoRequest), answer(view_mode_info("single", kBothModes)));
}

TEST_F(ApiTest, BatchAnswersEveryElementInOrder) {
  ASSERT_TRUE(start());
  const std::string batch = "[" + kVersionsRequest + ", " + set_request("quad") + ", " + kInfoRequest +
                            ", " + set_request("triple") + "]";
  EXPECT_EQ(call(batch), answer("[" + kVersionsAnswer + ", " + data_envelope("setViewMode", "{}") + ", " +
                                view_mode_info("quad", kBothModes) + ", " +
                                error_envelope("setViewMode", 1000, kInvalidValue) + "]"));
}

TEST_F(ApiTest, ContextIsEchoedByteForByte) {
  ASSERT_TRUE(start());
  // Conversions that would print garbage or write memory if the answer were
  // ever used as a format.
  const std::string context = "100% %s%n%d %%";
  EXPECT_EQ(call(R"({"method": "getSupportedVersions", "context": ")" + context + "\"}"),
            answer(data_envelope("getSupportedVersions", R"({"apiVersions": ["1.0"]})",
                                 "\"context\": \"" + context + "\", ")));
  EXPECT_TRUE(service_.running());
}

TEST_F(ApiTest, OtherHttpMethodsGetAnErrorInsideA200) {
  ASSERT_TRUE(start());
  HttpAnswer reply = service_.request("GET", "");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, answer(error_envelope("unknown", 2002,
                                               "HTTP request type not supported. Only POST supported.")));
}

TEST_F(ApiTest, ClientsThatHangUpEarlyDoNotStopTheService) {
  ASSERT_TRUE(start());
  for (int i = 0; i < 5; i++) {
    EXPECT_TRUE(service_.post_and_hang_up(kInfoRequest));
    EXPECT_TRUE(service_.post_and_hang_up(set_request(i % 2 ? "single" : "quad")));
  }
  EXPECT_EQ(call(kVersionsRequest), answer(kVersionsAnswer));
  EXPECT_TRUE(service_.running());
}

TEST_F(ApiTest, ViewerIsRefusedEveryMethodAndTheRefusalIsLogged) {
  service_.set_caller_group("viewer");
  ASSERT_TRUE(start());
  for (const auto &[request, method] : {std::pair{kVersionsRequest, "getSupportedVersions"},
                                        std::pair{kInfoRequest, "getViewModeInfo"},
                                        std::pair{set_request("quad"), "setViewMode"}})
    EXPECT_EQ(call(request), answer(error_envelope(method, 2001, "Access forbidden.")));
  EXPECT_EQ(service_.log_count("WARNING: method denied; req. access level: 3"), 3u) << service_.log_text();
  EXPECT_EQ(service_.ocul_mode(), "single");
  EXPECT_EQ(service_.stored_mode(), "single");
}

}  // namespace
}  // namespace pts_test

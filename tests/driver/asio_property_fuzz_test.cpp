// A bounded run of the low-latency channel's property fuzzer: random private
// and standard property requests from 64- and 32-bit client processes to the
// filter and both streaming pins, idle and while streaming, with random and
// stale handles. Deterministic seeds keep a failure reproducible; the
// libFuzzer target (tests/fuzz) runs the same session without a bound.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "platform/kernel/verifier.h"
#include "tests/fuzz/asio_property_session.h"
#include "tests/support/verifier_test.h"

namespace {

class AsioPropertyFuzzTest : public VerifiedTest, public testing::WithParamInterface<uint32_t> {};

TEST_P(AsioPropertyFuzzTest, RefusedRequestsChangeNothingAndNothingLeaks) {
  std::mt19937 rng(GetParam());
  std::vector<uint8_t> bytes(1024 * 1024);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
  asiofuzz::Result result;
  {
    asiofuzz::Session session(/*boundedCost=*/true);
    ASSERT_TRUE(session.Ok());
    asiofuzz::Input input(bytes.data(), bytes.size());
    result = session.Run(input, 1500);
  }  // the device goes and the driver unloads: leaks are bug checks
  platform::VerifyNoLeaks("ASIO property fuzz run");

  std::string changed;
  for (size_t i = 0; i < result.changedByRefusal.size() && i < 20; ++i) changed += result.changedByRefusal[i] + "\n";
  EXPECT_TRUE(result.changedByRefusal.empty())
      << result.changedByRefusal.size() << " refused requests changed what the client sees:\n" << changed;
  // The run reached the paths it is meant to shake.
  EXPECT_GE(result.requests, 1500u);
  EXPECT_GT(result.refused, 0u);
  EXPECT_GT(result.blocksCreated, 0u);
  EXPECT_GT(result.eventsSet, 0u);
  EXPECT_GT(result.runningRequests, 0u);
  EXPECT_GT(result.streamingBlockRequests, 0u);
  RecordProperty("requests", std::to_string(result.requests));
}

INSTANTIATE_TEST_SUITE_P(Seeds, AsioPropertyFuzzTest, testing::Values(0x5A17u, 0xA510u));

}  // namespace

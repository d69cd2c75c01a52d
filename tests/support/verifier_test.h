// GoogleTest fixture for suites that run kernel code on the platform
// stand-ins: every test must leave no pool allocation and no IRP behind,
// must end at PASSIVE_LEVEL, and starts without injected faults, at the
// default clock tick and without injected latency.
#pragma once

#include <gtest/gtest.h>
#include <wdm.h>

#include "platform/kernel/host_timing.h"
#include "platform/kernel/verifier.h"

class VerifiedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ResetFaultInjection();
    platform::ResetHostTiming();
    poolBaseline_ = platform::OutstandingPoolAllocations();
    irpBaseline_ = platform::OutstandingIrps();
  }

  void TearDown() override {
    // Against the baseline so one leaking test does not fail all later ones.
    EXPECT_EQ(platform::OutstandingPoolAllocations(), poolBaseline_)
        << "pool allocations left behind:\n" << platform::DescribeOutstandingPool();
    EXPECT_EQ(platform::OutstandingIrps(), irpBaseline_)
        << "IRPs left behind:\n" << platform::DescribeOutstandingIrps();
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "test ended at a raised IRQL";
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) KeLowerIrql(PASSIVE_LEVEL);
    platform::ResetFaultInjection();
  }

 private:
  size_t poolBaseline_ = 0;
  size_t irpBaseline_ = 0;
};

// Death tests of verifier rules re-run the test binary, which is safe with
// the helper threads the stand-ins start.
class VerifierDeathTest : public VerifiedTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    VerifiedTest::SetUp();
  }
};

// Arbitrary and mutated descriptor sets through the driver's start-up: the
// parse may refuse them, but must never read outside the configuration copy,
// loop, crash or leak. A fixed number of cases from a fixed seed, so every
// run covers the same inputs however busy the machine is.
#include <gtest/gtest.h>

#include <random>

#include "platform/kernel/verifier.h"
#include "tests/driver/driver_fixture.h"

namespace drivertest {
namespace {

class DescriptorFuzzTest : public DriverTest {
 protected:
  void RunOne(const sim::DescriptorSet& set) {
    NTSTATUS status = Parse(set);
    if (NT_SUCCESS(status) && NT_SUCCESS(audio_->Configure())) {
      // Everything the start does with a parsed device: the filter and formats.
      PCFILTER_DESCRIPTOR filter;
      if (NT_SUCCESS(audio_->BuildFilter(&filter))) audio_->FreeFilter(&filter);
      ULONG channels = 0, container = 0, bytes = 0, nominal = 0;
      LONG negative = 0, positive = 0;
      audio_->SelectStreamingFormat(FALSE, 2, 24, 48000, 1, &channels, &container, &bytes);
      audio_->SelectStreamingFormat(TRUE, 2, 16, 44100, 4, &channels, &container, &nominal, &negative, &positive, &bytes);
      audio_->SelectStreamingFormat(FALSE, 0, 0, 0, 1, &channels, &container, &bytes);
      audio_->GetFeedbackBufferBytes();
    }
    audio_.reset();
    device_.reset();
    ASSERT_EQ(platform::OutstandingPoolAllocations(), 0u) << platform::DescribeOutstandingPool();
    ASSERT_EQ(platform::OutstandingIrps(), 0u);
    ++runs_;
    if (NT_SUCCESS(status)) ++accepted_;
  }

  int runs_ = 0;
  int accepted_ = 0;
};

void SetTotalLength(std::vector<uint8_t>& config) {
  if (config.size() >= 4) {
    config[2] = static_cast<uint8_t>(config.size());
    config[3] = static_cast<uint8_t>(config.size() >> 8);
  }
}

std::vector<uint8_t> Mutate(std::vector<uint8_t> config, std::mt19937& random) {
  std::uniform_int_distribution<int> kind(0, 7);
  const int mutations = 1 + static_cast<int>(random() % 4);
  for (int m = 0; m < mutations && !config.empty(); ++m) {
    const size_t at = random() % config.size();
    switch (kind(random)) {
      case 0: config[at] = static_cast<uint8_t>(random()); break;                    // any byte
      case 1: config[at] ^= static_cast<uint8_t>(1u << (random() % 8)); break;       // one bit
      case 2: config[at] = static_cast<uint8_t>(random() % 4); break;               // tiny values (bLength 0..3)
      case 3: config.resize(at + 1); SetTotalLength(config); break;                 // truncate consistently
      case 4: config.resize(at + 1); break;                                          // truncate, keep wTotalLength
      case 5: config.insert(config.begin() + static_cast<long>(at), static_cast<uint8_t>(random())); break;
      case 6: if (config.size() > 3) config[2] = static_cast<uint8_t>(random()); break;  // wTotalLength
      default: config[at] = static_cast<uint8_t>(0xFF); break;
    }
  }
  return config;
}

TEST_F(DescriptorFuzzTest, MutatedAndRandomConfigurationsNeverCrashOrLeak) {
  std::vector<sim::DescriptorSet> seeds;
  for (const std::string& name : sim::ProfileNames()) {
    sim::DeviceProfile profile;
    ASSERT_TRUE(sim::MakeProfile(name, profile));
    seeds.push_back(profile.descriptors);
  }
  std::mt19937 random(20261208);
  constexpr int kCases = 3000;
  for (int iteration = 0; iteration < kCases; ++iteration) {
    sim::DescriptorSet set = seeds[iteration % seeds.size()];
    if (iteration % 10 == 9) {
      // Pure noise behind a plausible configuration header.
      std::vector<uint8_t> noise(9 + random() % 300);
      for (uint8_t& b : noise) b = static_cast<uint8_t>(random());
      noise[0] = 9;
      noise[1] = 2;
      SetTotalLength(noise);
      set.configuration = noise;
    } else {
      set.configuration = Mutate(set.configuration, random);
    }
    RunOne(set);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(runs_, kCases);
  EXPECT_GT(accepted_, 0);  // mutations in unimportant bytes still parse
}

}  // namespace
}  // namespace drivertest

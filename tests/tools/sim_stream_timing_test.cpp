// usbaudio-sim play and record: the machine's timing options (--tick,
// --jitter, --completion) reach the stand-ins for the run and no further,
// bad values are refused clearly, and the report carries the driver's time at
// DISPATCH_LEVEL.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/kernel/host_timing.h"
#include "tests/support/verifier_test.h"
#include "tools/sim/sim_command.h"
#include "tools/sim/stream_options.h"

namespace {

using tools::RunSim;
using tools::SimCommandResult;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class SimStreamTimingTest : public VerifiedTest {};

TEST_F(SimStreamTimingTest, BadTimingValuesExitWithTwoAndSayWhatIsWanted) {
  const std::vector<std::pair<std::vector<std::string>, const char*>> cases = {
      {{"play", "--tone", "1000", "--completion", "fast"}, "--completion takes sync, async or mixed, not 'fast'"},
      {{"play", "--tone", "1000", "--completion"}, "--completion needs a value"},
      {{"record", "--seconds", "1", "out.wav", "--completion", "Sync"}, "--completion takes sync, async or mixed"},
      {{"play", "--tone", "1000", "--tick", "0"}, "--tick needs a clock tick in milliseconds"},
      {{"play", "--tone", "1000", "--tick", "1ms"}, "--tick needs a clock tick in milliseconds"},
      {{"play", "--tone", "1000", "--jitter", "-5"}, "--jitter needs a latency in microseconds"},
      {{"record", "--seconds", "1", "out.wav", "--jitter", "lots"}, "--jitter needs a latency in microseconds"},
  };
  for (const auto& [args, message] : cases) {
    const SimCommandResult r = RunSim(args);
    EXPECT_EQ(r.exitCode, 2) << args.back() << ": " << r.out << r.err;
    EXPECT_TRUE(Has(r.err, message)) << "expected '" << message << "' in: " << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  // Windows' defaults when nothing is asked for; each mode by its name.
  tools::StreamOptions o;
  std::string error;
  ASSERT_TRUE(tools::ParseStreamOptions({"play", "--tone", "1000"}, &o, &error)) << error;
  EXPECT_EQ(o.tickMs, 15.625);
  EXPECT_EQ(o.jitterUs, 0.0);
  EXPECT_EQ(o.completion, sim::CompletionMode::Mixed);
  ASSERT_TRUE(tools::ParseStreamOptions({"play", "--tone", "1000", "--completion", "sync"}, &o, &error)) << error;
  EXPECT_EQ(o.completion, sim::CompletionMode::Synchronous);
  ASSERT_TRUE(tools::ParseStreamOptions({"record", "--seconds", "1", "x.wav", "--completion", "async"}, &o, &error))
      << error;
  EXPECT_EQ(o.completion, sim::CompletionMode::Asynchronous);
}

// The tick and the latency hold while the driver streams (seen from the
// progress callback, which runs during the run) and are undone after it; a
// run without --tick gets Windows' 15.625 ms, not whatever the process had.
TEST_F(SimStreamTimingTest, TheTickAndJitterHoldForTheRunOnly) {
  platform::SetClockTick(std::chrono::milliseconds(3));
  struct Seen {
    std::chrono::nanoseconds tick{0};
    std::chrono::microseconds latency{0};
    int calls = 0;
  };
  auto run = [](const std::vector<std::string>& args, Seen* seen) {
    return RunSim(args, [seen](const std::string&) {
      seen->tick = platform::ClockTick();
      seen->latency = platform::InjectedLatency();
      ++seen->calls;
    });
  };
  Seen fine;
  SimCommandResult r = run({"play", "--tone", "1000", "--seconds", "0.3", "--tick", "1", "--jitter", "200",
                            "--completion", "async", "--json"},
                           &fine);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  ASSERT_GT(fine.calls, 0);
  EXPECT_EQ(fine.tick, std::chrono::milliseconds(1));
  EXPECT_EQ(fine.latency, std::chrono::microseconds(200));
  EXPECT_TRUE(Has(r.out, "\"tick_us\":1000,\"jitter_us\":200,\"completion\":\"async\",")) << r.out;
  EXPECT_EQ(platform::ClockTick(), std::chrono::milliseconds(3));
  EXPECT_EQ(platform::InjectedLatency(), std::chrono::microseconds(0));

  Seen defaults;
  r = run({"record", "--seconds", "0.3", ::testing::TempDir() + "sim_timing_record.wav", "--json"}, &defaults);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  ASSERT_GT(defaults.calls, 0);
  EXPECT_EQ(defaults.tick, std::chrono::nanoseconds(15625000));
  EXPECT_TRUE(Has(r.out, "\"tick_us\":15625,\"jitter_us\":0,\"completion\":\"mixed\",")) << r.out;
  EXPECT_EQ(platform::ClockTick(), std::chrono::milliseconds(3));
  std::remove((::testing::TempDir() + "sim_timing_record.wav").c_str());
}

uint64_t JsonNumber(const std::string& json, const std::string& key) {
  const size_t at = json.find("\"" + key + "\":");
  return at == std::string::npos ? UINT64_MAX : std::stoull(json.substr(at + key.size() + 3));
}

// The report names the longest stretch at DISPATCH_LEVEL, its percentile and
// its site, in the JSON and in words; the percentile cannot exceed the longest.
TEST_F(SimStreamTimingTest, TheReportCarriesTheDriversTimeAtDispatchLevel) {
  SimCommandResult r = RunSim({"play", "--tone", "1000", "--seconds", "0.3", "--json"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  const uint64_t longest = JsonNumber(r.out, "max_dispatch_us");
  const uint64_t p999 = JsonNumber(r.out, "p999_dispatch_us");
  ASSERT_NE(longest, UINT64_MAX) << r.out;
  ASSERT_NE(p999, UINT64_MAX) << r.out;
  EXPECT_LE(p999, longest) << r.out;
  EXPECT_TRUE(Has(r.out, "\"max_dispatch_site\":")) << r.out;
  if (longest != 0) {
    EXPECT_FALSE(Has(r.out, "\"max_dispatch_site\":null")) << r.out;
  }
  r = RunSim({"play", "--tone", "1000", "--seconds", "0.3"});
  EXPECT_TRUE(Has(r.out, "longest stretch at DISPATCH_LEVEL: ")) << r.out;
  EXPECT_TRUE(Has(r.out, "timing: clock tick 15.625 ms, injected latency up to 0 us, mixed completions")) << r.out;
}

}  // namespace

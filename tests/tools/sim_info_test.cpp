// usbaudio-sim info: the driver loaded on the simulated bus, the "Wave"
// filter read through kernel-streaming requests, and node controls set
// through them reaching the device.
#include <gtest/gtest.h>

#include <string>

#include "sim/profiles/device_profile.h"
#include "tests/support/verifier_test.h"
#include "tools/inspect/inspect_command.h"
#include "tools/sim/sim_command.h"

namespace {

using tools::RunSim;

class SimInfoTest : public VerifiedTest {};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The connection list of a JSON document, as printed by either tool.
std::string Connections(const std::string& json) {
  const size_t at = json.find("\"connections\":[");
  if (at == std::string::npos) return "";
  return json.substr(at, json.find(']', at) - at + 1);
}

TEST_F(SimInfoTest, EveryProfileLoadsAndShowsTheFilterTheDriverBuilt) {
  for (const std::string& name : sim::ProfileNames()) {
    tools::SimCommandResult sim = RunSim({"info", "--profile", name, "--json"});
    ASSERT_EQ(sim.exitCode, 0) << name << ": " << sim.out << sim.err;
    EXPECT_TRUE(Has(sim.out, "\"status\":\"STATUS_SUCCESS\"")) << name;
    EXPECT_TRUE(Has(sim.out, "\\\\Wave\"")) << name;  // the device path ends in the reference string
    // What Windows sees through KS is what the driver described.
    tools::CommandResult inspect = tools::RunInspect({"--profile", name, "--json"});
    ASSERT_EQ(inspect.exitCode, 0);
    EXPECT_EQ(Connections(sim.out), Connections(inspect.out)) << name;
    EXPECT_FALSE(Connections(sim.out).empty()) << name;
  }
}

TEST_F(SimInfoTest, StreamingPinsIntersectTheCommonFormat) {
  tools::SimCommandResult result = RunSim({"info", "--profile", "default"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_TRUE(Has(result.out, "pin 0: data flow in, communication sink, category USB streaming, instances 0 of 1"));
  EXPECT_TRUE(Has(result.out, "intersection 2 ch / 24 bit / 48000 Hz: 2 ch, 48000 Hz, 24 bits"));
  EXPECT_TRUE(Has(result.out, "pin 1: data flow out, communication none, category SPEAKER"));
  EXPECT_TRUE(Has(result.out, "node 3: VOLUME"));
}

TEST_F(SimInfoTest, VolumeAndMuteReachTheDevice) {
  tools::SimCommandResult result = RunSim({"info", "--volume", "-6.5", "--mute", "on"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_TRUE(Has(result.out, "volume (node 3, channel 0): -6.5000 dB"));
  EXPECT_TRUE(Has(result.out, "volume (node 3, channel 1): -6.5000 dB"));
  EXPECT_TRUE(Has(result.out, "device feature unit 2 channel 1: volume -6.5000 dB"));
  EXPECT_TRUE(Has(result.out, "device feature unit 2 channel 2: volume -6.5000 dB"));
  EXPECT_TRUE(Has(result.out, "device feature unit 2 channel 0: volume 0.0000 dB, muted"));

  // -10 dB is an exact step: the device gets -2560 (1/256 dB) and reads back the same.
  tools::SimCommandResult exact = RunSim({"info", "--volume", "-10", "--json"});
  EXPECT_TRUE(Has(exact.out, "{\"node\":3,\"property\":\"volume\",\"channel\":0,\"value\":-655360,\"status\":\"STATUS_SUCCESS\"}"))
      << exact.out;
}

TEST_F(SimInfoTest, BadArgumentsAndDevicesTheDriverRefuses) {
  EXPECT_EQ(RunSim({}).exitCode, 2);
  EXPECT_EQ(RunSim({"info", "--profile", "nonesuch"}).exitCode, 2);
  EXPECT_EQ(RunSim({"info", "--volume", "loud"}).exitCode, 2);
  EXPECT_EQ(RunSim({"info", "--mute", "maybe"}).exitCode, 2);
  EXPECT_EQ(RunSim({"info", "/nonexistent"}).exitCode, 2);
}

}  // namespace

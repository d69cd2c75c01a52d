// usbaudio-inspect end to end: arguments, exit statuses, and the model it
// prints for the built-in devices and for descriptor files.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sim/profiles/device_profile.h"
#include "tests/support/verifier_test.h"
#include "tools/inspect/inspect_command.h"

namespace {

using tools::CommandResult;
using tools::RunInspect;

class InspectCommandTest : public VerifiedTest {
 protected:
  std::string WriteFile(const std::vector<uint8_t>& bytes) {
    std::string path = ::testing::TempDir() + "inspect_" + std::to_string(files_++) + ".bin";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    paths_.push_back(path);
    return path;
  }
  void TearDown() override {
    for (const std::string& path : paths_) std::remove(path.c_str());
    VerifiedTest::TearDown();
  }
  int files_ = 0;
  std::vector<std::string> paths_;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(InspectCommandTest, EveryProfileIsAcceptedAndDescribed) {
  for (const std::string& name : sim::ProfileNames()) {
    CommandResult result = RunInspect({"--profile", name, "--json"});
    EXPECT_EQ(result.exitCode, tools::kExitAccepted) << name << ": " << result.out << result.err;
    EXPECT_TRUE(Has(result.out, "\"status\":\"STATUS_SUCCESS\",\"status_code\":\"0x00000000\"")) << name;
    EXPECT_TRUE(Has(result.out, "\"render_interface\":1")) << name;
  }
}

TEST_F(InspectCommandTest, DefaultDeviceModelInJson) {
  CommandResult result = RunInspect({"--profile", "default", "--json"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const std::string& json = result.out;
  EXPECT_TRUE(Has(json, "\"device\":{\"vendor_id\":\"0x1FA7\",\"product_id\":\"0x4D02\",\"high_speed\":true,"
                        "\"uac_version\":\"2.0\",\"dsd_capable\":false}"));
  EXPECT_TRUE(Has(json, "{\"id\":3,\"kind\":\"OutputTerminal\",\"name\":\"OT(3)\",\"terminal_type\":769,"
                        "\"source_ids\":[2],\"clock_id\":16}"));
  EXPECT_TRUE(Has(json, "{\"id\":16,\"kind\":\"ClockSource\",\"name\":\"ClockSource(16)\",\"terminal_type\":null,"
                        "\"source_ids\":[],\"clock_id\":null}"));
  EXPECT_TRUE(Has(json, "\"interface_number\":2,\"is_input\":true,\"terminal_id\":5"));
  EXPECT_TRUE(Has(json, "\"feedback_endpoint\":{\"address\":129,\"attributes\":17,\"max_packet_size\":4,\"interval\":4}"));
  EXPECT_TRUE(Has(json, "\"capture_interface\":2"));
  EXPECT_TRUE(Has(json, "\"data_ranges\":[{\"interface_number\":1,\"alternate\":1,\"sub_format\":\"PCM\""));
  EXPECT_TRUE(Has(RunInspect({"--profile", "dsd", "--json"}).out, "\"dsd_capable\":true"));
  EXPECT_TRUE(Has(RunInspect({"--profile", "uac1-fs", "--json"}).out, "\"high_speed\":false,\"uac_version\":\"1.0\""));
}

TEST_F(InspectCommandTest, PlaybackOnlyFilterIsTheTypicalTopology) {
  CommandResult result = RunInspect({"--profile", "uac2-playback-only", "--json"});
  ASSERT_EQ(result.exitCode, 0);
  EXPECT_TRUE(Has(result.out,
                  "\"connections\":[{\"from_node\":4294967295,\"from_pin\":0,\"to_node\":2,\"to_pin\":1},"
                  "{\"from_node\":2,\"from_pin\":0,\"to_node\":1,\"to_pin\":1},"
                  "{\"from_node\":1,\"from_pin\":0,\"to_node\":0,\"to_pin\":1},"
                  "{\"from_node\":0,\"from_pin\":0,\"to_node\":4294967295,\"to_pin\":1}]"))
      << result.out;
  CommandResult dot = RunInspect({"--profile", "uac2-playback-only", "--dot"});
  EXPECT_TRUE(Has(dot.out, "digraph filter {"));
  EXPECT_TRUE(Has(dot.out, "pin0 -> node2;"));
  EXPECT_TRUE(Has(dot.out, "node0 -> pin1;"));
}

TEST_F(InspectCommandTest, SelectionShowsThePacketParameters) {
  CommandResult result = RunInspect({"--profile", "default", "--select", "2/24/48000", "--json"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  // 24 of 32 bits at 48 kHz, high speed, interval 1: 8-byte frames, 6 frames per microframe.
  EXPECT_TRUE(Has(result.out, "\"selection\":{\"direction\":\"render\",\"channels\":2,\"bits\":24,\"rate\":48000,"
                              "\"status\":\"STATUS_SUCCESS\",\"status_code\":\"0x00000000\",\"alternate\":2,"
                              "\"chosen_channels\":2,\"container_bits\":32"))
      << result.out;
  EXPECT_TRUE(Has(result.out, "\"bytes_per_frame\":8,\"nominal_packet_bytes\":48,\"min_packet_bytes\":40,"
                              "\"max_packet_bytes\":56,\"whole_frames\":true"));
  EXPECT_TRUE(Has(result.out, "\"nominal_feedback\":393216,\"feedback_period_ms\":16,\"feedback_buffer_bytes\":64"));

  CommandResult cd = RunInspect({"--profile", "default", "--select", "2/16/44100"});
  ASSERT_EQ(cd.exitCode, 0);
  EXPECT_TRUE(Has(cd.out, "80 packets: 24 24 20 24 20 24"));  // 6 6 5 6 5 6 frames of 4 bytes
  CommandResult fs = RunInspect({"--profile", "uac1-fs", "--select", "2/16/44100"});
  ASSERT_EQ(fs.exitCode, 0);
  EXPECT_TRUE(Has(fs.out, "10 packets: 180 176 176 176 176 176 176 176 176 176"));  // 45 then nine 44s
  CommandResult refused = RunInspect({"--profile", "default", "--select", "2/24/12345", "--json"});
  EXPECT_EQ(refused.exitCode, 0);  // the device is fine; the format is not
  EXPECT_TRUE(Has(refused.out, "\"status\":\"STATUS_NOT_SUPPORTED\""));
}

TEST_F(InspectCommandTest, FilesAreReadInBothFormatsAndBadOnesRefusedClearly) {
  sim::DeviceProfile profile;
  ASSERT_TRUE(sim::MakeProfile("uac2-playback-only", profile));
  CommandResult raw = RunInspect({WriteFile(profile.descriptors.configuration), "--json"});
  EXPECT_EQ(raw.exitCode, 0) << raw.out << raw.err;
  EXPECT_TRUE(Has(raw.out, "\"vendor_id\":\"0x0000\""));

  std::vector<uint8_t> sysfs = profile.descriptors.device;
  sysfs.insert(sysfs.end(), profile.descriptors.configuration.begin(), profile.descriptors.configuration.end());
  CommandResult fromSysfs = RunInspect({WriteFile(sysfs), "--full-speed", "--json"});
  EXPECT_EQ(fromSysfs.exitCode, 0) << fromSysfs.err;
  EXPECT_TRUE(Has(fromSysfs.out, "\"vendor_id\":\"0x1FA7\"")) << fromSysfs.out;
  EXPECT_TRUE(Has(fromSysfs.out, "\"high_speed\":false"));

  // Truncated: the device claims more than it has; the driver refuses it and says why.
  std::vector<uint8_t> truncated(profile.descriptors.configuration.begin(), profile.descriptors.configuration.begin() + 40);
  CommandResult cut = RunInspect({WriteFile(truncated)});
  EXPECT_EQ(cut.exitCode, tools::kExitRefused);
  EXPECT_TRUE(Has(cut.out, "STATUS_NOT_SUPPORTED (0xC00000BB) in Init: configuration descriptor returned")) << cut.out;

  CommandResult empty = RunInspect({WriteFile({})});
  EXPECT_EQ(empty.exitCode, tools::kExitBadInput);
  EXPECT_FALSE(empty.err.empty());
  CommandResult missing = RunInspect({"/nonexistent/descriptors"});
  EXPECT_EQ(missing.exitCode, tools::kExitBadInput);
  CommandResult garbage = RunInspect({WriteFile({0x42, 0x42, 0x42})});
  EXPECT_EQ(garbage.exitCode, tools::kExitBadInput);
}

TEST_F(InspectCommandTest, ArgumentErrors) {
  EXPECT_EQ(RunInspect({}).exitCode, tools::kExitBadInput);
  EXPECT_EQ(RunInspect({"--profile"}).exitCode, tools::kExitBadInput);
  EXPECT_EQ(RunInspect({"--profile", "nonesuch"}).exitCode, tools::kExitBadInput);
  EXPECT_TRUE(Has(RunInspect({"--profile", "nonesuch"}).err, "profiles: default"));
  EXPECT_EQ(RunInspect({"--profile", "default", "--select", "2/24"}).exitCode, tools::kExitBadInput);
  EXPECT_EQ(RunInspect({"--profile", "default", "--capture"}).exitCode, tools::kExitBadInput);
  EXPECT_EQ(RunInspect({"--profile", "default", "--json", "--dot"}).exitCode, tools::kExitBadInput);
  EXPECT_EQ(RunInspect({"--profile", "default", "--bogus"}).exitCode, tools::kExitBadInput);
  EXPECT_EQ(RunInspect({"--help"}).exitCode, 0);
}

}  // namespace

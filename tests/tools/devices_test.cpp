// usbaudio-sim devices: several devices on one machine, the driver loaded
// for each, and the device list CDevInfo builds from SetupAPI in a client
// process: only the supported device's filters, in attach order, each with
// its own instance id and range summaries; the filter of a device of
// another id is never opened; the ASIO driver's selection at init.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/verifier_test.h"
#include "tools/sim/devices_command.h"
#include "tools/sim/sim_command.h"

namespace {

using tools::DevicesOptions;
using tools::DevicesReport;
using tools::RangeSummaryView;

class DevicesCommandTest : public VerifiedTest {};

DevicesReport RunDevices(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"devices"};
  all.insert(all.end(), args.begin(), args.end());
  DevicesOptions options;
  std::string error;
  EXPECT_TRUE(tools::ParseDevicesOptions(all, &options, &error)) << error;
  return tools::RunDevicesReport(options);
}

void ExpectRange(const RangeSummaryView& r, uint32_t channels, uint32_t minBits, uint32_t maxBits, uint32_t minRate,
                 uint32_t maxRate, const char* what) {
  EXPECT_EQ(r.channels, channels) << what;
  EXPECT_EQ(r.minBits, minBits) << what;
  EXPECT_EQ(r.maxBits, maxBits) << what;
  EXPECT_EQ(r.minRate, minRate) << what;
  EXPECT_EQ(r.maxRate, maxRate) << what;
}

size_t Count(const std::vector<std::string>& lines, const std::string& line) {
  size_t n = 0;
  for (const std::string& l : lines) n += l == line;
  return n;
}

TEST_F(DevicesCommandTest, ListsOnlyTheSupportedDevicesInAttachOrderAndNeverOpensTheOther) {
  const DevicesReport r = RunDevices({"--profile", "default", "--profile", "quirk-20b1-0002", "--profile", "default"});
  ASSERT_EQ(r.exitCode, 0) << r.error;
  ASSERT_EQ(r.attached.size(), 3u);
  for (const auto& a : r.attached) EXPECT_EQ(a.startStatus, 0u) << a.source << ": the driver serves every device";
  // The bus gives each device its own instance id.
  EXPECT_NE(r.attached[0].instancePath, r.attached[1].instancePath);
  EXPECT_NE(r.attached[0].instancePath, r.attached[2].instancePath);
  EXPECT_NE(r.attached[1].instancePath, r.attached[2].instancePath);

  ASSERT_EQ(r.entries.size(), 2u);
  EXPECT_EQ(r.entries[0].instanceId, r.attached[0].instancePath);
  EXPECT_EQ(r.entries[1].instanceId, r.attached[2].instancePath);
  for (const auto& e : r.entries) {
    EXPECT_EQ(e.deviceName, "Velmora USB DAC") << "the INF's description, as SetupAPI reports it";
    EXPECT_FALSE(e.selected) << "nothing selected without --select-device";
    // The default device: render up to 32 bit, capture up to 24, 44.1 to 384 kHz.
    ExpectRange(e.render, 2, 16, 32, 44100, 384000, "render");
    ExpectRange(e.capture, 2, 16, 24, 44100, 384000, "capture");
  }
  EXPECT_EQ(r.attached[0].filterOpens, 1u);
  EXPECT_EQ(r.attached[1].filterOpens, 0u) << "the other device's filter was opened";
  EXPECT_EQ(r.attached[2].filterOpens, 1u);

  // The control panel's build writes every line: one dump per entry.
  EXPECT_EQ(Count(r.debugMessages, "CDevInfo::EnumFilters() Return. [TRUE]\n"), 1u);
  EXPECT_EQ(Count(r.debugMessages, "<makeActiveDeviceList dump>\n"), 2u);
  EXPECT_EQ(Count(r.debugMessages, "hwid: " + r.attached[0].instancePath + "\n"), 1u);
  EXPECT_EQ(Count(r.debugMessages, "hwid: " + r.attached[2].instancePath + "\n"), 1u);
  EXPECT_EQ(Count(r.debugMessages, "renderRange: 2 ch / 16 - 32 bit / 44100 - 384000 Hz\n"), 2u);
  EXPECT_EQ(Count(r.debugMessages, "CurrentSelect: FALSE\n"), 2u);
}

TEST_F(DevicesCommandTest, JsonOfTheDoneWhenRun) {
  const tools::SimCommandResult sim = tools::RunSim(
      {"devices", "--profile", "default", "--profile", "quirk-20b1-0002", "--profile", "default", "--json"});
  ASSERT_EQ(sim.exitCode, 0) << sim.err;
  const std::string& j = sim.out;
  const std::string entry =
      "{\"device_name\":\"Velmora USB DAC\",\"instance_id\":\"USB\\\\VID_1FA7&PID_4D02&MI_00\\\\";
  const size_t first = j.find(entry);
  ASSERT_NE(first, std::string::npos) << j;
  const size_t second = j.find(entry, first + 1);
  ASSERT_NE(second, std::string::npos) << j;
  EXPECT_EQ(j.find(entry, second + 1), std::string::npos) << "more than two entries";
  EXPECT_EQ(j.find("\"instance_id\":\"USB\\\\VID_20B1"), std::string::npos) << "the other device is listed";
  EXPECT_NE(j.find("\"selected\":false,\"render_range\":{\"channels\":2,\"min_bits\":16,\"max_bits\":32,"
                   "\"min_rate\":44100,\"max_rate\":384000},\"capture_range\":{\"channels\":2,\"min_bits\":16,"
                   "\"max_bits\":24,\"min_rate\":44100,\"max_rate\":384000}}"),
            std::string::npos)
      << j;
}

TEST_F(DevicesCommandTest, SelectionAsTheAsioDriverMakesItAtInit) {
  const DevicesReport plain = RunDevices({"--profile", "default", "--profile", "default"});
  ASSERT_EQ(plain.entries.size(), 2u);
  // The stored id in another letter case selects that device, only it.
  std::string id = plain.entries[1].instanceId;
  for (char& c : id) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  DevicesReport r = RunDevices({"--profile", "default", "--profile", "default", "--select-device", id});
  ASSERT_EQ(r.entries.size(), 2u);
  EXPECT_TRUE(r.selectedById);
  EXPECT_FALSE(r.entries[0].selected);
  EXPECT_TRUE(r.entries[1].selected);
  // An id nobody has: the first entry instead.
  r = RunDevices({"--profile", "default", "--profile", "default", "--select-device", "USB\\VID_1FA7&PID_4D02&MI_00\\gone"});
  ASSERT_EQ(r.entries.size(), 2u);
  EXPECT_FALSE(r.selectedById);
  EXPECT_TRUE(r.selectedByIndex);
  EXPECT_TRUE(r.entries[0].selected);
  EXPECT_FALSE(r.entries[1].selected);
}

TEST_F(DevicesCommandTest, OnlyAnotherDeviceListsNothingAndOpensNothing) {
  const DevicesReport r = RunDevices({"--profile", "quirk-20b1-0002", "--select-device", "x"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.entries.empty());
  ASSERT_EQ(r.attached.size(), 1u);
  EXPECT_EQ(r.attached[0].startStatus, 0u);
  EXPECT_EQ(r.attached[0].filterOpens, 0u);
  EXPECT_EQ(Count(r.debugMessages, "CDevInfo::EnumFilters() Return. [FALSE]\n"), 1u);
  EXPECT_EQ(Count(r.debugMessages, ".\\cdevinfo(424):error\n"), 1u) << "selection on an empty list";
  EXPECT_FALSE(r.selectedById);
  EXPECT_FALSE(r.selectedByIndex);
}

TEST_F(DevicesCommandTest, BadArguments) {
  EXPECT_EQ(tools::RunSim({"devices", "--profile", "no-such-profile"}).exitCode, 2);
  EXPECT_EQ(tools::RunSim({"devices", "--profile"}).exitCode, 2);
  EXPECT_EQ(tools::RunSim({"devices", "--bogus"}).exitCode, 2);
  EXPECT_EQ(tools::RunSim({"devices", "/no/such/file"}).exitCode, 2);
}

}  // namespace

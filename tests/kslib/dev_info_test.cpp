// The device list against the driver on the simulated machine: which audio
// interfaces become entries (supported hardware id, sink pins, instance id),
// their range summaries, SetupAPI order, selection by instance id, the
// debugger lines of both builds, and allocation failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "kslib/dev_info.h"
#include "kslib/ks_audio_pin.h"
#include "kslib/ks_ids.h"
#include "platform/win32/debug_output.h"
#include "tests/kslib/kslib_fixture.h"
#include "tests/kslib/request_recorder.h"

namespace {

using namespace kslibtest;

void ExpectRange(const AudioRangeSummary& r, ULONG channels, ULONG minBits, ULONG maxBits, ULONG minRate,
                 ULONG maxRate, const char* what) {
  EXPECT_EQ(r.channels, channels) << what;
  EXPECT_EQ(r.minBits, minBits) << what;
  EXPECT_EQ(r.maxBits, maxBits) << what;
  EXPECT_EQ(r.minRate, minRate) << what;
  EXPECT_EQ(r.maxRate, maxRate) << what;
}

std::u16string InstancePath(const platform::PhysicalDeviceInfo& info) { return platform::DeviceInstancePath(info); }

class DevInfoTest : public MachineTest {};

TEST_F(DevInfoTest, TheDefaultDeviceIsOneEntryWithItsRenderAndCaptureRanges) {
  sim::SimulatedMachine* machine = Plug("default");
  const platform::PhysicalDeviceInfo device = DeviceInfo(machine);
  CDevInfo info;
  EXPECT_TRUE(info.makeActiveDeviceList());
  ASSERT_EQ(info.EntryCount(), 1u);
  ASSERT_EQ(info.Filters().Count(), 1u);
  const DeviceListEntry* entry = info.getDeviceEntry(0);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(Text(entry->deviceName), device.description);
  EXPECT_EQ(Text(entry->instanceId), InstancePath(device));
  EXPECT_EQ(entry->selected, 0);
  ExpectRange(entry->renderRange, 2, 16, 32, 44100, 384000, "render");
  ExpectRange(entry->captureRange, 2, 16, 24, 44100, 384000, "capture");
  CKsAudFilter2* filter = info.Filters().First();
  EXPECT_EQ(Text(filter->DevicePath()), UserPath(machine));
  EXPECT_EQ(Text(filter->FriendlyName()), device.description);
  EXPECT_TRUE(filter->IsOpen());

  // Nothing is selected until asked.
  EXPECT_EQ(info.getCurrentSelected(), nullptr);
  LONG index = 77;
  EXPECT_FALSE(info.getCurrentSelectedIndex(&index));
  EXPECT_EQ(index, 77);
  WCHAR copy[128];
  copy[0] = L'?';
  info.getCurrentSelectedInstanceId(copy, 128);
  EXPECT_EQ(copy[0], L'?');

  ASSERT_TRUE(info.setCurrentSelectedByIndex(0));
  EXPECT_EQ(info.getCurrentSelected(), filter);
  ASSERT_TRUE(info.getCurrentSelectedIndex(&index));
  EXPECT_EQ(index, 0);
  EXPECT_EQ(info.getDeviceEntry(0)->selected, 1);
  info.getCurrentSelectedInstanceId(copy, 128);
  EXPECT_EQ(Text(copy), InstancePath(device));
  EXPECT_EQ(info.getDeviceEntry(-1), nullptr);
  EXPECT_EQ(info.getDeviceEntry(1), nullptr);

  // The selected filter streams: its render pin opens for a format it supports.
  const WAVEFORMATEX format = Pcm(2, 24, 48000);
  CKsAudPin* pin = info.getCurrentSelected()->OpenRenderPinFor(&format);
  ASSERT_NE(pin, nullptr);
  EXPECT_EQ(pin->ChangeState(KSSTATE_RUN), S_OK);

  // A rebuild leaves nothing selected.
  EXPECT_TRUE(info.makeActiveDeviceList());
  EXPECT_EQ(info.getCurrentSelected(), nullptr);
  EXPECT_EQ(info.EntryCount(), 1u);
  EXPECT_FALSE(info.getCurrentSelectedIndex(&index));
}

// A render-only variant reporting the supported device's hardware ids.
void AsSupportedDevice(platform::PhysicalDeviceInfo& info) {
  info.hardwareIds = {u"USB\\VID_1FA7&PID_4D02&REV_0100&MI_00", u"USB\\VID_1FA7&PID_4D02&MI_00"};
}

TEST_F(DevInfoTest, APlaybackOnlyDeviceHasACaptureRangeOfFiveZeros) {
  Plug("uac2-playback-only", AsSupportedDevice);
  CDevInfo info;
  EXPECT_TRUE(info.makeActiveDeviceList());
  ASSERT_EQ(info.EntryCount(), 1u);
  const DeviceListEntry* entry = info.getDeviceEntry(0);
  EXPECT_GT(entry->renderRange.channels, 0u);
  EXPECT_GT(entry->renderRange.maxRate, 0u);
  ExpectRange(entry->captureRange, 0, 0, 0, 0, 0, "capture");
  EXPECT_TRUE(info.Filters().First()->CaptureSinkPins().Empty());
}

TEST_F(DevInfoTest, WithoutAnyAudioInterfaceTheListIsEmptyAndNothingCanBeSelected) {
  platform::win32::DebugOutputCapture debugger(process_);
  CDevInfo info;
  EXPECT_FALSE(info.EnumFilters());
  EXPECT_TRUE(info.makeActiveDeviceList());
  EXPECT_EQ(info.EntryCount(), 0u);
  LONG index = 0;
  EXPECT_FALSE(info.getCurrentSelectedIndex(&index));
  EXPECT_EQ(info.getCurrentSelected(), nullptr);
  EXPECT_FALSE(info.setCurrentSelectedByIndex(0));
  EXPECT_FALSE(info.setCurrentSelectedByDeviceInstanceId(L"USB\\VID_1FA7&PID_4D02&MI_00\\1"));
  EXPECT_FALSE(info.setCurrentSelectedByListedInstanceId(L"USB\\VID_1FA7&PID_4D02&MI_00\\1"));
  // The ASIO driver's build writes the error line of a selection on an empty list only.
  EXPECT_EQ(debugger.Messages(), std::vector<std::string>{".\\cdevinfo(424):error\n"});
}

TEST_F(DevInfoTest, AnotherDevicesInterfaceIsNeverOpened) {
  sim::SimulatedMachine* other = Plug("quirk-20b1-0002");
  const std::u16string otherPath = UserPath(other);
  ASSERT_FALSE(otherPath.empty()) << "the driver registers the other device's filter too";
  RequestRecorder otherRequests;
  FilterReplies(otherPath, otherRequests.Filter());
  CDevInfo info;
  EXPECT_FALSE(info.EnumFilters());
  PDEVICE_OBJECT ours = PlugAnother("default", [](platform::PhysicalDeviceInfo& info) { info.instanceId = u"9"; });
  EXPECT_TRUE(info.makeActiveDeviceList());
  ASSERT_EQ(info.EntryCount(), 1u);
  EXPECT_EQ(Text(info.getDeviceEntry(0)->instanceId), InstancePath(DeviceInfoOf(ours)));
  EXPECT_TRUE(otherRequests.Requests().empty());
}

TEST_F(DevInfoTest, HardwareIdsMatchWithoutRegardToLetterCase) {
  sim::SimulatedMachine* machine = Plug("default");
  ChangeDeviceInfo(machine, [](platform::PhysicalDeviceInfo& info) {
    info.hardwareIds = {u"usb\\vid_1fa7&pid_4d02&rev_0100&mi_00", u"usb\\vid_1fa7&pid_4d02&mi_00"};
  });
  CDevInfo info;
  EXPECT_TRUE(info.EnumFilters());
  // Only the first audio interface of the device is supported.
  ChangeDeviceInfo(machine, [](platform::PhysicalDeviceInfo& info) {
    info.hardwareIds = {u"USB\\VID_1FA7&PID_4D02&MI_01", u"USB\\VID_1FA7&PID_4D02", u"USB\\VID_1FA7&PID_4D02&MI_000"};
  });
  EXPECT_FALSE(info.EnumFilters());
  // The id may be any string of the list.
  ChangeDeviceInfo(machine, [](platform::PhysicalDeviceInfo& info) {
    info.hardwareIds = {u"USB\\VID_1FA7&PID_4D02&REV_0100&MI_00", u"x", u"USB\\VID_1FA7&PID_4D02&MI_00"};
  });
  EXPECT_TRUE(info.EnumFilters());
}

TEST_F(DevInfoTest, TwoDevicesAreListedInSetupApiOrderAndOnlyOneIsSelected) {
  sim::SimulatedMachine* first = Plug("default");
  PDEVICE_OBJECT second = PlugAnother("uac2-playback-only", [](platform::PhysicalDeviceInfo& info) {
    info.instanceId = u"6&1a2b3c4d&0&0001";
    AsSupportedDevice(info);
  });
  const std::u16string firstId = InstancePath(DeviceInfo(first));
  const std::u16string secondId = InstancePath(DeviceInfoOf(second));
  ASSERT_NE(firstId, secondId);
  CDevInfo info;
  EXPECT_TRUE(info.makeActiveDeviceList());
  ASSERT_EQ(info.EntryCount(), 2u);
  EXPECT_EQ(Text(info.getDeviceEntry(0)->instanceId), firstId);
  EXPECT_EQ(Text(info.getDeviceEntry(1)->instanceId), secondId);
  EXPECT_EQ(Text(info.Filters().At(0)->InstanceId()), firstId);
  EXPECT_EQ(Text(info.Filters().At(1)->InstanceId()), secondId);
  EXPECT_GT(info.getDeviceEntry(0)->captureRange.channels, 0u);
  EXPECT_EQ(info.getDeviceEntry(1)->captureRange.channels, 0u);

  std::vector<WCHAR> id = Wide(secondId);
  ASSERT_TRUE(info.setCurrentSelectedByListedInstanceId(id.data()));
  EXPECT_EQ(info.getCurrentSelected(), info.Filters().At(1));
  EXPECT_EQ(info.getDeviceEntry(0)->selected, 0);
  EXPECT_EQ(info.getDeviceEntry(1)->selected, 1);
  ASSERT_TRUE(info.setCurrentSelectedByIndex(0));
  EXPECT_EQ(info.getCurrentSelected(), info.Filters().At(0));
  EXPECT_EQ(info.getDeviceEntry(0)->selected, 1);
  EXPECT_EQ(info.getDeviceEntry(1)->selected, 0);
}

TEST_F(DevInfoTest, FiltersWithoutSinkPinsOrWithAnOverlongInstanceIdAreDropped) {
  // One device's pins all report source communication: it loads but has no sink pin.
  sim::SimulatedMachine* sources = Plug("default");
  RequestRecorder rewrite;
  rewrite.rewrite = [](platform::win32::KsPropertyReply& reply, const RecordedRequest& r) {
    if (!r.isPin && r.id == kslib::kPinCommunication && reply.outputLength == 4) {
      const ULONG source = kslib::kCommunicationSource;
      std::memcpy(reply.output, &source, 4);
    }
  };
  FilterReplies(UserPath(sources), rewrite.Filter());
  // Another one's device path does not fit the 528-byte detail buffer: skipped without a line.
  PlugAnother("default", [](platform::PhysicalDeviceInfo& info) { info.instanceId = std::u16string(200, u'6'); });
  // Another one's instance id (209 characters) does not fit the 201-character field.
  PlugAnother("default", [](platform::PhysicalDeviceInfo& info) { info.instanceId = std::u16string(180, u'7'); });
  PDEVICE_OBJECT good = PlugAnother("default", [](platform::PhysicalDeviceInfo& info) { info.instanceId = u"8"; });

  platform::win32::DebugOutputCapture debugger(process_);
  CDevInfo info;  // the ASIO driver's build: error lines only
  EXPECT_TRUE(info.makeActiveDeviceList());
  ASSERT_EQ(info.EntryCount(), 1u);
  EXPECT_EQ(Text(info.getDeviceEntry(0)->instanceId), InstancePath(DeviceInfoOf(good)));
  const std::vector<std::string> expected = {".\\cdevinfo(316):error\n", ".\\cdevinfo(352):error\n",
                                             ".\\cdevinfo(330):error\n", ".\\cdevinfo(352):error\n"};
  EXPECT_EQ(debugger.Messages(), expected);
}

TEST_F(DevInfoTest, ADeviceWithoutDescriptionIsSkippedWithItsErrorLines) {
  sim::SimulatedMachine* machine = Plug("default");
  ChangeDeviceInfo(machine, [](platform::PhysicalDeviceInfo& info) { info.description.clear(); });
  platform::win32::DebugOutputCapture debugger(process_);
  CDevInfo info;
  EXPECT_FALSE(info.EnumFilters());
  const std::vector<std::string> expected = {"error", ".\\cdevinfo(281):error\n"};
  EXPECT_EQ(debugger.Messages(), expected);
  // A long description is cut to 259 characters in the filter and 127 in the entry.
  ChangeDeviceInfo(machine, [](platform::PhysicalDeviceInfo& info) { info.description = std::u16string(300, u'd'); });
  EXPECT_TRUE(info.makeActiveDeviceList());
  ASSERT_EQ(info.EntryCount(), 1u);
  EXPECT_EQ(Text(info.Filters().First()->FriendlyName()).size(), 259u);
  EXPECT_EQ(Text(info.getDeviceEntry(0)->deviceName).size(), 127u);
}

TEST_F(DevInfoTest, TheControlPanelsBuildWritesEntryExitAndDumpLines) {
  sim::SimulatedMachine* machine = Plug("default");
  const platform::PhysicalDeviceInfo device = DeviceInfo(machine);
  const std::string id = Utf8(InstancePath(device));
  platform::win32::DebugOutputCapture debugger(process_);
  {
    CDevInfo info(kDevInfoTraceControlPanel);
    info.makeActiveDeviceList();
    info.getCurrentSelected();
    const std::vector<WCHAR> wide = Wide(InstancePath(device));
    info.setCurrentSelectedByDeviceInstanceId(wide.data());
    info.setCurrentSelectedByDeviceInstanceId(nullptr);
  }
  std::vector<std::string> m = debugger.Messages();
  ASSERT_EQ(m.size(), 21u) << debugger.Text();
  const std::vector<std::string> head = {
      "CDevInfo::CDevInfo Start.\n",
      "CDevInfo::CDevInfo Return.\n",
      "CDevInfo::EnumFilters() Start.\n",
      "CDevInfo::EnumFilters() Return. [TRUE]\n",
      "<makeActiveDeviceList dump>\n",
      "devName: " + Utf8(device.description) + "\n",
      "hwid: " + id + "\n",
      "renderRange: 2 ch / 16 - 32 bit / 44100 - 384000 Hz\n",
      "captureRange: 2 ch / 16 - 24 bit / 44100 - 384000 Hz\n",
      "CurrentSelect: FALSE\n",
      "</makeActiveDeviceList dump>\n",
      "CDevInfo::getCurrentSelected() Start.\n",
      "CDevInfo::getCurrentSelected() Return.\n",
  };
  for (size_t i = 0; i < head.size(); ++i) EXPECT_EQ(m[i], head[i]) << i;
  EXPECT_EQ(m[13].rfind("CDevInfo::setCurrentSelectedByDeviceInstanceId(", 0), 0u) << m[13];
  EXPECT_NE(m[13].find(") Start.\n"), std::string::npos) << m[13];
  EXPECT_EQ(m[14], "CDevInfo::setCurrentSelectedByDeviceInstanceId() / instance ids = " + id + "\n");
  EXPECT_EQ(m[15], "CDevInfo::setCurrentSelectedByDeviceInstanceId() Return. [TRUE]\n");
  EXPECT_EQ(m[16].rfind("CDevInfo::setCurrentSelectedByDeviceInstanceId(", 0), 0u) << m[16];
  EXPECT_EQ(m[17], "CDevInfo::setCurrentSelectedByDeviceInstanceId() / bad parameter\n");
  EXPECT_EQ(m[18], "CDevInfo::setCurrentSelectedByDeviceInstanceId() Return. [FALSE]\n");
  EXPECT_EQ(m[19], "CDevInfo::~CDevInfo Start.\n");
  EXPECT_EQ(m[20], "CDevInfo::~CDevInfo Return.\n");
}

TEST_F(DevInfoTest, TheAsioDriversBuildWritesNothingOnASuccessfulRun) {
  Plug("default");
  platform::win32::DebugOutputCapture debugger(process_);
  {
    CDevInfo info(kDevInfoTraceAsioDriver);
    info.makeActiveDeviceList();
    info.setCurrentSelectedByIndex(0);
    info.getCurrentSelected();
    info.setCurrentSelectedByDeviceInstanceId(L"none");
  }
  EXPECT_EQ(debugger.Count(), 0u) << debugger.Text();
}

TEST_F(DevInfoTest, AllocationFailuresStopTheEnumerationOrDropTheOneFilter) {
  Plug("default");
  CDevInfo info;
  // A clean enumeration's allocations, counted.
  const unsigned long before = kslib::testing::AllocationCount();
  ASSERT_TRUE(info.EnumFilters());
  const unsigned long total = kslib::testing::AllocationCount() - before;
  platform::win32::DebugOutputCapture debugger(process_);

  // 1: the interface-detail buffer stops the enumeration.
  kslib::testing::FailNthAllocation(1);
  EXPECT_FALSE(info.EnumFilters());
  EXPECT_EQ(debugger.Messages(), std::vector<std::string>{
                                     ".\\cdevinfo(248):Failed to allocate SP_DEVICE_INTERFACE_DETAIL_DATA structure\n"});
  // 4 (after the detail, hardware-id and description buffers): the filter object.
  debugger.Clear();
  kslib::testing::FailNthAllocation(4);
  EXPECT_FALSE(info.EnumFilters());
  EXPECT_EQ(debugger.Messages(), (std::vector<std::string>{".\\cdevinfo(292):error\n", ".\\cdevinfo(352):error\n"}));
  // The last one: the filter list's node.
  debugger.Clear();
  kslib::testing::FailNthAllocation(static_cast<unsigned>(total));
  EXPECT_FALSE(info.EnumFilters());
  EXPECT_EQ(debugger.Messages(), (std::vector<std::string>{".\\cdevinfo(343):error\n", ".\\cdevinfo(352):error\n"}));
  EXPECT_EQ(info.Filters().Count(), 0u);
  // Every other failure leaves a consistent list: the filter kept or dropped.
  for (unsigned n = 1; n <= total; ++n) {
    kslib::testing::FailNthAllocation(n);
    const BOOL ok = info.EnumFilters();
    kslib::testing::FailNthAllocation(0);
    EXPECT_EQ(ok != FALSE, info.Filters().Count() == 1u) << n;
  }
  kslib::testing::FailNthAllocation(0);
  EXPECT_TRUE(info.makeActiveDeviceList());
  EXPECT_EQ(info.EntryCount(), 1u);
}

}  // namespace

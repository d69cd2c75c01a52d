// The driver object's core against the simulated machine: the instance
// slot, init and the configuration it loads (with and without a device,
// stored and stale selections), the queries and their refusals before init
// and for null pointers, the rate rules with and without the lock, channel
// names from the device's friendly name, the future selectors, the control
// panel, destruction, and the trace provider.
#include <cstring>
#include <string>

#include "asio/asio_trace.h"
#include "platform/win32/event_trace_host.h"
#include "tests/asio/asio_driver_fixture.h"


namespace {

using asiotest::Access;
using kslibtest::Text;

class AsioDriverCoreTest : public asiotest::AsioDriverTest {
 protected:
  static DWORD ReadDword(int id) {
    SettingsStore store;
    DWORD value = 0xDEADBEEF;
    EXPECT_EQ(store.Read(id, &value, sizeof value), kSettingsOk) << id;
    return value;
  }
  static void StoreByte(int id, UCHAR value) {
    SettingsStore store;
    DWORD scratch[64] = {};
    store.Read(id, scratch, sizeof(scratch));  // creates the key with its defaults
    EXPECT_EQ(store.Write(id, &value, 1), kSettingsOk);
  }
  static void StoreSelected(const std::u16string& id) {
    SettingsStore store;
    WCHAR scratch[128] = {};
    store.Read(kAsioSettingSelected, scratch, sizeof(scratch));
    std::memset(scratch, 0, sizeof scratch);
    for (size_t i = 0; i < id.size() && i < 127; ++i) scratch[i] = id[i];
    EXPECT_EQ(store.Write(kAsioSettingSelected, scratch, sizeof scratch), kSettingsOk);
  }
  static std::u16string StoredSelected() {
    SettingsStore store;
    WCHAR id[128] = {};
    EXPECT_EQ(store.Read(kAsioSettingSelected, id, sizeof id), kSettingsOk);
    id[127] = 0;
    return Text(id);
  }
  static std::u16string InstanceIdOf(sim::SimulatedMachine* machine) {
    return platform::DeviceInstancePath(DeviceInfo(machine));
  }
  static std::u16string Lower(std::u16string s) {
    for (auto& c : s) {
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return s;
  }
  // A driver that init accepted.
  IASIO* InitDriver() {
    IASIO* asio = CreateDriver();
    EXPECT_NE(asio, nullptr);
    if (asio == nullptr) return nullptr;
    EXPECT_EQ(asio->init(nullptr), ASIOTrue);
    return asio;
  }
  static ASIOIoFormat Format(ASIOIoFormatType type) {
    ASIOIoFormat f;
    std::memset(&f, 0, sizeof f);
    f.FormatType = type;
    return f;
  }
  std::string ChannelName(IASIO* asio, bool input, LONG channel) {
    ASIOChannelInfo info{};
    info.channel = channel;
    info.isInput = input ? ASIOTrue : ASIOFalse;
    EXPECT_EQ(asio->getChannelInfo(&info), ASE_OK) << channel;
    return std::string(info.name, strnlen(info.name, sizeof info.name));
  }
};

TEST_F(AsioDriverCoreTest, OneInstancePerProcessClearedByTheLastRelease) {
  IASIO* asio = CreateDriver();
  ASSERT_NE(asio, nullptr);
  EXPECT_EQ(CKelAsioDriver::Instance(), &Driver());
  HRESULT result = E_FAIL;
  EXPECT_EQ(CKelAsioDriver::CreateInstance(nullptr, &result), nullptr) << "a second object in the same process";

  // The host's interface query: the class id gives IASIO, IUnknown the object, anything else nothing.
  void* again = nullptr;
  ASSERT_EQ(asio->QueryInterface(CLSID_KelAsioDriver, &again), S_OK);
  EXPECT_EQ(again, static_cast<void*>(asio));
  asio->Release();
  void* unknown = nullptr;
  ASSERT_EQ(asio->QueryInterface(IID_IUnknown, &unknown), S_OK);
  static_cast<IUnknown*>(unknown)->Release();
  void* other = reinterpret_cast<void*>(1);
  EXPECT_EQ(asio->QueryInterface(IID_IClassFactory, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(asio->QueryInterface(CLSID_KelAsioDriver, nullptr), E_POINTER);

  // Another process has a slot of its own.
  platform::ClientProcess* second = platform::CreateClientProcess("second host");
  {
    platform::ProcessScope in(second);
    EXPECT_EQ(CKelAsioDriver::Instance(), nullptr);
    HRESULT secondResult = E_FAIL;
    CUnknown* other = CKelAsioDriver::CreateInstance(nullptr, &secondResult);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(secondResult, S_OK);
    EXPECT_NE(static_cast<void*>(CKelAsioDriver::Instance()), static_cast<void*>(&Driver()));
    other->NonDelegatingAddRef();
    other->NonDelegatingRelease();
    EXPECT_EQ(CKelAsioDriver::Instance(), nullptr);
  }
  platform::EndClientProcess(second);

  ReleaseDriver();
  EXPECT_EQ(CKelAsioDriver::Instance(), nullptr);
  ASSERT_NE(CreateDriver(), nullptr) << "a new object once the first is gone";
}

TEST_F(AsioDriverCoreTest, BeforeInitTheQueriesReportNotPresent) {
  IASIO* asio = CreateDriver();
  ASSERT_NE(asio, nullptr);
  LONG a = 0, b = 0, c = 0, d = 0;
  EXPECT_EQ(asio->getChannels(&a, &b), ASE_NotPresent);
  EXPECT_EQ(asio->getLatencies(&a, &b), ASE_NotPresent);
  EXPECT_EQ(asio->getBufferSize(&a, &b, &c, &d), ASE_NotPresent);
  EXPECT_EQ(asio->canSampleRate(44100), ASE_NotPresent);
  ASIOSampleRate rate = 0;
  EXPECT_EQ(asio->getSampleRate(&rate), ASE_NotPresent);
  ASIOClockSource clocks[2] = {};
  LONG num = 2;
  EXPECT_EQ(asio->getClockSources(clocks, &num), ASE_NotPresent);
  EXPECT_EQ(asio->setClockSource(0), ASE_NotPresent);
  ASIOSamples pos{};
  ASIOTimeStamp stamp{};
  EXPECT_EQ(asio->getSamplePosition(&pos, &stamp), ASE_NotPresent);
  ASIOChannelInfo info{};
  EXPECT_EQ(asio->getChannelInfo(&info), ASE_NotPresent);
  // These answer in any state.
  char name[32] = {};
  asio->getDriverName(name);
  EXPECT_STREQ(name, "Velmora ASIO Device");
  EXPECT_EQ(asio->getDriverVersion(), 1);
  char text[124];
  std::memset(text, 'x', sizeof text);
  asio->getErrorMessage(text);
  EXPECT_STREQ(text, "") << "no text before a failed init";
}

TEST_F(AsioDriverCoreTest, InitTwiceIsRefusedWithItsText) {
  Plug("default");
  IASIO* asio = InitDriver();
  ASSERT_NE(asio, nullptr);
  EXPECT_EQ(Access::State(Driver()), CKelAsioDriver::kInitialized);
  EXPECT_NE(Access::StopEvent(Driver()), nullptr);
  EXPECT_NE(Access::ApiMutex(Driver()), nullptr);
  EXPECT_EQ(asio->init(nullptr), ASIOFalse);
  char text[124] = {};
  asio->getErrorMessage(text);
  EXPECT_STREQ(text, "ASIO driver was initialized before this time.\n");
  // The object stays usable.
  LONG in = 0, out = 0;
  EXPECT_EQ(asio->getChannels(&in, &out), ASE_OK);
}

TEST_F(AsioDriverCoreTest, InitWithoutADeviceGivesAnEmptyButUsableConfiguration) {
  IASIO* asio = InitDriver();
  ASSERT_NE(asio, nullptr);
  LONG in = -1, out = -1;
  ASSERT_EQ(asio->getChannels(&in, &out), ASE_OK);
  EXPECT_EQ(in, 0);
  EXPECT_EQ(out, 0);
  ASIOSampleRate rate = 0;
  ASSERT_EQ(asio->getSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 44100.0);
  LONG minSize = 0, maxSize = 0, preferred = 0, granularity = -1;
  ASSERT_EQ(asio->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
  EXPECT_EQ(minSize, 2048);
  EXPECT_EQ(maxSize, 2048);
  EXPECT_EQ(preferred, 2048);
  EXPECT_EQ(granularity, 0);
  // No device, no rate: the range is empty.
  EXPECT_EQ(asio->canSampleRate(44100), ASE_NoClock);
  ASIOChannelInfo info{};
  info.isInput = ASIOTrue;
  EXPECT_EQ(asio->getChannelInfo(&info), ASE_InvalidParameter);
  EXPECT_EQ(StoredSelected(), u"") << "nothing to remember";
  EXPECT_EQ(ReadDword(kAsioSettingStreaming), 0u) << "init writes the streaming flag off";
  char text[124] = {};
  asio->getErrorMessage(text);
  EXPECT_STREQ(text, "");
}

TEST_F(AsioDriverCoreTest, InitSelectsTheFirstDeviceAndRemembersIt) {
  sim::SimulatedMachine* machine = Plug("default");
  StoreSelected(u"USB\\VID_0000&PID_0000\\gone");
  IASIO* asio = InitDriver();
  ASSERT_NE(asio, nullptr);
  LONG in = 0, out = 0;
  ASSERT_EQ(asio->getChannels(&in, &out), ASE_OK);
  EXPECT_EQ(in, 2);
  EXPECT_EQ(out, 2);
  // The rate range is where both directions overlap.
  const DeviceListEntry* entry = Access::Devices(Driver()).getDeviceEntry(0);
  ASSERT_NE(entry, nullptr);
  const ULONG minRate = entry->captureRange.minRate > entry->renderRange.minRate ? entry->captureRange.minRate
                                                                                 : entry->renderRange.minRate;
  const ULONG maxRate = entry->captureRange.maxRate < entry->renderRange.maxRate ? entry->captureRange.maxRate
                                                                                 : entry->renderRange.maxRate;
  EXPECT_EQ(Access::MinRate(Driver()), minRate);
  EXPECT_EQ(Access::MaxRate(Driver()), maxRate);
  EXPECT_EQ(StoredSelected(), InstanceIdOf(machine)) << "the stale id is replaced by the device taken";
  EXPECT_EQ(Text(Access::SelectedId(Driver())), InstanceIdOf(machine));
  EXPECT_EQ(Access::ContainerBits(Driver()), 32u);
  EXPECT_EQ(Access::ContainerBytes(Driver()), 4u);
  EXPECT_NE(Access::Devices(Driver()).getCurrentSelected(), nullptr);
}

TEST_F(AsioDriverCoreTest, AStoredSelectionIsKeptAsStored) {
  sim::SimulatedMachine* machine = Plug("default");
  // Selection compares instance ids without regard to case; the stored text is not rewritten.
  const std::u16string stored = Lower(InstanceIdOf(machine));
  ASSERT_NE(stored, InstanceIdOf(machine));
  StoreSelected(stored);
  StoreSetting(kAsioSettingSamplingRate, 96000);
  IASIO* asio = InitDriver();
  ASSERT_NE(asio, nullptr);
  EXPECT_EQ(StoredSelected(), stored);
  EXPECT_EQ(Text(Access::SelectedId(Driver())), stored);
  ASIOSampleRate rate = 0;
  ASSERT_EQ(asio->getSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 96000.0) << "the settings of the selected device are read";
}

TEST_F(AsioDriverCoreTest, BufferSizeIsTheStoredSizeAndEightTimesInDsdMode) {
  Plug("default");
  {
    IASIO* asio = InitDriver();
    ASSERT_NE(asio, nullptr);
    LONG minSize = 0, maxSize = 0, preferred = 0, granularity = -1;
    ASSERT_EQ(asio->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(preferred, 2048) << "a new key";
    ReleaseDriver();
  }
  StoreSetting(kAsioSettingBufferSize, 512);
  IASIO* asio = InitDriver();
  ASSERT_NE(asio, nullptr);
  LONG minSize = 0, maxSize = 0, preferred = 0, granularity = -1;
  ASSERT_EQ(asio->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
  EXPECT_EQ(minSize, 512);
  EXPECT_EQ(maxSize, 512);
  EXPECT_EQ(preferred, 512);
  EXPECT_EQ(granularity, 0);

  ASIOIoFormat dsd = Format(kASIODSDFormat);
  ASSERT_EQ(asio->future(kAsioSetIoFormat, &dsd), ASE_SUCCESS);
  EXPECT_EQ(Access::SampleType(Driver()), static_cast<ULONG>(ASIOSTDSDInt8MSB1));
  ASSERT_EQ(asio->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
  EXPECT_EQ(minSize, 4096);
  EXPECT_EQ(maxSize, 4096);
  EXPECT_EQ(preferred, 4096);
  EXPECT_EQ(granularity, 0);
  ASIOChannelInfo info{};
  info.isInput = ASIOFalse;
  ASSERT_EQ(asio->getChannelInfo(&info), ASE_OK);
  EXPECT_EQ(info.type, ASIOSTDSDInt8MSB1);
  // The NER8 type has no buffer size in DSD mode.
  Access::SampleType(Driver()) = ASIOSTDSDInt8NER8;
  EXPECT_EQ(asio->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_NotPresent);

  ASIOIoFormat pcm = Format(kASIOPCMFormat);
  ASSERT_EQ(asio->future(kAsioSetIoFormat, &pcm), ASE_SUCCESS);
  EXPECT_EQ(Access::SampleType(Driver()), static_cast<ULONG>(ASIOSTInt32LSB));
  ASSERT_EQ(asio->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
  EXPECT_EQ(preferred, 512);
}

// The latency is the buffer's duration; before createBuffers the buffer
// is the one size offered, so the figures match what the host will get.
TEST_F(AsioDriverCoreTest, LatenciesAt48000And512) {
  Plug("default");
  StoreSetting(kAsioSettingBufferSize, 512);
  StoreSetting(kAsioSettingSamplingRate, 48000);
  IASIO* asio = InitDriver();
  ASSERT_NE(asio, nullptr);
  LONG in = 0, out = 0;
  ASSERT_EQ(asio->getLatencies(&in, &out), ASE_OK);
  EXPECT_EQ(in, 11);
  EXPECT_EQ(out, 305);
  EXPECT_EQ(Access::Latency(Driver()), 11u);

  // Once buffers exist the host's size counts.
  Access::BufferSize(Driver()) = 256;
  Access::State(Driver()) = CKelAsioDriver::kPrepared;
  Driver().ChangeSettings();
  Access::State(Driver()) = CKelAsioDriver::kInitialized;
  ASSERT_EQ(asio->getLatencies(&in, &out), ASE_OK);
  EXPECT_EQ(in, 5);  // 53 tenths
  EXPECT_EQ(out, 299);
  EXPECT_EQ(Access::BufferBytes(Driver()), 1024u);
}

TEST_F(AsioDriverCoreTest, RatesFollowTheListTheRangeAndTheLock) {
  Plug("default");
  StoreSetting(kAsioSettingSamplingRate, 48000);
  {
    IASIO* asio = InitDriver();
    ASSERT_NE(asio, nullptr);
    const ULONG minRate = Access::MinRate(Driver());
    const ULONG maxRate = Access::MaxRate(Driver());
    ASSERT_LE(minRate, 48000u);
    ASSERT_GE(maxRate, 96000u);
    EXPECT_EQ(asio->canSampleRate(48000), ASE_OK);
    EXPECT_EQ(asio->canSampleRate(96000), ASE_OK);
    EXPECT_EQ(asio->canSampleRate(48000.5), ASE_NoClock);
    EXPECT_EQ(asio->canSampleRate(50000), ASE_NoClock) << "not in the list";
    // A listed rate outside the device's range.
    Access::MaxRate(Driver()) = 48000;
    EXPECT_EQ(asio->canSampleRate(96000), ASE_NoClock);
    // DSD mode: the two DSD rates only.
    ASIOIoFormat dsd = Format(kASIODSDFormat);
    ASSERT_EQ(asio->future(kAsioSetIoFormat, &dsd), ASE_SUCCESS);
    EXPECT_EQ(asio->canSampleRate(2822400), ASE_OK);
    EXPECT_EQ(asio->canSampleRate(5644800), ASE_OK);
    EXPECT_EQ(asio->canSampleRate(48000), ASE_NoClock);
    ReleaseDriver();
  }
  StoreByte(kAsioSettingLock, 1);
  IASIO* asio = InitDriver();
  ASSERT_NE(asio, nullptr);
  EXPECT_EQ(Access::Lock(Driver()), 1u);
  EXPECT_EQ(asio->canSampleRate(48000), ASE_OK) << "the current rate";
  EXPECT_EQ(asio->canSampleRate(44100), ASE_NoClock) << "locked";
  EXPECT_EQ(asio->canSampleRate(96000), ASE_NoClock) << "locked";
}

TEST_F(AsioDriverCoreTest, SampleRateReportsAPendingRateWhileItDiffers) {
  Plug("default");
  StoreSetting(kAsioSettingSamplingRate, 48000);
  IASIO* asio = InitDriver();
  ASSERT_NE(asio, nullptr);
  EXPECT_EQ(Access::PendingRate(Driver()), 0u);
  ASIOSampleRate rate = 0;
  Access::PendingRate(Driver()) = 96000;
  ASSERT_EQ(asio->getSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 96000.0);
  Access::PendingRate(Driver()) = 48000;
  ASSERT_EQ(asio->getSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 48000.0);
  Access::PendingRate(Driver()) = 0;
  Access::SampleRate(Driver()) = 96000;
  ASSERT_EQ(asio->getSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 96000.0) << "no rate pending";
}

TEST_F(AsioDriverCoreTest, ClockSourceAndSamplePosition) {
  IASIO* asio = InitDriver();
  ASSERT_NE(asio, nullptr);
  ASIOClockSource clocks[4];
  std::memset(clocks, 0x55, sizeof clocks);
  LONG num = 4;
  ASSERT_EQ(asio->getClockSources(clocks, &num), ASE_OK);
  EXPECT_EQ(num, 1);
  EXPECT_EQ(clocks[0].index, 0);
  EXPECT_EQ(clocks[0].associatedChannel, -1);
  EXPECT_EQ(clocks[0].associatedGroup, -1);
  EXPECT_EQ(clocks[0].isCurrentSource, ASIOTrue);
  EXPECT_STREQ(clocks[0].name, "Internal");

  EXPECT_EQ(asio->setClockSource(1), ASE_NotPresent);
  EXPECT_EQ(Access::AsioTime(Driver()).timeInfo.flags & kClockSourceChanged, 0u);
  Access::AsioTime(Driver()).timeInfo.flags = kSystemTimeValid;
  ASSERT_EQ(asio->setClockSource(0), ASE_OK);
  EXPECT_EQ(Access::AsioTime(Driver()).timeInfo.flags, static_cast<ULONG>(kSystemTimeValid | kClockSourceChanged));

  Access::SamplePosition(Driver()) = 2.0 * 4294967296.0 + 1536.0;
  Access::SystemTime(Driver()) = ASIOTimeStamp{7, 0x89ABCDEF};
  ASIOSamples pos{};
  ASIOTimeStamp stamp{};
  ASSERT_EQ(asio->getSamplePosition(&pos, &stamp), ASE_OK);
  EXPECT_EQ(pos.hi, 2u);
  EXPECT_EQ(pos.lo, 1536u);
  EXPECT_EQ(stamp.hi, 7u);
  EXPECT_EQ(stamp.lo, 0x89ABCDEFu);
}

TEST_F(AsioDriverCoreTest, NullPointersFromTheHostAreRefused) {
  IASIO* asio = InitDriver();
  ASSERT_NE(asio, nullptr);
  LONG a = 0, b = 0, c = 0;
  EXPECT_EQ(asio->getChannels(nullptr, &a), ASE_InvalidParameter);
  EXPECT_EQ(asio->getChannels(&a, nullptr), ASE_InvalidParameter);
  EXPECT_EQ(asio->getLatencies(&a, nullptr), ASE_InvalidParameter);
  EXPECT_EQ(asio->getBufferSize(&a, &b, &c, nullptr), ASE_InvalidParameter);
  EXPECT_EQ(asio->getSampleRate(nullptr), ASE_InvalidParameter);
  EXPECT_EQ(asio->getClockSources(nullptr, &a), ASE_InvalidParameter);
  ASIOClockSource clock{};
  EXPECT_EQ(asio->getClockSources(&clock, nullptr), ASE_InvalidParameter);
  ASIOSamples pos{};
  EXPECT_EQ(asio->getSamplePosition(&pos, nullptr), ASE_InvalidParameter);
  EXPECT_EQ(asio->getChannelInfo(nullptr), ASE_InvalidParameter);
  asio->getDriverName(nullptr);
  asio->getErrorMessage(nullptr);
}

TEST_F(AsioDriverCoreTest, ChannelInfoNamesTypesAndActiveFlags) {
  sim::SimulatedMachine* machine = Plug("default");
  ChangeDeviceInfo(machine, [](platform::PhysicalDeviceInfo& info) { info.description = u"12-  DAC X"; });
  IASIO* asio = InitDriver();
  ASSERT_NE(asio, nullptr);
  EXPECT_EQ(ChannelName(asio, true, 0), "DAC X In 01");
  EXPECT_EQ(ChannelName(asio, true, 1), "DAC X In 02");
  EXPECT_EQ(ChannelName(asio, false, 0), "DAC X Out 01");
  EXPECT_EQ(ChannelName(asio, false, 1), "DAC X Out 02");

  // Bounds per direction.
  ASIOChannelInfo info{};
  info.isInput = ASIOTrue;
  info.channel = -1;
  EXPECT_EQ(asio->getChannelInfo(&info), ASE_InvalidParameter);
  info.channel = 2;
  EXPECT_EQ(asio->getChannelInfo(&info), ASE_InvalidParameter);
  info.isInput = ASIOFalse;
  EXPECT_EQ(asio->getChannelInfo(&info), ASE_InvalidParameter);

  // Type and group; inactive while only initialised, even with flags left over.
  ULONG inputUsed[2] = {0, 1};
  ULONG outputUsed[2] = {1, 0};
  Access::InputUsed(Driver()) = inputUsed;
  Access::OutputUsed(Driver()) = outputUsed;
  Access::ActiveInputs(Driver()) = 1;
  Access::ActiveOutputs(Driver()) = 1;
  info = ASIOChannelInfo{};
  info.isInput = ASIOTrue;
  info.channel = 1;
  info.channelGroup = 9;
  info.isActive = ASIOTrue;
  ASSERT_EQ(asio->getChannelInfo(&info), ASE_OK);
  EXPECT_EQ(info.type, ASIOSTInt32LSB);
  EXPECT_EQ(info.channelGroup, 0);
  EXPECT_EQ(info.isActive, ASIOFalse);
  // With buffers: each channel's own flag.
  Access::State(Driver()) = CKelAsioDriver::kPrepared;
  auto active = [&](bool input, LONG channel) {
    ASIOChannelInfo i{};
    i.isInput = input ? ASIOTrue : ASIOFalse;
    i.channel = channel;
    EXPECT_EQ(asio->getChannelInfo(&i), ASE_OK);
    return i.isActive;
  };
  EXPECT_EQ(active(true, 0), ASIOFalse);
  EXPECT_EQ(active(true, 1), ASIOTrue);
  EXPECT_EQ(active(false, 0), ASIOTrue);
  EXPECT_EQ(active(false, 1), ASIOFalse);
  // A direction without active channels reports none, whatever its array says.
  Access::ActiveOutputs(Driver()) = 0;
  EXPECT_EQ(active(false, 0), ASIOFalse);
  Access::State(Driver()) = CKelAsioDriver::kInitialized;
  Access::InputUsed(Driver()) = nullptr;
  Access::OutputUsed(Driver()) = nullptr;
  Access::ActiveInputs(Driver()) = 0;
}

TEST_F(AsioDriverCoreTest, LongDeviceNamesAreCutInChannelNames) {
  sim::SimulatedMachine* machine = Plug("default");
  ChangeDeviceInfo(machine,
                   [](platform::PhysicalDeviceInfo& info) { info.description = u"01 Velmora Studio Reference DAC"; });
  IASIO* asio = InitDriver();
  ASSERT_NE(asio, nullptr);
  EXPECT_EQ(ChannelName(asio, true, 0), "Velmora Studio Refere... In 01");
  EXPECT_EQ(ChannelName(asio, false, 1), "Velmora Studio Refere... Out 02");
}

TEST_F(AsioDriverCoreTest, FutureSelectors) {
  Plug("default");
  IASIO* asio = InitDriver();
  ASSERT_NE(asio, nullptr);
  EXPECT_EQ(asio->future(kAsioEnableTimeCodeRead, nullptr), ASE_SUCCESS);
  EXPECT_EQ(Access::TimeCodeRead(Driver()), 1u);
  EXPECT_EQ(asio->future(kAsioDisableTimeCodeRead, nullptr), ASE_SUCCESS);
  EXPECT_EQ(Access::TimeCodeRead(Driver()), 0u);
  const LONG supported[] = {kAsioSetInputMonitor, kAsioCanInputMonitor, kAsioCanTimeInfo, kAsioCanTimeCode};
  for (LONG selector : supported) {
    EXPECT_EQ(asio->future(selector, nullptr), ASE_SUCCESS) << selector;
  }
  const LONG others[] = {0, kAsioTransport, kAsioCanTransport, kAsioCanInputGain, kAsioCanReportOverload,
                         kAsioGetInternalBufferSamples};
  for (LONG selector : others) {
    EXPECT_EQ(asio->future(selector, nullptr), ASE_InvalidParameter) << selector;
  }

  // The IO format: refused for a null or unknown format, kept otherwise and given back whole.
  EXPECT_EQ(asio->future(kAsioSetIoFormat, nullptr), ASE_InvalidParameter);
  EXPECT_EQ(asio->future(kAsioGetIoFormat, nullptr), ASE_InvalidParameter);
  EXPECT_EQ(asio->future(kAsioCanDoIoFormat, nullptr), ASE_InvalidParameter);
  ASIOIoFormat bad = Format(2);
  EXPECT_EQ(asio->future(kAsioCanDoIoFormat, &bad), ASE_InvalidParameter);
  EXPECT_EQ(asio->future(kAsioSetIoFormat, &bad), ASE_InvalidParameter);
  EXPECT_EQ(Access::IoFormat(Driver()).FormatType, kASIOPCMFormat) << "a refused format is not kept";
  ASIOIoFormat pcm = Format(kASIOPCMFormat);
  ASIOIoFormat dsd = Format(kASIODSDFormat);
  EXPECT_EQ(asio->future(kAsioCanDoIoFormat, &pcm), ASE_SUCCESS);
  EXPECT_EQ(asio->future(kAsioCanDoIoFormat, &dsd), ASE_SUCCESS);
  std::memset(dsd.future, 0x5A, sizeof dsd.future);
  ASSERT_EQ(asio->future(kAsioSetIoFormat, &dsd), ASE_SUCCESS);
  ASIOIoFormat back = Format(kASIOFormatInvalid);
  ASSERT_EQ(asio->future(kAsioGetIoFormat, &back), ASE_SUCCESS);
  EXPECT_EQ(std::memcmp(&back, &dsd, sizeof back), 0);
  EXPECT_EQ(Access::ConfigChanged(Driver()), 0u) << "no buffers, nothing to invalidate";

  // Back to PCM without buffers reloads the configuration (a changed stored size shows).
  StoreSetting(kAsioSettingBufferSize, 256);
  ASSERT_EQ(asio->future(kAsioSetIoFormat, &pcm), ASE_SUCCESS);
  EXPECT_EQ(Access::PreferredSize(Driver()), 256u);
}

TEST_F(AsioDriverCoreTest, AFormatChangeWithBuffersMarksTheConfigurationChanged) {
  sim::SimulatedMachine* machine = Plug("default");
  IASIO* asio = InitDriver();
  ASSERT_NE(asio, nullptr);
  Access::State(Driver()) = CKelAsioDriver::kPrepared;
  ASIOIoFormat pcm = Format(kASIOPCMFormat);
  ASSERT_EQ(asio->future(kAsioSetIoFormat, &pcm), ASE_SUCCESS);
  EXPECT_EQ(Access::ConfigChanged(Driver()), 0u) << "the same format";
  ASIOIoFormat dsd = Format(kASIODSDFormat);
  ASSERT_EQ(asio->future(kAsioSetIoFormat, &dsd), ASE_SUCCESS);
  EXPECT_EQ(Access::ConfigChanged(Driver()), 1u);
  Access::ConfigChanged(Driver()) = 0;

  // The filter holding the open pins survives a switch back to PCM: the
  // device list is not rebuilt under them (marked through its name).
  CKsAudFilter2* filter = Access::Devices(Driver()).getCurrentSelected();
  ASSERT_NE(filter, nullptr);
  filter->SetFriendlyName(reinterpret_cast<LPCWSTR>(u"marker"));
  ChangeDeviceInfo(machine, [](platform::PhysicalDeviceInfo& info) { info.description = u"renamed"; });
  ASSERT_EQ(asio->future(kAsioSetIoFormat, &pcm), ASE_SUCCESS);
  EXPECT_EQ(Access::SampleType(Driver()), static_cast<ULONG>(ASIOSTInt32LSB));
  EXPECT_EQ(Access::ConfigChanged(Driver()), 1u);
  ASSERT_NE(Access::Devices(Driver()).getCurrentSelected(), nullptr);
  EXPECT_EQ(Text(Access::Devices(Driver()).getCurrentSelected()->FriendlyName()), u"marker");
  Access::State(Driver()) = CKelAsioDriver::kInitialized;
}

TEST_F(AsioDriverCoreTest, ControlPanelIsStartedWithoutWaitingAndAlwaysOk) {
  IASIO* asio = InitDriver();
  ASSERT_NE(asio, nullptr);
  EXPECT_EQ(asio->controlPanel(), ASE_OK) << "not installed";
  EXPECT_TRUE(platform::win32::StartedProcesses().empty());
  static const wchar_t kPath[] = L"C:\\Program Files\\Velmora\\missing_cpl.exe";
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, VM_ASIO_SETUP_KEY, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr,
                            &key, &disposition),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, VM_ASIO_CONTROL_PANEL_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE*>(kPath),
                           sizeof kPath),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(asio->controlPanel(), ASE_OK) << "the program could not start";
  const auto started = platform::win32::StartedProcesses();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].applicationName, Text(reinterpret_cast<const WCHAR*>(kPath)));
}

TEST_F(AsioDriverCoreTest, AFailedInitReleasesWhatItMadeAndMayBeRetried) {
  Plug("default");
  IASIO* asio = CreateDriver();
  ASSERT_NE(asio, nullptr);
  // A mutex holding the changed event's name makes the settings events fail.
  HANDLE squatter = CreateMutexW(nullptr, FALSE, VM_ASIO_CHANGED_EVENT);
  ASSERT_NE(squatter, nullptr);
  EXPECT_EQ(asio->init(nullptr), ASIOFalse);
  char text[124] = {};
  asio->getErrorMessage(text);
  EXPECT_STREQ(text, "Memories are not enough.\n");
  EXPECT_EQ(Access::State(Driver()), CKelAsioDriver::kLoaded);
  EXPECT_EQ(Access::StopEvent(Driver()), nullptr);
  EXPECT_EQ(Access::ApiMutex(Driver()), nullptr);
  EXPECT_EQ(Access::Settings(Driver()).KeepEvent(), nullptr);
  LONG in = 0, out = 0;
  EXPECT_EQ(asio->getChannels(&in, &out), ASE_NotPresent);
  CloseHandle(squatter);
  EXPECT_EQ(asio->init(nullptr), ASIOTrue);
  asio->getErrorMessage(text);
  EXPECT_STREQ(text, "") << "the old failure text goes with the successful init";
}

TEST_F(AsioDriverCoreTest, DestructionClosesTheEventsAndClearsTheStreamingFlag) {
  Plug("default");
  IASIO* asio = InitDriver();
  ASSERT_NE(asio, nullptr);
  {
    SettingsStore store;
    const DWORD one = 1;
    ASSERT_EQ(store.Write(kAsioSettingStreaming, &one, sizeof one), kSettingsOk);
  }
  HANDLE keep = OpenEventW(SYNCHRONIZE, FALSE, VM_ASIO_KEEP_EVENT);
  ASSERT_NE(keep, nullptr) << "init holds the settings events";
  CloseHandle(keep);
  ReleaseDriver();
  EXPECT_EQ(ReadDword(kAsioSettingStreaming), 0u);
  EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, VM_ASIO_KEEP_EVENT), nullptr) << "the settings events are closed";
  EXPECT_EQ(CKelAsioDriver::Instance(), nullptr);
}

TEST_F(AsioDriverCoreTest, TheTraceProviderIsRegisteredWithItsControlGuidWhileTheDriverLives) {
  static const GUID kControl = {0xF9B424D4, 0x51A1, 0x40E0, {0x8E, 0xB1, 0x1B, 0x90, 0x97, 0xAF, 0x98, 0x11}};
  // One counted registration per process, whoever else holds it.
  const int before = platform::win32::OpenTraceRegistrations(kControl);
  ASSERT_LE(before, 1);
  platform::win32::EventTraceCapture capture;
  IASIO* asio = CreateDriver();
  ASSERT_NE(asio, nullptr);
  EXPECT_EQ(platform::win32::OpenTraceRegistrations(kControl), 1);
  EXPECT_EQ(asio->init(nullptr), ASIOTrue);
  LONG in = 0;
  EXPECT_EQ(asio->getChannels(&in, nullptr), ASE_InvalidParameter);
  const std::string text = capture.Text();
  EXPECT_NE(text.find("CKelAsioDriver::init("), std::string::npos) << text;
  EXPECT_NE(text.find("CKelAsioDriver::getChannels() Return. [ASE_InvalidParameter]"), std::string::npos) << text;
  bool allFromProvider = !capture.Events().empty();
  for (const auto& e : capture.Events()) allFromProvider = allFromProvider && IsEqualGUID(e.provider, kControl);
  EXPECT_TRUE(allFromProvider);
  // The failure is written above the verbose level.
  bool warned = false;
  for (const auto& e : capture.Events()) {
    if (e.text.find("[ASE_InvalidParameter]") != std::string::npos) warned = e.level == kAsioTraceWarning;
  }
  EXPECT_TRUE(warned);
  ReleaseDriver();
  EXPECT_EQ(platform::win32::OpenTraceRegistrations(kControl), before);
}

}  // namespace

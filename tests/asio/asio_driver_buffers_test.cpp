// createBuffers and disposeBuffers of the ASIO driver object against the
// kernel driver on the simulated machine: the argument and channel checks,
// the size limits, the shared blocks in the host's order, the event and the
// output delay, the 24-bit container fall-back, and a clean return to
// Initialized after any failing request.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "asio/settings/settings_table.h"
#include "kslib/ks_audio_pin.h"
#include "platform/kernel/client_process.h"
#include "platform/kernel/io_manager.h"
#include "tests/asio/asio_driver_fixture.h"
#include "tests/asio/asio_driver_test_host.h"

namespace asiotest {
namespace {

class AsioDriverBuffers : public AsioDriverTest {
 protected:
  void Init(const char* profile = "default", DWORD rate = 48000) {
    machine_ = Plug(profile);
    FilterReplies(UserPath(machine_), recorder_.Filter());
    StoreSetting(kAsioSettingSamplingRate, rate);
    ASSERT_NE(CreateDriver(), nullptr);
    ASSERT_EQ(driver_->init(nullptr), ASIOTrue);
    handlesAfterInit_ = platform::OpenHandleCount();
  }

  static std::vector<ASIOBufferInfo> Infos(const std::vector<LONG>& inputs, const std::vector<LONG>& outputs) {
    std::vector<ASIOBufferInfo> infos;
    for (LONG c : inputs) infos.push_back(ASIOBufferInfo{ASIOTrue, c, {nullptr, nullptr}});
    for (LONG c : outputs) infos.push_back(ASIOBufferInfo{ASIOFalse, c, {nullptr, nullptr}});
    return infos;
  }

  ASIOError Create(std::vector<ASIOBufferInfo>& infos, LONG size) {
    return driver_->createBuffers(infos.data(), static_cast<LONG>(infos.size()), size, host_.Callbacks());
  }

  // Nothing of a buffer set is left: pins closed (their handles and the
  // kernel's mappings gone), no event, no flag arrays, no callbacks.
  void ExpectNothingLeft(const char* when) {
    CKelAsioDriver& d = Driver();
    EXPECT_EQ(Access::State(d), CKelAsioDriver::kInitialized) << when;
    EXPECT_EQ(Access::CapturePin(d), nullptr) << when;
    EXPECT_EQ(Access::RenderPin(d), nullptr) << when;
    EXPECT_EQ(Access::InputHeader(d), nullptr) << when;
    EXPECT_EQ(Access::OutputHeader(d), nullptr) << when;
    EXPECT_EQ(Access::KernelEvent(d), nullptr) << when;
    EXPECT_EQ(Access::InputUsed(d), nullptr) << when;
    EXPECT_EQ(Access::OutputUsed(d), nullptr) << when;
    EXPECT_EQ(Access::Callbacks(d), nullptr) << when;
    EXPECT_EQ(platform::UserMappingCount(process_), 0u) << when << ": a shared block is still mapped";
    EXPECT_EQ(platform::OpenHandleCount(), handlesAfterInit_) << when << ": a pin handle is still open";
  }

  sim::SimulatedMachine* machine_ = nullptr;
  RequestRecorder recorder_;
  TestHost host_;
  size_t handlesAfterInit_ = 0;
};

TEST_F(AsioDriverBuffers, ArgumentsAndChannelListAreCheckedBeforeAnythingOpens) {
  machine_ = Plug("default");
  ASSERT_NE(CreateDriver(), nullptr);
  std::vector<ASIOBufferInfo> infos = Infos({0}, {0});
  EXPECT_EQ(Create(infos, 256), ASE_NotPresent) << "not initialised";

  ASSERT_EQ(driver_->init(nullptr), ASIOTrue);
  handlesAfterInit_ = platform::OpenHandleCount();
  EXPECT_EQ(driver_->createBuffers(nullptr, 2, 256, host_.Callbacks()), ASE_InvalidParameter);
  EXPECT_EQ(driver_->createBuffers(infos.data(), 2, 256, nullptr), ASE_InvalidParameter);
  EXPECT_EQ(driver_->createBuffers(infos.data(), 0, 256, host_.Callbacks()), ASE_InvalidParameter);
  std::vector<ASIOBufferInfo> tooMany = Infos({0, 1}, {0, 1, 0});
  EXPECT_EQ(Create(tooMany, 256), ASE_InvalidParameter) << "more channels than the device has";

  // Input channel 0 named twice; an output channel past the device's count;
  // a negative channel.
  std::vector<ASIOBufferInfo> twice = Infos({0, 0}, {});
  EXPECT_EQ(Create(twice, 256), ASE_InvalidMode);
  ExpectNothingLeft("input 0 twice");
  std::vector<ASIOBufferInfo> pastEnd = Infos({}, {0, 2});
  EXPECT_EQ(Create(pastEnd, 256), ASE_InvalidMode);
  ExpectNothingLeft("output 2 of 2");
  std::vector<ASIOBufferInfo> negative = Infos({-1}, {});
  EXPECT_EQ(Create(negative, 256), ASE_InvalidMode);
  ExpectNothingLeft("input -1");

  EXPECT_TRUE(recorder_.Asio(KSPROPERTY_ASIO_BUFFERS).empty()) << "no block may be asked for";
  EXPECT_EQ(host_.ResetRequests(), 0);
}

TEST_F(AsioDriverBuffers, SizeOutsideTheLimitsAsksForAResetAndIsRefused) {
  Init();
  std::vector<ASIOBufferInfo> infos = Infos({0}, {0, 1});
  EXPECT_EQ(Create(infos, 63), ASE_InvalidMode);
  EXPECT_EQ(host_.ResetRequests(), 1);
  EXPECT_EQ(Create(infos, 3841), ASE_InvalidMode);
  EXPECT_EQ(host_.ResetRequests(), 2);
  ExpectNothingLeft("refused sizes");

  for (LONG size : {64, 3840}) {
    EXPECT_EQ(Create(infos, size), ASE_OK) << size;
    EXPECT_EQ(Access::BufferSize(Driver()), static_cast<ULONG>(size));
    EXPECT_EQ(Access::State(Driver()), CKelAsioDriver::kPrepared);
    EXPECT_EQ(driver_->disposeBuffers(), ASE_OK);
  }
  EXPECT_EQ(host_.ResetRequests(), 2);
}

TEST_F(AsioDriverBuffers, BlocksFollowTheHostsOrderAndThePinsKeepTheirContainers) {
  Init();
  CKelAsioDriver& d = Driver();
  ASSERT_EQ(Access::NumInputs(d), 2);
  ASSERT_EQ(Access::NumOutputs(d), 2);
  // Outputs named 1 then 0: the first render entry is channel 1.
  std::vector<ASIOBufferInfo> infos = Infos({1}, {1, 0});
  ASSERT_EQ(Create(infos, 256), ASE_OK);
  EXPECT_EQ(Access::State(d), CKelAsioDriver::kPrepared);
  EXPECT_EQ(Access::ActiveInputs(d), 1u);
  EXPECT_EQ(Access::ActiveOutputs(d), 2u);
  ASSERT_NE(Access::InputUsed(d), nullptr);
  EXPECT_EQ(Access::InputUsed(d)[0], 0u);
  EXPECT_EQ(Access::InputUsed(d)[1], 1u);
  EXPECT_EQ(Access::OutputUsed(d)[0], 1u);
  EXPECT_EQ(Access::OutputUsed(d)[1], 1u);

  // SET: count, frames of both halves, (sample type, channel) per entry,
  // 16 bytes per entry; capture first. GET: 44 bytes per entry.
  const std::vector<RecordedRequest> sets = recorder_.Asio(KSPROPERTY_ASIO_BUFFERS, kslib::kPropertySet);
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[0].instance.size(), 16u);
  EXPECT_EQ(Word(sets[0].instance, 0), 1u);
  EXPECT_EQ(Word(sets[0].instance, 1), 512u);
  EXPECT_EQ(Word(sets[0].instance, 2), static_cast<ULONG>(ASIOSTInt32LSB));
  EXPECT_EQ(Word(sets[0].instance, 3), 1u);
  EXPECT_EQ(sets[1].instance.size(), 32u);
  EXPECT_EQ(Word(sets[1].instance, 0), 2u);
  EXPECT_EQ(Word(sets[1].instance, 1), 512u);
  EXPECT_EQ(Word(sets[1].instance, 3), 1u);
  EXPECT_EQ(Word(sets[1].instance, 5), 0u);
  const std::vector<RecordedRequest> gets = recorder_.Asio(KSPROPERTY_ASIO_BUFFERS, kslib::kPropertyGet);
  ASSERT_EQ(gets.size(), 2u);
  EXPECT_EQ(gets[0].value.size(), 44u);
  EXPECT_EQ(gets[1].value.size(), 88u);

  // Every half lies in this process's mapping of a kernel block; the header
  // sits right before the first entry's half 0; channel 0 (the second
  // entry) follows channel 1's two halves.
  for (const ASIOBufferInfo& info : infos) {
    for (void* half : info.buffers) {
      ASSERT_NE(half, nullptr);
      EXPECT_TRUE(platform::IsUserAddressOf(process_, half, 256 * 4));
    }
    EXPECT_EQ(static_cast<BYTE*>(info.buffers[1]) - static_cast<BYTE*>(info.buffers[0]), 256 * 4);
  }
  EXPECT_EQ(reinterpret_cast<BYTE*>(Access::InputHeader(d)), static_cast<BYTE*>(infos[0].buffers[0]) - 16);
  EXPECT_EQ(reinterpret_cast<BYTE*>(Access::OutputHeader(d)), static_cast<BYTE*>(infos[1].buffers[0]) - 16);
  EXPECT_EQ(static_cast<BYTE*>(infos[2].buffers[0]), static_cast<BYTE*>(infos[1].buffers[0]) + 2 * 256 * 4);

  // One event, registered once (on the capture pin, the only pin that may
  // carry it when both run), and the wait list of stop and kernel event.
  ASSERT_NE(Access::KernelEvent(d), nullptr);
  const std::vector<RecordedRequest> events = recorder_.Asio(KSPROPERTY_ASIO_SET_EVENT);
  ASSERT_EQ(events.size(), 1u);
  ASSERT_EQ(events[0].instance.size(), sizeof(HANDLE));
  HANDLE registered = nullptr;
  std::memcpy(&registered, events[0].instance.data(), sizeof(HANDLE));
  EXPECT_EQ(registered, Access::KernelEvent(d));
  EXPECT_EQ(Access::WaitList(d)[0], Access::StopEvent(d));
  EXPECT_EQ(Access::WaitList(d)[1], Access::KernelEvent(d));
  EXPECT_EQ(Access::Callbacks(d), host_.Callbacks());

  // The device's capture side has only 24-bit samples in 4-byte subslots,
  // whose range the 32-bit container misses: the capture pin falls back to
  // 24-bit containers with 24 valid bits; the render pin takes 32/32. Both
  // carry the direction's full channel count at the configured rate.
  const auto* capture = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(Access::CapturePin(d)->LastWaveFormat());
  const auto* render = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(Access::RenderPin(d)->LastWaveFormat());
  ASSERT_NE(capture, nullptr);
  ASSERT_NE(render, nullptr);
  EXPECT_EQ(capture->Format.wBitsPerSample, 24);
  EXPECT_EQ(capture->Samples.wValidBitsPerSample, 24);
  EXPECT_EQ(capture->Format.nChannels, 2);
  EXPECT_EQ(capture->Format.nSamplesPerSec, 48000u);
  EXPECT_EQ(render->Format.wBitsPerSample, 32);
  EXPECT_EQ(render->Samples.wValidBitsPerSample, 32);
  EXPECT_EQ(render->Format.nChannels, 2);
  EXPECT_EQ(host_.TimeInfoQuestions(), 1);
  EXPECT_EQ(Access::TimeInfoMode(d), 0u);

  EXPECT_EQ(driver_->disposeBuffers(), ASE_OK);
  ExpectNothingLeft("disposeBuffers");
  EXPECT_EQ(driver_->disposeBuffers(), ASE_NotPresent);

  // Inputs alone: the only pin opened is 24-bit, and so is the container
  // the driver reports.
  std::vector<ASIOBufferInfo> inputsOnly = Infos({0, 1}, {});
  ASSERT_EQ(Create(inputsOnly, 128), ASE_OK);
  EXPECT_EQ(Access::ContainerBits(d), 24);
  EXPECT_EQ(Access::ContainerBytes(d), 3);
  EXPECT_EQ(Access::RenderPin(d), nullptr);
  EXPECT_EQ(driver_->disposeBuffers(), ASE_OK);
}

TEST_F(AsioDriverBuffers, OutputDelayFollowsTheDirectionsInUse) {
  Init();
  struct Case {
    std::vector<LONG> inputs;
    LONG size;
    ULONG delayMs;
  };
  // Outputs alone: 64. With inputs, the buffer's duration rounded: 256 at
  // 48 kHz is 5.33 ms -> 5; 64 frames is 1.33 ms, below the floor of 2;
  // 1000 frames is 20.83 ms -> 21.
  const Case cases[] = {{{}, 256, 64}, {{0}, 256, 5}, {{0}, 64, 2}, {{0, 1}, 1000, 21}};
  for (const Case& c : cases) {
    recorder_.Clear();
    std::vector<ASIOBufferInfo> infos = Infos(c.inputs, {0, 1});
    ASSERT_EQ(Create(infos, c.size), ASE_OK);
    const std::vector<RecordedRequest> delays = recorder_.Asio(KSPROPERTY_ASIO_OUTPUT_DELAY);
    ASSERT_EQ(delays.size(), 1u);
    EXPECT_EQ(Word(delays[0].instance, 0), c.delayMs) << c.inputs.size() << " inputs, " << c.size << " frames";
    EXPECT_EQ(driver_->disposeBuffers(), ASE_OK);
  }
  // Without outputs there is no render pin to tell.
  recorder_.Clear();
  std::vector<ASIOBufferInfo> inputsOnly = Infos({0}, {});
  ASSERT_EQ(Create(inputsOnly, 256), ASE_OK);
  EXPECT_TRUE(recorder_.Asio(KSPROPERTY_ASIO_OUTPUT_DELAY).empty());
  EXPECT_EQ(recorder_.Asio(KSPROPERTY_ASIO_SET_EVENT).size(), 1u);
  EXPECT_EQ(driver_->disposeBuffers(), ASE_OK);
}

TEST_F(AsioDriverBuffers, TimeInfoHostGetsThePreparedTime) {
  Init();
  host_.timeInfoAnswer = 1;
  std::vector<ASIOBufferInfo> infos = Infos({}, {0, 1});
  ASSERT_EQ(Create(infos, 512), ASE_OK);
  CKelAsioDriver& d = Driver();
  EXPECT_EQ(Access::TimeInfoMode(d), 1u);
  const ASIOTime& t = Access::AsioTime(d);
  EXPECT_EQ(t.timeInfo.speed, 1.0);
  EXPECT_EQ(t.timeInfo.sampleRate, 48000.0);
  EXPECT_EQ(t.timeInfo.flags, static_cast<ULONG>(kSystemTimeValid | kSamplePositionValid | kSampleRateValid));
  EXPECT_EQ(t.timeInfo.samplePosition.hi, 0u);
  EXPECT_EQ(t.timeInfo.samplePosition.lo, 0u);
  EXPECT_EQ(t.timeCode.speed, 1.0);
  EXPECT_EQ(t.timeCode.flags, static_cast<ULONG>(kTcValid | kTcRunning));
  EXPECT_EQ(driver_->disposeBuffers(), ASE_OK);
  EXPECT_EQ(Access::TimeInfoMode(d), 0u);
  EXPECT_EQ(Access::AsioTime(d).timeInfo.flags, 0u);
}

TEST_F(AsioDriverBuffers, AnyFailingStepLeavesTheDriverInitializedWithNothingOpen) {
  Init();
  struct Fault {
    const char* name;
    ULONG id;
    ULONG flags;
    int nth;  // the n-th such request fails (1 = the capture pin's, 2 = the render pin's)
  };
  const Fault faults[] = {
      {"SET buffers, capture", KSPROPERTY_ASIO_BUFFERS, kslib::kPropertySet, 1},
      {"SET buffers, render", KSPROPERTY_ASIO_BUFFERS, kslib::kPropertySet, 2},
      {"GET buffers, capture", KSPROPERTY_ASIO_BUFFERS, kslib::kPropertyGet, 1},
      {"GET buffers, render", KSPROPERTY_ASIO_BUFFERS, kslib::kPropertyGet, 2},
      {"SET event", KSPROPERTY_ASIO_SET_EVENT, kslib::kPropertySet, 1},
      {"SET output delay", KSPROPERTY_ASIO_OUTPUT_DELAY, kslib::kPropertySet, 1},
  };
  for (const Fault& f : faults) {
    int seen = 0;
    recorder_.FailWhen([&f, &seen](const RecordedRequest& r) {
      return kslib::SameGuid(r.set, KSPROPSETID_AsioChannel) && r.id == f.id && r.flags == f.flags && ++seen == f.nth;
    });
    std::vector<ASIOBufferInfo> infos = Infos({0, 1}, {0, 1});
    EXPECT_EQ(Create(infos, 256), ASE_NoMemory) << f.name;
    ExpectNothingLeft(f.name);
    for (const ASIOBufferInfo& info : infos) EXPECT_EQ(info.buffers[0], nullptr) << f.name;
    recorder_.FailWhen(nullptr);
  }
  // The flag arrays' allocations, the last two before a refused channel
  // list (the device list's rebuild comes first).
  std::vector<ASIOBufferInfo> refused = Infos({0, 0}, {});
  const unsigned long before = kslib::testing::AllocationCount();
  ASSERT_EQ(Create(refused, 256), ASE_InvalidMode);
  const unsigned long made = kslib::testing::AllocationCount() - before;
  ASSERT_GE(made, 2u);
  kslib::testing::FailNthAllocation(static_cast<unsigned>(made));
  std::vector<ASIOBufferInfo> infos = Infos({0}, {0});
  EXPECT_EQ(Create(infos, 256), ASE_NoMemory) << "flag arrays";
  kslib::testing::FailNthAllocation(0);
  ExpectNothingLeft("flag arrays");

  // Nothing stuck: the same request then succeeds.
  ASSERT_EQ(Create(infos, 256), ASE_OK);
  EXPECT_EQ(driver_->disposeBuffers(), ASE_OK);
  ExpectNothingLeft("after the faults");
}

TEST_F(AsioDriverBuffers, DsdSizesCountBitsAndThePinRunsInWords) {
  Init("dsd");
  CKelAsioDriver& d = Driver();
  ASIOIoFormat format{};
  format.FormatType = kASIODSDFormat;
  ASSERT_EQ(driver_->future(kAsioSetIoFormat, &format), ASE_SUCCESS);
  ASSERT_EQ(driver_->setSampleRate(2822400), ASE_OK);

  // The host's size counts one-bit samples: a multiple of 32, eight per
  // byte of the channel's halves, and the byte count within 64..3840.
  std::vector<ASIOBufferInfo> infos = Infos({}, {0, 1});
  EXPECT_EQ(Create(infos, 2047), ASE_InvalidParameter);
  EXPECT_EQ(Create(infos, 2040), ASE_InvalidParameter) << "a multiple of 8 but not of 32";
  EXPECT_EQ(host_.ResetRequests(), 0);
  EXPECT_EQ(Create(infos, 480), ASE_InvalidMode) << "60 bytes";
  EXPECT_EQ(host_.ResetRequests(), 1);
  ExpectNothingLeft("refused DSD sizes");

  ASSERT_EQ(Create(infos, 2048), ASE_OK);
  EXPECT_EQ(Access::BufferSize(d), 256u);
  const std::vector<RecordedRequest> sets = recorder_.Asio(KSPROPERTY_ASIO_BUFFERS, kslib::kPropertySet);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(Word(sets[0].instance, 1), 512u);
  EXPECT_EQ(Word(sets[0].instance, 2), static_cast<ULONG>(ASIOSTDSDInt8MSB1));
  const WAVEFORMATEX* pin = Access::RenderPin(d)->LastWaveFormat();
  ASSERT_NE(pin, nullptr);
  EXPECT_EQ(pin->nSamplesPerSec, 88200u);
  EXPECT_EQ(pin->wBitsPerSample, 32);

  // start asks the filter for the DSD transport.
  host_.Serve(driver_, infos.data(), static_cast<LONG>(infos.size()), 0);
  ASSERT_EQ(driver_->start(), ASE_OK);
  const std::vector<RecordedRequest> modes = recorder_.Asio(KSPROPERTY_ASIO_DSD_MODE);
  ASSERT_EQ(modes.size(), 1u);
  ASSERT_GE(modes[0].value.size(), 2u);
  EXPECT_EQ(modes[0].value[0] | (modes[0].value[1] << 8), 1);
  EXPECT_TRUE(host_.WaitForSwitches(10)) << "switches: " << host_.Switches();
  EXPECT_EQ(driver_->stop(), ASE_OK);
  EXPECT_EQ(driver_->disposeBuffers(), ASE_OK);
}

TEST_F(AsioDriverBuffers, SecondCreateBuffersGivesTheFirstSetBack) {
  Init();
  std::vector<ASIOBufferInfo> first = Infos({0}, {0});
  ASSERT_EQ(Create(first, 256), ASE_OK);
  // Without disposeBuffers in between: the device list is rebuilt, so the
  // first set's pins must be closed, not left behind (or used after their
  // filter went).
  std::vector<ASIOBufferInfo> second = Infos({}, {0, 1});
  ASSERT_EQ(Create(second, 512), ASE_OK);
  EXPECT_EQ(Access::CapturePin(Driver()), nullptr);
  EXPECT_EQ(platform::UserMappingCount(process_), 1u) << "only the new render block";
  EXPECT_EQ(driver_->disposeBuffers(), ASE_OK);
  ExpectNothingLeft("disposeBuffers");
}

}  // namespace
}  // namespace asiotest

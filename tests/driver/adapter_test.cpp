// The adapter object: its interfaces and references, the registry tuning
// values, formats, the client-buffer queues, stream start without streaming
// threads, device mode and power, and a clean failure of Init whatever
// allocation fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "driver/runtime/pool_tags.h"
#include "driver/port/miniport_private.h"
#include "platform/kernel/verifier.h"
#include "tests/driver/adapter_fixture.h"

namespace drivertest {
namespace {

constexpr uint8_t kRenderInterface = 1;
constexpr uint8_t kCaptureInterface = 2;

// Stands in for the wave miniport's private interface: counts the timing
// notifications and says whether a low-latency client owns a stream.
struct FakeMiniport : IMiniportWaveCyclicUsbAudio {
  std::atomic<int> notifications[2] = {0, 0};
  bool active[2] = {false, false};

  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP_(VOID) TimingNotification(BOOLEAN capture) override { ++notifications[capture ? 1 : 0]; }
  STDMETHODIMP_(ULONG) SetRenderPosition(PVOID) override { return 0; }
  STDMETHODIMP_(ULONG) SetCapturePosition(PVOID) override { return 0; }
  STDMETHODIMP_(VOID) ClearBuffer(BOOLEAN) override {}
  STDMETHODIMP_(BOOLEAN) IsStreamActive(BOOLEAN capture) override { return active[capture ? 1 : 0]; }
  STDMETHODIMP_(VOID) BufferToggle() override {}
  STDMETHODIMP_(VOID) OutputReady() override {}
  STDMETHODIMP_(VOID) Silence(BOOLEAN, PVOID, ULONG) override {}
  STDMETHODIMP_(VOID) OutputDelay(ULONG) override {}
  STDMETHODIMP_(ULONG) AdvanceRenderPosition(ULONG) override { return 0; }
  STDMETHODIMP_(CMiniportWaveCyclicStreamUsbAudio*) ReportStreamError(BOOLEAN, NTSTATUS) override { return nullptr; }
};

bool SameFormat(const StreamFormat& f, ULONG channels, ULONG bits, ULONG rate) {
  return f.Channels == channels && f.BitsPerSample == bits && f.SampleRate == rate &&
         f.BytesPerFrame == channels * (bits / 8);
}

// Vendor mode requests in the log, as {interface, mode}.
std::vector<std::pair<int, int>> ModeRequests(const std::vector<sim::ControlLogEntry>& log) {
  std::vector<std::pair<int, int>> modes;
  for (const sim::ControlLogEntry& e : log) {
    if (e.setup.bmRequestType == 0x41 && e.setup.bRequest == 0x00) modes.emplace_back(e.setup.wIndex, e.setup.wValue);
  }
  return modes;
}

TEST_F(AdapterTest, TuningValuesAreClampedAndDefaulted) {
  auto expect = [](BOOLEAN capture, ULONG frames, ULONG count) {
    ReloadStreamTuning(capture);
    const StreamTuning t = GetStreamTuning(capture);
    EXPECT_EQ(t.FramesPerTransfer, frames) << (capture ? "capture" : "render");
    EXPECT_EQ(t.TransfersInFlight, count) << (capture ? "capture" : "render");
  };
  // No key at all.
  expect(FALSE, 4, 8);
  expect(TRUE, 1, 8);
  // Zero means "default", too large means the limit.
  SetTuning(u"param1", 0);
  SetTuning(u"param2", 0);
  expect(FALSE, 4, 8);
  SetTuning(u"param1", 9);
  SetTuning(u"param2", 50);
  expect(FALSE, 5, 20);
  SetTuning(u"param1", 3);
  SetTuning(u"param2", 1);
  expect(FALSE, 3, 1);
  SetTuning(u"param3", 0);
  SetTuning(u"param4", 21);
  expect(TRUE, 1, 20);
  SetTuning(u"param3", 5);
  SetTuning(u"param4", 20);
  expect(TRUE, 5, 20);
  // Each value defaults on its own.
  ASSERT_TRUE(platform::RegistryDeleteValue(kTuningKey, u"param2"));
  expect(FALSE, 3, 8);
  // A value of another type is not a number of frames.
  platform::RegistrySetString(kTuningKey, u"param1", u"5");
  expect(FALSE, 4, 8);
}

TEST_F(AdapterTest, InitReadsTheTuningValues) {
  // The USB layer gets one IRP per transfer that can be in flight.
  SetTuning(u"param2", 3);
  SetTuning(u"param4", 5);
  ASSERT_EQ(StartAdapter(), STATUS_SUCCESS);
  EXPECT_EQ(Adapter()->GetUsbAudio()->GetFreeIrpCount(), 8u);
  platform::RegistryDeleteKey(kTuningKey);
  ASSERT_EQ(StartAdapter(), STATUS_SUCCESS);
  EXPECT_EQ(Adapter()->GetUsbAudio()->GetFreeIrpCount(), 16u);
  EXPECT_EQ(Adapter()->GetPowerState(), PowerDeviceD0);
  // Init put the device in PCM mode on both streaming interfaces.
  EXPECT_EQ(model_->InterfaceMode(kRenderInterface), 0);
  EXPECT_EQ(model_->InterfaceMode(kCaptureInterface), 0);
}

TEST_F(AdapterTest, InterfacesAndReferences) {
  ASSERT_EQ(StartAdapter(), STATUS_SUCCESS);
  PVOID object = reinterpret_cast<PVOID>(0x1);
  EXPECT_EQ(adapter_->QueryInterface(IID_IMiniportWaveCyclic, &object), static_cast<NTSTATUS>(0xC000000D));
  EXPECT_EQ(object, nullptr);

  PUNKNOWN unknown = nullptr;
  ASSERT_EQ(adapter_->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(&unknown)), STATUS_SUCCESS);
  EXPECT_EQ(static_cast<PVOID>(unknown), static_cast<PVOID>(adapter_));
  IAdapterPowerManagement* power = nullptr;
  ASSERT_EQ(unknown->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&power)), STATUS_SUCCESS);
  ASSERT_NE(power, nullptr);
  IAdapterCommon* back = nullptr;
  ASSERT_EQ(power->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&back)), STATUS_SUCCESS);
  EXPECT_EQ(back, adapter_);
  back->Release();
  power->Release();
  unknown->Release();

  // Every answer took exactly one reference: the last release frees it.
  EXPECT_EQ(platform::OutstandingPoolAllocations(POOLTAG_ADAPTER), 1u);
  ReleaseAdapter();
  EXPECT_EQ(platform::OutstandingPoolAllocations(POOLTAG_ADAPTER), 0u);
}

TEST_F(AdapterTest, OutputDelayIsClampedToTwoAndSevenHundredSixtyEightFrames) {
  ASSERT_EQ(StartAdapter(), STATUS_SUCCESS);
  const std::pair<ULONG, ULONG> cases[] = {{0, 2}, {1, 2}, {2, 2}, {128, 128}, {768, 768}, {769, 768}, {1000, 768}};
  for (const auto& [frames, stored] : cases) {
    adapter_->OutputDelay(frames);
    EXPECT_EQ(GetOutputDelayFrames(), stored) << frames;
  }
}

TEST_F(AdapterTest, StreamFormats) {
  ASSERT_EQ(StartAdapter(), STATUS_SUCCESS);
  EXPECT_FALSE(Adapter()->IsImplicitFeedbackMode());
  device_->ClearControlLog();
  ASSERT_EQ(adapter_->SetStreamFormat(FALSE, 2, 16, 48000), STATUS_SUCCESS);
  EXPECT_TRUE(SameFormat(Adapter()->GetClientFormat(FALSE), 2, 16, 48000));
  EXPECT_TRUE(SameFormat(Adapter()->GetClientFormat(TRUE), 0, 0, 0)) << "capture keeps its own format";
  EXPECT_FALSE(Requests().empty()) << "a new format is selected on the device";

  // The stored format again: nothing reaches the device.
  device_->ClearControlLog();
  const size_t selects = device_->UrbCount(URB_FUNCTION_SELECT_INTERFACE);
  ASSERT_EQ(adapter_->SetStreamFormat(FALSE, 2, 16, 48000), STATUS_SUCCESS);
  ASSERT_EQ(adapter_->SetStreamFormatNoFlush(FALSE, 2, 16, 48000), STATUS_SUCCESS);
  EXPECT_TRUE(Requests().empty());
  EXPECT_EQ(device_->UrbCount(URB_FUNCTION_SELECT_INTERFACE), selects);

  // A rate the clock does not offer leaves the stored format alone.
  EXPECT_FALSE(NT_SUCCESS(adapter_->SetStreamFormat(FALSE, 2, 16, 12345)));
  EXPECT_TRUE(SameFormat(Adapter()->GetClientFormat(FALSE), 2, 16, 48000));

  ASSERT_EQ(adapter_->ClearStreamFormat(FALSE), STATUS_SUCCESS);
  EXPECT_TRUE(SameFormat(Adapter()->GetClientFormat(FALSE), 0, 0, 0));
}

TEST_F(AdapterTest, ImplicitFeedbackDevicesShareOneFormat) {
  ASSERT_EQ(StartAdapter("uac2-implicit"), STATUS_SUCCESS);
  EXPECT_TRUE(Adapter()->IsImplicitFeedbackMode());
  ASSERT_EQ(adapter_->SetStreamFormat(FALSE, 2, 16, 48000), STATUS_SUCCESS);
  EXPECT_TRUE(SameFormat(Adapter()->GetClientFormat(FALSE), 2, 16, 48000));
  EXPECT_TRUE(SameFormat(Adapter()->GetClientFormat(TRUE), 2, 16, 48000));
  ASSERT_EQ(adapter_->ClearStreamFormat(TRUE), STATUS_SUCCESS);
  EXPECT_TRUE(SameFormat(Adapter()->GetClientFormat(FALSE), 0, 0, 0));
  EXPECT_TRUE(SameFormat(Adapter()->GetClientFormat(TRUE), 0, 0, 0));
}

TEST_F(AdapterTest, ClientBufferQueues) {
  ASSERT_EQ(StartAdapter(), STATUS_SUCCESS);
  FakeMiniport miniport;
  adapter_->SetWaveMiniport(&miniport);
  UCHAR buffer[100] = {};

  // Without a queue entry the buffer is not queued, and not counted (the
  // pool has no entry cached yet, so the entry comes from pool).
  platform::FailPoolAllocation(POOLTAG_USB, 0);
  EXPECT_EQ(adapter_->QueueRenderBuffer(buffer, 30), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Adapter()->GetQueuedRenderBytes(), 0u);
  platform::ResetFaultInjection();

  ASSERT_EQ(adapter_->QueueRenderBuffer(buffer, 60), STATUS_SUCCESS);
  ASSERT_EQ(adapter_->QueueRenderBuffer(buffer + 60, 40), STATUS_SUCCESS);
  ASSERT_EQ(adapter_->QueueCaptureBuffer(buffer, 10), STATUS_SUCCESS);
  EXPECT_EQ(Adapter()->GetQueuedRenderBytes(), 100u) << "capture buffers are not counted";

  // Render progress is reported to the port only when nothing is queued.
  adapter_->RenderNotify();
  EXPECT_EQ(miniport.notifications[0], 0);
  // Keeping the format keeps the queue; a format call with flush empties it.
  ASSERT_EQ(adapter_->SetStreamFormatNoFlush(FALSE, 2, 16, 48000), STATUS_SUCCESS);
  adapter_->RenderNotify();
  EXPECT_EQ(miniport.notifications[0], 0);
  ASSERT_EQ(adapter_->SetStreamFormat(FALSE, 2, 16, 48000), STATUS_SUCCESS);
  adapter_->RenderNotify();
  EXPECT_EQ(miniport.notifications[0], 1);
  adapter_->OutputReady();
  EXPECT_EQ(miniport.notifications[0], 2);
  EXPECT_EQ(miniport.notifications[1], 0);

  // Stopping render forgets the byte count; stopping capture changes nothing.
  ASSERT_EQ(adapter_->StopStream(TRUE), STATUS_SUCCESS);
  EXPECT_EQ(Adapter()->GetQueuedRenderBytes(), 100u);
  ASSERT_EQ(adapter_->StopStream(FALSE), STATUS_SUCCESS);
  EXPECT_EQ(Adapter()->GetQueuedRenderBytes(), 0u);

  // Entries still queued (the capture one) go back when the adapter goes.
  adapter_->SetWaveMiniport(nullptr);
}

TEST_F(AdapterTest, StartOpensThePipesAndTheThreadClosesThemWhenItEnds) {
  ASSERT_EQ(StartAdapter(), STATUS_SUCCESS);
  FakeMiniport miniport;
  adapter_->SetWaveMiniport(&miniport);
  ASSERT_EQ(adapter_->SetStreamFormat(FALSE, 2, 16, 48000), STATUS_SUCCESS);
  device_->ClearControlLog();
  ASSERT_EQ(adapter_->StartStream(FALSE), STATUS_SUCCESS);
  // PCM mode went out first (no low-latency client), then the pipes opened.
  const auto modes = ModeRequests(Requests());
  EXPECT_EQ(modes, (std::vector<std::pair<int, int>>{{kRenderInterface, 0}, {kCaptureInterface, 0}}));
  EXPECT_NE(device_->CurrentAlternate(kRenderInterface), 0);
  EXPECT_TRUE(SameFormat(Adapter()->GetDeviceFormat(FALSE), 2, 16, 48000));
  // The thread runs: the format is fixed until it has ended.
  EXPECT_EQ(adapter_->SetStreamFormat(FALSE, 2, 16, 96000), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(adapter_->PauseStream(FALSE), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->ClearStreamFormat(FALSE), STATUS_SUCCESS);
  EXPECT_EQ(device_->CurrentAlternate(kRenderInterface), 0);
  EXPECT_EQ(adapter_->SetStreamFormat(FALSE, 2, 16, 96000), STATUS_SUCCESS);
  // A second start of a stream that was never paused waits for the old thread.
  ASSERT_EQ(adapter_->StartStream(FALSE), STATUS_SUCCESS);
  ASSERT_EQ(adapter_->StartStream(FALSE), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->ClearStreamFormat(FALSE), STATUS_SUCCESS);
  EXPECT_EQ(platform::OutstandingThreads(), 0u);
  adapter_->SetWaveMiniport(nullptr);
}

TEST_F(AdapterTest, RenderStartFailsWhileTheClockIsInvalid) {
  ASSERT_EQ(StartAdapter(), STATUS_SUCCESS);
  ASSERT_EQ(adapter_->SetStreamFormat(FALSE, 2, 16, 48000), STATUS_SUCCESS);
  const auto clocks = model_->Config().clockSources;
  for (const auto& clock : clocks) model_->SetClockValid(clock.first, false);
  EXPECT_EQ(adapter_->StartStream(FALSE), STATUS_UNSUCCESSFUL);
  // The stop event stays set: nothing runs, the format may change.
  EXPECT_EQ(adapter_->SetStreamFormat(FALSE, 2, 16, 96000), STATUS_SUCCESS);
  for (const auto& clock : clocks) model_->SetClockValid(clock.first, true);
  EXPECT_EQ(adapter_->StartStream(FALSE), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->ClearStreamFormat(FALSE), STATUS_SUCCESS);
}

TEST_F(AdapterTest, RenderStartWaitsForAClockThatBecomesValid) {
  // After the rate is set the clock reads as not valid three times (a PLL
  // relocking for a few milliseconds), well inside the 100 ms the start waits.
  sim::DeviceProfile profile;
  ASSERT_TRUE(sim::MakeProfile("default", profile));
  for (auto& clock : profile.audio.clockSources) clock.second.invalidReadsAfterRateChange = 3;
  ASSERT_EQ(StartAdapterOn(profile.descriptors, profile.audio), STATUS_SUCCESS);
  // Not the 48 kHz the device runs at: only a change sets the rate.
  ASSERT_EQ(adapter_->SetStreamFormat(FALSE, 2, 16, 44100), STATUS_SUCCESS);
  device_->ClearControlLog();
  EXPECT_EQ(adapter_->StartStream(FALSE), STATUS_SUCCESS) << "the start gave up on a clock about to be valid";
  size_t validityReads = 0;
  for (const sim::ControlLogEntry& entry : device_->ControlLog()) {
    if (entry.setup.bmRequestType == 0xA1 && entry.setup.bRequest == 0x01 && entry.setup.wValue == 0x0200) {
      ++validityReads;
    }
  }
  EXPECT_GE(validityReads, 4u) << "the clock's validity was not read until it settled";
  EXPECT_EQ(adapter_->ClearStreamFormat(FALSE), STATUS_SUCCESS);
}

// With a render slot and a feedback slot both free, the render thread serves
// the render slot first: audio waiting to go out is not held up behind
// feedback reads. Both endpoints hold their transfers, so the submissions
// show the order in which the thread served its slots.
TEST_F(AdapterTest, RenderStartServesRenderSlotsBeforeFeedbackSlots) {
  ASSERT_NO_FATAL_FAILURE(CreateFunctionalDevice());
  ASSERT_EQ(StartAdapter(), STATUS_SUCCESS);
  FakeMiniport miniport;
  adapter_->SetWaveMiniport(&miniport);
  ASSERT_EQ(adapter_->SetStreamFormat(FALSE, 2, 16, 48000), STATUS_SUCCESS);
  std::vector<uint8_t> audio(48000 / 10 * 4);  // 100 ms, far more than three transfers
  ASSERT_EQ(adapter_->QueueRenderBuffer(audio.data(), static_cast<ULONG>(audio.size())), STATUS_SUCCESS);
  std::mutex mutex;
  std::condition_variable submitted;
  std::string order;  // 'O' render (OUT), 'I' feedback read (IN)
  device_->SetUrbHook([&](PURB urb, NTSTATUS*) {
    if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
      std::lock_guard<std::mutex> lock(mutex);
      order += (urb->UrbIsochronousTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? 'I' : 'O';
      submitted.notify_all();
    }
    return false;
  });
  ASSERT_EQ(adapter_->StartStream(FALSE), STATUS_SUCCESS);
  const StreamingInterface* render = Adapter()->GetUsbAudio()->GetRenderInterface();
  ASSERT_NE(render->FeedbackPipe, nullptr);
  device_->HoldTransfers(render->DataPipe->EndpointAddress, true);
  device_->HoldTransfers(render->FeedbackPipe->EndpointAddress, true);
  // Not running yet: the thread holds one slot and waits; three render slots
  // join the free feedback slots meanwhile.
  adapter_->RenderNotify();
  adapter_->SetStreamRunning(FALSE);
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(submitted.wait_for(lock, std::chrono::seconds(20), [&] { return order.size() >= 6; }))
        << "submissions: " << order;
    const size_t secondRead = order.find('I', order.find('I') + 1);
    EXPECT_EQ(std::count(order.begin(), order.begin() + static_cast<long>(secondRead), 'O'), 3)
        << "every render slot goes before a second feedback slot; submissions: " << order;
  }
  device_->HoldTransfers(render->DataPipe->EndpointAddress, false);
  device_->HoldTransfers(render->FeedbackPipe->EndpointAddress, false);
  EXPECT_EQ(adapter_->PauseStream(FALSE), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->ClearStreamFormat(FALSE), STATUS_SUCCESS);
  device_->SetUrbHook(nullptr);
  adapter_->SetWaveMiniport(nullptr);
}

TEST_F(AdapterTest, DsdDeviceStartsOnlyForTheLowLatencyClient) {
  ASSERT_EQ(StartAdapter("dsd"), STATUS_SUCCESS);
  ASSERT_TRUE(Adapter()->GetUsbAudio()->IsDsdCapable());
  FakeMiniport miniport;
  adapter_->SetWaveMiniport(&miniport);
  ASSERT_EQ(adapter_->SetStreamFormat(FALSE, 2, 16, 48000), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->StartStream(FALSE), static_cast<NTSTATUS>(0xC0000010));

  // With the client's buffers in the stream the start goes on, and the
  // client's transport mode is left alone.
  ASSERT_EQ(adapter_->SetDeviceMode(1), STATUS_SUCCESS);
  miniport.active[0] = true;
  device_->ClearControlLog();
  EXPECT_EQ(adapter_->StartStream(FALSE), STATUS_SUCCESS);
  EXPECT_TRUE(ModeRequests(Requests()).empty());
  EXPECT_EQ(model_->InterfaceMode(kRenderInterface), 1);
  EXPECT_EQ(adapter_->ClearStreamFormat(FALSE), STATUS_SUCCESS);
  adapter_->SetWaveMiniport(nullptr);
}

TEST_F(AdapterTest, PowerUpResendsTheRememberedModes) {
  ASSERT_EQ(StartAdapter(), STATUS_SUCCESS);
  IAdapterPowerManagement* power = nullptr;
  ASSERT_EQ(adapter_->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&power)), STATUS_SUCCESS);
  ASSERT_EQ(adapter_->SetDeviceMode(1), STATUS_SUCCESS);

  POWER_STATE state;
  state.DeviceState = PowerDeviceD0;
  device_->ClearControlLog();
  power->PowerChangeState(state);  // unchanged: nothing
  state.DeviceState = PowerDeviceD3;
  power->PowerChangeState(state);
  EXPECT_TRUE(Requests().empty());
  EXPECT_EQ(Adapter()->GetPowerState(), PowerDeviceD3);
  state.DeviceState = PowerDeviceD0;
  power->PowerChangeState(state);
  EXPECT_EQ(ModeRequests(Requests()), (std::vector<std::pair<int, int>>{{kRenderInterface, 1}, {kCaptureInterface, 1}}));
  EXPECT_EQ(Adapter()->GetPowerState(), PowerDeviceD0);

  // The first failure ends the resend.
  state.DeviceState = PowerDeviceD2;
  power->PowerChangeState(state);
  device_->ClearControlLog();
  model_->FailNextRequests(1);
  state.DeviceState = PowerDeviceD0;
  power->PowerChangeState(state);
  EXPECT_EQ(ModeRequests(Requests()).size(), 1u);

  EXPECT_EQ(power->QueryPowerChangeState(state), STATUS_SUCCESS);
  DEVICE_CAPABILITIES caps = {};
  caps.Size = sizeof(caps);
  EXPECT_EQ(power->QueryDeviceCapabilities(&caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
  EXPECT_EQ(caps.Removable, 0u) << "only the surprise-removal bit is set";
  power->Release();
}

TEST_F(AdapterTest, FailedInitLeavesNothingBehind) {
  // A device without an audio-control interface.
  sim::DeviceProfile p;
  ASSERT_TRUE(sim::MakeProfile("default", p));
  sim::DescriptorSet noAudio = p.descriptors;
  noAudio.configuration = {0x09, 0x02, 0x12, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,
                           0x09, 0x04, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00};
  EXPECT_EQ(StartAdapterOn(noAudio, p.audio), STATUS_NOT_SUPPORTED);
  ReleaseAdapter();
  EXPECT_EQ(platform::OutstandingPoolAllocations(POOLTAG_ADAPTER), 0u);
  EXPECT_EQ(platform::OutstandingPoolAllocations(POOLTAG_USB), 0u);

  // Every allocation of Init failing in turn: a failure status each time,
  // and everything released with the object.
  for (ULONG tag : {POOLTAG_USB, POOLTAG_ADAPTER}) {
    bool started = false;
    for (long nth = 0; nth < 400 && !started; ++nth) {
      platform::FailPoolAllocation(tag, nth);
      const NTSTATUS status = StartAdapter();
      platform::ResetFaultInjection();
      started = NT_SUCCESS(status);
      ReleaseAdapter();
      device_.reset();
      model_.reset();
      ASSERT_EQ(platform::OutstandingPoolAllocations(POOLTAG_USB), 0u) << "allocation " << nth;
      ASSERT_EQ(platform::OutstandingPoolAllocations(POOLTAG_ADAPTER), 0u) << "allocation " << nth;
    }
    EXPECT_TRUE(started);
  }
}

}  // namespace
}  // namespace drivertest

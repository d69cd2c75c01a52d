// start, stop, setSampleRate and outputReady of the ASIO driver object with
// the real buffer-switch thread against the kernel driver on the simulated
// machine: switches reach the host, the pins run and stop in order, a rate
// change restarts the stream at the new rate, and a host that stops (or
// changes the rate) from inside its own callback is not kept waiting.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "asio/settings/settings_store.h"
#include "asio/settings/settings_table.h"
#include "kslib/ks_audio_pin.h"
#include "platform/kernel/client_process.h"
#include "platform/win32/system_host.h"
#include "tests/asio/asio_driver_fixture.h"
#include "tests/asio/asio_driver_test_host.h"

namespace asiotest {
namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// A stop that waited for its own thread would take the full second.
constexpr long long kSelfStopLimitMs = 500;

class AsioDriverStreaming : public AsioDriverTest {
 protected:
  void SetUp() override {
    AsioDriverTest::SetUp();
    machine_ = Plug("default");
    FilterReplies(UserPath(machine_), recorder_.Filter());
    StoreSetting(kAsioSettingSamplingRate, 48000);
    ASSERT_NE(CreateDriver(), nullptr);
    ASSERT_EQ(driver_->init(nullptr), ASIOTrue);
  }

  // Two inputs and two outputs of `frames`, served by the host.
  void Prepare(LONG frames = 256, bool inputs = true) {
    infos_.clear();
    if (inputs) {
      for (LONG c = 0; c < 2; ++c) infos_.push_back(ASIOBufferInfo{ASIOTrue, c, {nullptr, nullptr}});
    }
    for (LONG c = 0; c < 2; ++c) infos_.push_back(ASIOBufferInfo{ASIOFalse, c, {nullptr, nullptr}});
    host_.Serve(driver_, infos_.data(), static_cast<LONG>(infos_.size()), frames);
    ASSERT_EQ(driver_->createBuffers(infos_.data(), static_cast<LONG>(infos_.size()), frames, host_.Callbacks()),
              ASE_OK);
  }

  ULONG StoredRate() {
    DWORD rate = 0;
    SettingsStore store;
    store.Read(kAsioSettingSamplingRate, &rate, sizeof(rate));
    return rate;
  }

  sim::SimulatedMachine* machine_ = nullptr;
  RequestRecorder recorder_;
  TestHost host_;
  std::vector<ASIOBufferInfo> infos_;
};

TEST_F(AsioDriverStreaming, StartStopRestartWithTheBufferSwitchThread) {
  Prepare();
  CKelAsioDriver& d = Driver();
  ASSERT_EQ(driver_->start(), ASE_OK);
  EXPECT_EQ(Access::State(d), CKelAsioDriver::kRunning);
  // PCM transport asked for on the filter before the pins run.
  const std::vector<RecordedRequest> modes = recorder_.Asio(KSPROPERTY_ASIO_DSD_MODE);
  ASSERT_EQ(modes.size(), 1u);
  EXPECT_FALSE(modes[0].isPin);
  ASSERT_GE(modes[0].value.size(), 2u);
  EXPECT_EQ(modes[0].value[0] | (modes[0].value[1] << 8), 0);

  ASSERT_TRUE(host_.WaitForSwitches(40)) << "buffer switches: " << host_.Switches();
  EXPECT_EQ(Access::RenderPin(d)->State(), KSSTATE_RUN);
  EXPECT_EQ(Access::CapturePin(d)->State(), KSSTATE_RUN);
  // outputReady reached the render pin once per switch, and allocated
  // nothing on the way (it runs on the buffer-switch thread).
  EXPECT_GE(recorder_.Asio(KSPROPERTY_ASIO_OUTPUT_READY).size(), 40u);
  EXPECT_EQ(host_.MaxOutputReadyAllocations(), 0u);
  EXPECT_EQ(host_.ResetRequests(), 0);

  const Clock::time_point stopAt = Clock::now();
  EXPECT_EQ(driver_->stop(), ASE_OK);
  EXPECT_LT(MsSince(stopAt), 1000) << "stop waited for the thread until its time-out";
  EXPECT_EQ(Access::BufferSwitchThread(d), nullptr) << "the thread ended within stop's wait";
  EXPECT_EQ(Access::State(d), CKelAsioDriver::kPrepared);
  EXPECT_EQ(Access::RenderPin(d)->State(), KSSTATE_STOP);
  EXPECT_EQ(Access::CapturePin(d)->State(), KSSTATE_STOP);
  EXPECT_EQ(driver_->stop(), ASE_NotPresent) << "not running";
  // outputReady outside Running sends nothing and still succeeds.
  const size_t readies = recorder_.Asio(KSPROPERTY_ASIO_OUTPUT_READY).size();
  EXPECT_EQ(driver_->outputReady(), ASE_OK);
  EXPECT_EQ(recorder_.Asio(KSPROPERTY_ASIO_OUTPUT_READY).size(), readies);

  // Again, on the same buffers.
  const long before = host_.Switches();
  ASSERT_EQ(driver_->start(), ASE_OK);
  ASSERT_TRUE(host_.WaitForSwitches(before + 20)) << "after restart: " << host_.Switches() - before;
  EXPECT_EQ(driver_->stop(), ASE_OK);
  EXPECT_EQ(host_.ResetRequests(), 0);

  EXPECT_EQ(driver_->disposeBuffers(), ASE_OK);
  EXPECT_EQ(platform::UserMappingCount(process_), 0u) << "the pins are closed";
  EXPECT_EQ(driver_->start(), ASE_NotPresent) << "no buffers";
}

TEST_F(AsioDriverStreaming, OutputReadyFailureIsOnlyTraced) {
  Prepare(256, false);
  recorder_.FailWhen([](const RecordedRequest& r) {
    return kslib::SameGuid(r.set, KSPROPSETID_AsioChannel) && r.id == KSPROPERTY_ASIO_OUTPUT_READY;
  });
  ASSERT_EQ(driver_->start(), ASE_OK);
  // The kernel took each notice; only its reply failed. The host hears
  // ASE_OK every time and the stream goes on.
  ASSERT_TRUE(host_.WaitForSwitches(10));
  EXPECT_EQ(host_.OutputReadyErrors(), 0);
  EXPECT_GE(recorder_.Asio(KSPROPERTY_ASIO_OUTPUT_READY).size(), 10u);
  recorder_.FailWhen(nullptr);
  EXPECT_EQ(driver_->stop(), ASE_OK);
  EXPECT_EQ(driver_->disposeBuffers(), ASE_OK);
}

TEST_F(AsioDriverStreaming, StartIsRefusedWithoutBuffersOrTransportAndUndoneWhenAPinFails) {
  CKelAsioDriver& d = Driver();
  EXPECT_EQ(driver_->start(), ASE_NotPresent) << "initialised, no buffers";
  Prepare();

  // The transport-mode request refused: nothing starts.
  recorder_.FailWhen([](const RecordedRequest& r) {
    return kslib::SameGuid(r.set, KSPROPSETID_AsioChannel) && r.id == KSPROPERTY_ASIO_DSD_MODE;
  });
  EXPECT_EQ(driver_->start(), ASE_NotPresent);
  EXPECT_EQ(Access::State(d), CKelAsioDriver::kPrepared);
  EXPECT_EQ(Access::BufferSwitchThread(d), nullptr);

  // The capture pin never reaches RUN: ten attempts, then everything is
  // stopped again and the host hears of a malfunction.
  recorder_.FailWhen([](const RecordedRequest& r) {
    ULONG state = 0;
    if (r.value.size() >= sizeof(state)) std::memcpy(&state, r.value.data(), sizeof(state));
    return kslib::SameGuid(r.set, kslib::kPropSetConnection) && r.id == kslib::kConnectionState &&
           r.flags == kslib::kPropertySet && state == KSSTATE_RUN && r.isPin;
  });
  recorder_.Clear();
  EXPECT_EQ(driver_->start(), ASE_HWMalfunction);
  EXPECT_EQ(recorder_.StateRequests(KSSTATE_RUN), 10u) << "the render pin's RUN is the first to fail";
  recorder_.FailWhen(nullptr);
  EXPECT_EQ(Access::State(d), CKelAsioDriver::kPrepared);
  EXPECT_EQ(Access::BufferSwitchThread(d), nullptr);
  EXPECT_EQ(Access::RenderPin(d)->State(), KSSTATE_STOP);
  EXPECT_EQ(Access::CapturePin(d)->State(), KSSTATE_STOP);

  // No thread can be made: nothing would ever call the host, so start
  // fails and leaves the driver Prepared with the pins stopped.
  platform::win32::FailNextThreadCreations(1);
  EXPECT_EQ(driver_->start(), ASE_NoMemory);
  platform::win32::FailNextThreadCreations(0);
  EXPECT_EQ(Access::State(d), CKelAsioDriver::kPrepared);
  EXPECT_EQ(Access::RenderPin(d)->State(), KSSTATE_STOP);
  EXPECT_EQ(driver_->stop(), ASE_NotPresent);

  // A rate change while Prepared leaves buffers that no longer fit: start
  // is refused until they are given back.
  ASSERT_EQ(driver_->setSampleRate(96000), ASE_OK);
  EXPECT_EQ(Access::ConfigChanged(d), 1u);
  EXPECT_EQ(driver_->start(), ASE_NotPresent);
  EXPECT_EQ(driver_->disposeBuffers(), ASE_OK);
  EXPECT_EQ(Access::ConfigChanged(d), 0u);
  EXPECT_EQ(Access::SampleRate(d), 96000u);
  EXPECT_EQ(StoredRate(), 96000u);
}

TEST_F(AsioDriverStreaming, RateChangeWhileRunningReformatsThePinsAndRestarts) {
  Prepare();
  CKelAsioDriver& d = Driver();
  ASSERT_EQ(driver_->start(), ASE_OK);
  ASSERT_TRUE(host_.WaitForSwitches(10));

  ASSERT_EQ(driver_->setSampleRate(96000), ASE_OK);
  EXPECT_EQ(Access::State(d), CKelAsioDriver::kRunning);
  EXPECT_EQ(Access::SampleRate(d), 96000u);
  EXPECT_EQ(StoredRate(), 96000u);
  ASIOSampleRate rate = 0;
  EXPECT_EQ(driver_->getSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 96000.0);
  EXPECT_EQ(Access::CapturePin(d)->LastWaveFormat()->nSamplesPerSec, 96000u);
  EXPECT_EQ(Access::RenderPin(d)->LastWaveFormat()->nSamplesPerSec, 96000u);
  EXPECT_EQ(Access::CapturePin(d)->LastWaveFormat()->wBitsPerSample, 24) << "each pin keeps its container";
  EXPECT_EQ(Access::RenderPin(d)->LastWaveFormat()->wBitsPerSample, 32);
  const long before = host_.Switches();
  ASSERT_TRUE(host_.WaitForSwitches(before + 20)) << "switches after the change: " << host_.Switches() - before;
  EXPECT_EQ(host_.ResetRequests(), 0);

  // The kernel refuses the next rate: the host is asked to reset instead of
  // being told the stream runs at a rate it does not run at.
  recorder_.FailWhen([](const RecordedRequest& r) {
    return kslib::SameGuid(r.set, kslib::kPropSetConnection) && r.id == kslib::kConnectionDataFormat;
  });
  ASSERT_EQ(driver_->setSampleRate(44100), ASE_OK);
  recorder_.FailWhen(nullptr);
  EXPECT_EQ(host_.ResetRequests(), 1);
  EXPECT_EQ(Access::SampleRate(d), 96000u);
  EXPECT_EQ(driver_->getSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 44100.0) << "the pending rate";

  driver_->stop();
  EXPECT_EQ(driver_->disposeBuffers(), ASE_OK);
}

TEST_F(AsioDriverStreaming, StopFromInsideTheHostsCallbacksDoesNotWaitForItself) {
  Prepare();
  CKelAsioDriver& d = Driver();
  std::atomic<long long> stopMs{-1};
  std::atomic<ASIOError> stopResult{ASE_OK};
  host_.onSwitch = [&](long n) {
    if (n != 20) return;
    const Clock::time_point t = Clock::now();
    stopResult = driver_->stop();
    stopMs = MsSince(t);
  };
  ASSERT_EQ(driver_->start(), ASE_OK);
  ASSERT_TRUE(host_.WaitFor([&] { return stopMs.load() >= 0; })) << "switches: " << host_.Switches();
  EXPECT_EQ(stopResult.load(), ASE_OK);
  EXPECT_LT(stopMs.load(), kSelfStopLimitMs) << "stop inside bufferSwitch waited for its own thread";
  EXPECT_EQ(Access::State(d), CKelAsioDriver::kPrepared);
  host_.onSwitch = nullptr;

  // A reset request answered with stop inside asioMessage, as hosts do: a
  // device error in the render header makes the thread ask.
  ASSERT_EQ(driver_->start(), ASE_OK) << "the stopped thread is gone or given up";
  ASSERT_TRUE(host_.WaitForSwitches(host_.Switches() + 5));
  stopMs = -1;
  host_.onReset = [&] {
    if (stopMs.load() >= 0) return;
    const Clock::time_point t = Clock::now();
    stopResult = driver_->stop();
    stopMs = MsSince(t);
  };
  AsioHeaderStore(&Access::OutputHeader(d)->streamError, 0xC000000Eu);
  ASSERT_TRUE(host_.WaitFor([&] { return stopMs.load() >= 0; }));
  EXPECT_EQ(stopResult.load(), ASE_OK);
  EXPECT_LT(stopMs.load(), kSelfStopLimitMs) << "stop inside asioMessage waited for its own thread";
  EXPECT_EQ(Access::State(d), CKelAsioDriver::kPrepared);
  host_.onReset = nullptr;
  AsioHeaderStore(&Access::OutputHeader(d)->streamError, 0u);

  // Disposing waits for the thread that was left to end by itself.
  EXPECT_EQ(driver_->disposeBuffers(), ASE_OK);
  EXPECT_EQ(Access::BufferSwitchThread(d), nullptr);
}

TEST_F(AsioDriverStreaming, ResetHandledInsideAsioMessageGivesEverythingBack) {
  // A host that answers the reset request at once, inside asioMessage on
  // the buffer-switch thread: stop and disposeBuffers there, then later a
  // new set of buffers from its own thread.
  Prepare();
  CKelAsioDriver& d = Driver();
  std::atomic<long long> handledMs{-1};
  std::atomic<ASIOError> stopResult{ASE_NotPresent};
  std::atomic<ASIOError> disposeResult{ASE_NotPresent};
  host_.onReset = [&] {
    if (handledMs.load() >= 0) return;
    const Clock::time_point t = Clock::now();
    stopResult = driver_->stop();
    disposeResult = driver_->disposeBuffers();
    handledMs = MsSince(t);
  };
  ASSERT_EQ(driver_->start(), ASE_OK);
  ASSERT_TRUE(host_.WaitForSwitches(5));
  AsioHeaderStore(&Access::OutputHeader(d)->streamError, 0xC000009Du);
  ASSERT_TRUE(host_.WaitFor([&] { return handledMs.load() >= 0; }));
  EXPECT_EQ(stopResult.load(), ASE_OK);
  EXPECT_EQ(disposeResult.load(), ASE_OK);
  EXPECT_LT(handledMs.load(), kSelfStopLimitMs);
  // The thread leaves its loop once the callback returned.
  HANDLE thread = Access::BufferSwitchThread(d);
  if (thread != nullptr) {
    EXPECT_EQ(::WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  }
  EXPECT_EQ(Access::State(d), CKelAsioDriver::kInitialized);
  EXPECT_EQ(platform::UserMappingCount(process_), 0u);
  host_.onReset = nullptr;

  const long before = host_.Switches();
  Prepare();
  ASSERT_EQ(driver_->start(), ASE_OK);
  ASSERT_TRUE(host_.WaitForSwitches(before + 10));
  EXPECT_EQ(driver_->stop(), ASE_OK);
  EXPECT_EQ(Access::BufferSwitchThread(d), nullptr);
  EXPECT_EQ(driver_->disposeBuffers(), ASE_OK);
}

TEST_F(AsioDriverStreaming, StopInsideTheCallbackWhileTheHostThreadStopsToo) {
  Prepare();
  CKelAsioDriver& d = Driver();
  std::atomic<long long> stopMs{-1};
  std::atomic<bool> sawStopEvent{false};
  HANDLE inCallback = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(inCallback, nullptr);
  host_.onSwitch = [&](long n) {
    if (n != 10) return;
    // Hold the switch until the host thread's stop has taken the API mutex
    // and signalled the stop event (it then waits for this thread), then
    // stop from here as well.
    ::SetEvent(inCallback);
    sawStopEvent = ::WaitForSingleObject(Access::StopEvent(d), 10000) == WAIT_OBJECT_0;
    const Clock::time_point t = Clock::now();
    driver_->stop();
    stopMs = MsSince(t);
  };
  ASSERT_EQ(driver_->start(), ASE_OK);
  ASSERT_EQ(::WaitForSingleObject(inCallback, 20000), WAIT_OBJECT_0) << "switches: " << host_.Switches();
  ::CloseHandle(inCallback);
  const Clock::time_point t = Clock::now();
  EXPECT_EQ(driver_->stop(), ASE_OK);
  const long long hostStopMs = MsSince(t);
  ASSERT_TRUE(host_.WaitFor([&] { return stopMs.load() >= 0; }));
  EXPECT_TRUE(sawStopEvent.load());
  EXPECT_LT(stopMs.load(), kSelfStopLimitMs) << "the callback's stop waited for the host thread's";
  EXPECT_LT(hostStopMs, 1000) << "the host thread's stop ran into its time-out";
  EXPECT_EQ(Access::BufferSwitchThread(d), nullptr);
  EXPECT_EQ(Access::State(d), CKelAsioDriver::kPrepared);
  host_.onSwitch = nullptr;
  EXPECT_EQ(driver_->disposeBuffers(), ASE_OK);
}

TEST_F(AsioDriverStreaming, RateChangeFromInsideTheCallbackKeepsStreaming) {
  Prepare();
  CKelAsioDriver& d = Driver();
  std::atomic<ASIOError> result{ASE_NotPresent};
  std::atomic<bool> changed{false};
  host_.onSwitch = [&](long n) {
    if (n != 10) return;
    result = driver_->setSampleRate(96000);
    changed = true;
  };
  ASSERT_EQ(driver_->start(), ASE_OK);
  ASSERT_TRUE(host_.WaitFor([&] { return changed.load(); }));
  EXPECT_EQ(result.load(), ASE_OK);
  // The stream goes on at the new rate on a new thread; the old one left.
  ASSERT_TRUE(host_.WaitForSwitches(40)) << "switches: " << host_.Switches();
  EXPECT_EQ(host_.ResetRequests(), 0);
  EXPECT_EQ(Access::State(d), CKelAsioDriver::kRunning);
  EXPECT_EQ(Access::RenderPin(d)->LastWaveFormat()->nSamplesPerSec, 96000u);
  EXPECT_EQ(host_.SwitchThreads().size(), 2u);
  host_.onSwitch = nullptr;
  EXPECT_EQ(driver_->stop(), ASE_OK);
  EXPECT_EQ(Access::BufferSwitchThread(d), nullptr);
  EXPECT_EQ(driver_->disposeBuffers(), ASE_OK);
}

}  // namespace
}  // namespace asiotest

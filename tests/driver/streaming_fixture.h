// The started driver on a device whose audio side runs in real time, with a
// client that plays through the "Wave" filter's render pin the way the
// Windows audio engine does (KS state changes, data through the port's
// cyclic buffer) and records from the capture pin. The platform runs as
// coarse as Windows: the default clock tick (15.625 ms; a test may pick the
// raised 1 ms), a little injected latency before work items, DPCs and USB
// completions, and the device completing its requests now inline, now
// later on the bus thread.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/runtime/pool_tags.h"
#include "platform/kernel/host_timing.h"
#include "platform/kernel/portcls_host.h"
#include "platform/kernel/verifier.h"
#include "tests/driver/started_driver_fixture.h"
#include "tests/support/ks_requests.h"

namespace drivertest {

constexpr std::chrono::milliseconds kStreamTimeout{20000};

// Whether the device's FIFO level may be held against the driver: under
// ThreadSanitizer the driver's threads run many times slower than the
// device's real-time clock, so only timing-independent results count.
#if defined(__SANITIZE_THREAD__)
constexpr bool kRealTimeChecks = false;
#else
constexpr bool kRealTimeChecks = true;
#endif

struct PcmFormat {
  WORD channels;
  WORD bits;
  ULONG rate;
  ULONG FrameBytes() const { return channels * bits / 8u; }
};

// A client signal in which every sample differs from its neighbours, so a
// lost, repeated or reordered frame shows.
inline std::vector<uint8_t> CountingSignal(const PcmFormat& format, size_t frames) {
  std::vector<uint8_t> data(frames * format.FrameBytes());
  uint32_t x = 0x12345u;
  for (size_t i = 0; i < data.size(); ++i) {
    x = x * 1103515245u + 12345u;
    data[i] = static_cast<uint8_t>(x >> 16);
  }
  return data;
}

// 16-bit stereo frames that carry their own index (1-based; 0 is silence),
// so the order of whatever the device played can be checked.
inline std::vector<uint8_t> IndexedSignal(size_t frames) {
  std::vector<uint8_t> data(frames * 4);
  for (size_t i = 0; i < frames; ++i) {
    const uint32_t index = static_cast<uint32_t>(i + 1);
    std::memcpy(&data[i * 4], &index, 4);
  }
  return data;
}

// The indices of the played frames of an IndexedSignal, silence skipped.
inline std::vector<uint32_t> PlayedIndices(const std::vector<uint8_t>& played) {
  std::vector<uint32_t> indices;
  for (size_t i = 0; i + 4 <= played.size(); i += 4) {
    uint32_t index;
    std::memcpy(&index, &played[i], 4);
    if (index != 0) indices.push_back(index);
  }
  return indices;
}

// How the platform and the device run under a streaming test.
struct HostTiming {
  std::chrono::nanoseconds tick = platform::kDefaultClockTick;
  std::chrono::microseconds latency{200};
  sim::CompletionMode completion = sim::CompletionMode::Mixed;
};

// The raised timer resolution, as when an application asked for 1 ms.
inline HostTiming FineTick() {
  HostTiming t;
  t.tick = platform::kFineClockTick;
  return t;
}

class StreamingTest : public DriverOnBusTest {
 protected:
  void SetUp() override {
    DriverOnBusTest::SetUp();
    UseTiming(HostTiming{});
  }

  void TearDown() override {
    DriverOnBusTest::TearDown();
    platform::ResetHostTiming();
  }

  // For the rest of the test; the completion mode applies to devices
  // attached from here on.
  void UseTiming(const HostTiming& timing) {
    timing_ = timing;
    platform::SetClockTick(timing.tick);
    platform::SetInjectedLatency(timing.latency);
  }

  // The device's audio side, completing requests as the timing says.
  void AttachStreaming(const sim::StreamingOptions& options = {}) {
    DriverOnBusTest::AttachStreaming(options);
    device_->SetCompletionMode(timing_.completion);
  }

  void StartOn(const char* profile, const sim::StreamingOptions& options = {}) {
    Unplug();
    ASSERT_NO_FATAL_FAILURE(PlugIn(profile));
    AttachStreaming(options);
    ASSERT_EQ(LoadAddStart(), STATUS_SUCCESS);
    filter_ = OpenFilter();
    ASSERT_NE(filter_, nullptr);
  }

  // The streaming pin of a direction: a sink pin, dataflow in for render.
  ULONG StreamingPin(bool capture) {
    ULONG count = 0;
    EXPECT_EQ(Request(filter_, ks_requests::Property(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET),
                      &count, sizeof count),
              STATUS_SUCCESS);
    for (ULONG id = 0; id < count; ++id) {
      KSP_PIN property{};
      property.Property = ks_requests::Property(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, KSPROPERTY_TYPE_GET);
      property.PinId = id;
      KSPIN_DATAFLOW flow{};
      if (Request(filter_, property, &flow, sizeof flow) != STATUS_SUCCESS) continue;
      property.Property.Id = KSPROPERTY_PIN_COMMUNICATION;
      KSPIN_COMMUNICATION communication{};
      if (Request(filter_, property, &communication, sizeof communication) != STATUS_SUCCESS) continue;
      if (communication == KSPIN_COMMUNICATION_SINK && (flow == KSPIN_DATAFLOW_OUT) == capture) return id;
    }
    ADD_FAILURE() << "no " << (capture ? "capture" : "render") << " pin";
    return 0;
  }

  NTSTATUS OpenPin(bool capture, const PcmFormat& format, HANDLE* pin) {
    const std::vector<UCHAR> connect =
        ks_requests::PcmPinConnect(StreamingPin(capture), format.channels, format.bits, format.rate);
    *pin = nullptr;
    const NTSTATUS status = platform::KsCreatePin(filter_, connect.data(), static_cast<ULONG>(connect.size()), pin);
    if (*pin) handles_.push_back(*pin);
    return status;
  }

  NTSTATUS SetPinState(HANDLE pin, KSSTATE state) {
    return Request(pin,
                   ks_requests::Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET),
                   &state, sizeof state);
  }

  // STOP → ACQUIRE → PAUSE → RUN, or the first failing step's status.
  NTSTATUS Run(HANDLE pin) {
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
      const NTSTATUS status = SetPinState(pin, state);
      if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
  }

  // Device bytes the device has played so far.
  size_t PlayedBytes() { return streaming_->PlayedAudio().size(); }

  bool WaitForPlayed(size_t bytes) { return streaming_->WaitForPlayedBytes(bytes, kStreamTimeout); }

  // Reads at least `bytes` recorded bytes from a capture pin, waiting for the
  // port's service passes (never sleeping).
  std::vector<uint8_t> Record(HANDLE pin, size_t bytes) {
    std::vector<uint8_t> data;
    const auto deadline = std::chrono::steady_clock::now() + kStreamTimeout;
    while (data.size() < bytes && std::chrono::steady_clock::now() < deadline) {
      platform::PortPinInfo info;
      if (!NT_SUCCESS(platform::PortPinInfoOf(pin, &info))) break;
      std::vector<uint8_t> chunk(65536);
      size_t read = 0;
      EXPECT_EQ(platform::PortPinRead(pin, chunk.data(), chunk.size(), &read), STATUS_SUCCESS);
      data.insert(data.end(), chunk.begin(), chunk.begin() + read);
      if (read == 0) platform::PortPinWaitForService(pin, info.services, 1000);
    }
    return data;
  }

  // Every sample follows its predecessor on the device's capture ramp (mod
  // 2^bits); returns the index of the first that does not, or the sample count.
  static size_t FirstBreakInRamp(const std::vector<uint8_t>& data, uint32_t bits) {
    const uint32_t s = bits / 8;
    const uint64_t mask = (1ull << bits) - 1;
    uint64_t previous = 0;
    for (size_t i = 0; i + s <= data.size(); i += s) {
      uint64_t v = 0;
      for (uint32_t b = 0; b < s; ++b) v |= static_cast<uint64_t>(data[i + b]) << (8 * b);
      if (i != 0 && v != ((previous + 1) & mask)) return i / s;
      previous = v;
    }
    return data.size() / s;
  }

  HANDLE filter_ = nullptr;
  HostTiming timing_;
};

}  // namespace drivertest

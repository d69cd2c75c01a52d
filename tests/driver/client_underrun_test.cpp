// A client that runs dry in the middle of a stream and then resumes: the
// port fills its buffer with silence meanwhile (the device runs dry: the
// client is late, not the driver), every packet the driver sends is whole
// and sized by feedback, and the audio before and after the gap plays
// exactly, in order, without a lost, repeated, inserted or changed frame.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>

#include "tests/driver/streaming_fixture.h"

namespace drivertest {
namespace {

constexpr PcmFormat kStudio{2, 16, 48000};

class ClientUnderrunStreamingTest : public StreamingTest {};

TEST_F(ClientUnderrunStreamingTest, AudioResumedAfterAClientGapPlaysExactlyInWholePackets) {
  ASSERT_NO_FATAL_FAILURE(StartOn("default"));
  // Bytes per (micro)frame packet of every render transfer the driver sends.
  std::mutex mutex;
  std::vector<ULONG> packetBytes;
  device_->SetUrbHook([&](PURB urb, NTSTATUS*) {
    if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) return false;
    const auto& iso = urb->UrbIsochronousTransfer;
    if ((iso.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) return false;
    std::lock_guard<std::mutex> lock(mutex);
    for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
      const ULONG end = i + 1 < iso.NumberOfPackets ? iso.IsoPacket[i + 1].Offset : iso.TransferBufferLength;
      packetBytes.push_back(end - iso.IsoPacket[i].Offset);
    }
    return false;
  });

  // 0.4 s of audio, a gap of a tenth of a second or more with nothing
  // written, then 0.4 s more: every frame carries its index.
  // Not a whole number of transfers, so the client runs dry inside one.
  const size_t first = kStudio.rate * 2 / 5 + 77;
  const std::vector<uint8_t> all = IndexedSignal(2 * first);
  const size_t half = first * kStudio.FrameBytes();
  HANDLE pin = nullptr;
  ASSERT_EQ(OpenPin(false, kStudio, &pin), STATUS_SUCCESS);
  ASSERT_EQ(platform::PortPinWrite(pin, all.data(), half), STATUS_SUCCESS);
  ASSERT_EQ(Run(pin), STATUS_SUCCESS);
  // The client is late: the port fills its buffer with silence (which the
  // driver does not play), the driver's request waits part filled, and the
  // port's position moves on.
  const ULONGLONG gapBytes = kStudio.rate / 10 * kStudio.FrameBytes();
  platform::PortPinInfo info{};
  for (;;) {
    ASSERT_EQ(platform::PortPinInfoOf(pin, &info), STATUS_SUCCESS);
    if (info.silenceBytes >= gapBytes) break;
    ASSERT_EQ(platform::PortPinWaitForService(pin, info.services, 10000), STATUS_SUCCESS) << "the stream stopped";
  }
  ASSERT_EQ(platform::PortPinWrite(pin, all.data() + half, half), STATUS_SUCCESS);
  const std::vector<uint8_t> tail(kStudio.rate / 5 * kStudio.FrameBytes(), 0);
  ASSERT_EQ(platform::PortPinWrite(pin, tail.data(), tail.size()), STATUS_SUCCESS);
  ASSERT_TRUE(WaitForPlayed(2 * half)) << "the stream did not go on after the client's gap: played " << PlayedBytes();
  Close(pin);

  // The device played the client's audio exactly: the first part, then
  // (after running dry while the client was late) the second, nothing lost,
  // repeated or changed.
  const std::vector<uint8_t> played = streaming_->PlayedAudio();
  ASSERT_GE(played.size(), 2 * half);
  const std::vector<uint32_t> indices = PlayedIndices(std::vector<uint8_t>(played.begin(), played.begin() + 2 * half));
  ASSERT_EQ(indices.size(), 2 * first) << "frames lost or silence inserted around the gap";
  for (size_t i = 0; i < indices.size(); ++i) {
    ASSERT_EQ(indices[i], i + 1) << "frame " << i;
  }
  EXPECT_EQ(0, std::memcmp(played.data(), all.data(), 2 * half)) << "the audio was changed";
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_GT(packetBytes.size(), 100u);
  // At 48 kHz every microframe carries 6 frames, one more or less by feedback.
  for (size_t i = 0; i < packetBytes.size(); ++i) {
    ASSERT_GE(packetBytes[i], 5u * kStudio.FrameBytes()) << "short packet " << i;
    ASSERT_LE(packetBytes[i], 7u * kStudio.FrameBytes()) << "long packet " << i;
  }
}

}  // namespace
}  // namespace drivertest

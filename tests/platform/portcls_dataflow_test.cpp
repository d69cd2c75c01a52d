// The port's data path: client bytes reach the render stream's cyclic
// buffer through CopyTo (prefilled at PAUSE, then up to the play position
// at every Notify, split at the buffer end), and recorded bytes leave the
// capture buffer through CopyFrom up to the record position, in order.
#include "platform/kernel/portcls_host.h"
#include "tests/platform/portcls_fixture.h"

namespace {

using namespace portcls_test;

class DataPath : public StartedPortclsTest {
 protected:
  UCHAR* StreamBuffer() {
    PDMACHANNEL dma = nullptr;
    EXPECT_EQ(Fake().lastStream->QueryInterface(IID_IDmaChannel, reinterpret_cast<PVOID*>(&dma)), STATUS_SUCCESS);
    UCHAR* base = static_cast<UCHAR*>(dma->SystemAddress());
    dma->Release();
    return base;
  }
  // The miniport's Notify queues the service DPC; returns once that pass ran.
  void Notify(HANDLE pin) {
    const ULONGLONG seen = Info(pin).services;
    Fake().port->Notify(Fake().serviceGroup);
    ASSERT_EQ(platform::PortPinWaitForService(pin, seen, 10000), STATUS_SUCCESS);
  }
  platform::PortPinInfo Info(HANDLE pin) {
    platform::PortPinInfo info;
    EXPECT_EQ(platform::PortPinInfoOf(pin, &info), STATUS_SUCCESS);
    return info;
  }
};

std::vector<UCHAR> Pattern(size_t n) {
  std::vector<UCHAR> p(n);
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<UCHAR>((i * 7 + i / 251) & 0xFF);
  return p;
}

TEST_F(DataPath, RenderBytesFillTheBufferUpToThePlayPosition) {
  HANDLE pin = nullptr;
  ASSERT_EQ(CreatePin(filter_, RenderConnect(), &pin), STATUS_SUCCESS);
  UCHAR* buffer = StreamBuffer();
  const ULONG size = Info(pin).bufferSize;
  ASSERT_EQ(size, 19200u);
  std::vector<UCHAR> data = Pattern(30000);
  ASSERT_EQ(platform::PortPinWrite(pin, data.data(), data.size()), STATUS_SUCCESS);
  EXPECT_EQ(Info(pin).bytesToBuffer, 0u);  // a stopped pin takes nothing

  ASSERT_EQ(SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);  // prefill
  EXPECT_EQ(Info(pin).bytesToBuffer, size);
  EXPECT_EQ(memcmp(buffer, data.data(), size), 0);

  ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  Fake().position = 4800;  // the device played 4800 bytes
  Notify(pin);
  EXPECT_EQ(Info(pin).bytesToBuffer, size + 4800u);
  EXPECT_EQ(memcmp(buffer, data.data() + size, 4800), 0);

  Fake().position = 100;  // wrapped: 14500 more bytes played, 6000 left to write
  Notify(pin);
  platform::PortPinInfo info = Info(pin);
  EXPECT_EQ(info.bytesToBuffer, 30000u);
  EXPECT_EQ(info.pendingClientBytes, 0u);
  EXPECT_EQ(info.position, 100u);
  EXPECT_EQ(memcmp(buffer + 4800, data.data() + 24000, 6000), 0);
  for (const auto& line : Fake().Log()) EXPECT_NE(line, "copy past the buffer end");
  size_t read = 0;
  EXPECT_EQ(platform::PortPinRead(pin, data.data(), 1, &read), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(DataPath, ALapPlayedWhilePausedIsNotPlayedAgainAfterRun) {
  HANDLE pin = nullptr;
  ASSERT_EQ(CreatePin(filter_, RenderConnect(), &pin), STATUS_SUCCESS);
  UCHAR* buffer = StreamBuffer();
  const ULONG size = Info(pin).bufferSize;
  std::vector<UCHAR> data = Pattern(60000);
  ASSERT_EQ(platform::PortPinWrite(pin, data.data(), data.size()), STATUS_SUCCESS);
  ASSERT_EQ(SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  Fake().position = 4800;
  Notify(pin);
  ASSERT_EQ(Info(pin).bytesToBuffer, size + 4800u);
  // Paused, the driver plays out the whole buffer, notifying as it goes,
  // and ends where it started.
  ASSERT_EQ(SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  Fake().position = 14400;
  Notify(pin);
  Fake().position = 4800;
  Notify(pin);
  EXPECT_EQ(Info(pin).bytesToBuffer, size + 4800u);  // nothing written while paused
  // RUN: the buffer holds nothing unplayed; the client's next bytes go in
  // at the play position instead of the old lap being played again.
  ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  Notify(pin);
  EXPECT_EQ(Info(pin).bytesToBuffer, 2 * size + 4800u);
  EXPECT_EQ(memcmp(buffer + 4800, data.data() + size + 4800, size - 4800), 0);
  EXPECT_EQ(memcmp(buffer, data.data() + 2 * size, 4800), 0);
}

TEST_F(DataPath, CaptureBytesLeaveTheBufferUpToTheRecordPositionInOrder) {
  HANDLE pin = nullptr;
  ASSERT_EQ(CreatePin(filter_, RenderConnect(48000, 2, 16, fake_audio::kCapturePin), &pin), STATUS_SUCCESS);
  EXPECT_EQ(Fake().Log()[0], "new stream pin 2 capture 48000");
  UCHAR* buffer = StreamBuffer();
  std::vector<UCHAR> recorded = Pattern(19200);
  memcpy(buffer, recorded.data(), recorded.size());
  ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);

  Fake().position = 19000;
  Notify(pin);
  std::vector<UCHAR> got(20000);
  size_t read = 0;
  ASSERT_EQ(platform::PortPinRead(pin, got.data(), got.size(), &read), STATUS_SUCCESS);
  ASSERT_EQ(read, 19000u);
  EXPECT_EQ(memcmp(got.data(), recorded.data(), read), 0);

  // The device wraps: the buffer's tail, then its head (rewritten meanwhile).
  memset(buffer, 0x5A, 500);
  Fake().position = 500;
  Notify(pin);
  ASSERT_EQ(platform::PortPinRead(pin, got.data(), got.size(), &read), STATUS_SUCCESS);
  ASSERT_EQ(read, 700u);
  EXPECT_EQ(memcmp(got.data(), recorded.data() + 19000, 200), 0);
  EXPECT_EQ(got[200], 0x5A);
  EXPECT_EQ(got[699], 0x5A);
  EXPECT_EQ(Info(pin).bytesFromBuffer, 19700u);
  for (const auto& line : Fake().Log()) EXPECT_NE(line, "copy past the buffer end");
}

}  // namespace

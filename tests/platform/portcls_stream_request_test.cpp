// KS stream requests on a wave-cyclic pin: a render request completes only
// once the play position has passed all its data; capture requests are
// filled up to the record position and complete when full, with DataUsed
// returned; a stopped pin refuses requests, a paused one queues (and
// prefills) them, STOP cancels what is queued; the audio position counts
// bytes from the stream's start for such a client.
#include <atomic>

#include "platform/kernel/portcls_host.h"
#include "tests/platform/portcls_fixture.h"

namespace {

using namespace portcls_test;

// One KS stream request in flight: its headers and how it ended.
struct StreamIo {
  KSSTREAM_HEADER headers[2] = {};
  ULONG count = 1;
  std::atomic<bool> done{false};
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  std::atomic<ULONG_PTR> information{0};
  static void Done(void* context, NTSTATUS status, ULONG_PTR information) {
    StreamIo* r = static_cast<StreamIo*>(context);
    r->status = status;
    r->information = information;
    r->done = true;
  }
  void Add(void* data, ULONG bytes, bool write) {
    KSSTREAM_HEADER& h = headers[count == 1 && headers[0].Size == 0 ? 0 : count++];
    h.Size = sizeof h;
    h.Data = data;
    h.FrameExtent = bytes;
    h.DataUsed = write ? bytes : 0;
  }
  NTSTATUS Send(HANDLE pin, bool write) {
    return platform::IoDeviceControlAsync(pin, write ? IOCTL_KS_WRITE_STREAM : IOCTL_KS_READ_STREAM, nullptr, 0,
                                          headers, count * sizeof(KSSTREAM_HEADER), Done, this);
  }
};

class StreamRequests : public StartedPortclsTest {
 protected:
  platform::PortPinInfo Info(HANDLE pin) {
    platform::PortPinInfo info;
    EXPECT_EQ(platform::PortPinInfoOf(pin, &info), STATUS_SUCCESS);
    return info;
  }
  void Service(HANDLE pin) {
    const ULONGLONG seen = Info(pin).services;
    Fake().port->Notify(Fake().serviceGroup);
    ASSERT_EQ(platform::PortPinWaitForService(pin, seen, 10000), STATUS_SUCCESS);
  }
  KSAUDIO_POSITION Position(HANDLE pin) {
    KSAUDIO_POSITION p{};
    EXPECT_EQ(Get(pin, Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION), &p), STATUS_SUCCESS);
    return p;
  }
  UCHAR* StreamBuffer() {
    PDMACHANNEL dma = nullptr;
    EXPECT_EQ(Fake().lastStream->QueryInterface(IID_IDmaChannel, reinterpret_cast<PVOID*>(&dma)), STATUS_SUCCESS);
    UCHAR* base = static_cast<UCHAR*>(dma->SystemAddress());
    dma->Release();
    return base;
  }
};

TEST_F(StreamRequests, ARenderRequestCompletesOnlyOnceThePositionPassedAllItsData) {
  HANDLE pin = nullptr;
  ASSERT_EQ(CreatePin(filter_, RenderConnect(), &pin), STATUS_SUCCESS);
  ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  std::vector<UCHAR> a(4000, 0xA1), b(3000, 0xB2), c(1000, 0xC3);
  StreamIo first, second;
  first.Add(a.data(), 4000, true);
  second.Add(b.data(), 3000, true);
  second.Add(c.data(), 1000, true);  // two headers: done when both have played
  ASSERT_EQ(first.Send(pin, true), STATUS_PENDING);
  ASSERT_EQ(second.Send(pin, true), STATUS_PENDING);
  Service(pin);
  UCHAR* buffer = StreamBuffer();
  EXPECT_EQ(buffer[0], 0xA1);
  EXPECT_EQ(buffer[4000], 0xB2);
  EXPECT_EQ(buffer[7999], 0xC3);
  EXPECT_FALSE(first.done);
  KSAUDIO_POSITION p = Position(pin);
  EXPECT_EQ(p.PlayOffset, 0u);
  EXPECT_EQ(p.WriteOffset, 8000u);

  Fake().position = 3999;
  Service(pin);
  EXPECT_FALSE(first.done);
  Fake().position = 4000;
  Service(pin);
  EXPECT_TRUE(first.done);
  EXPECT_EQ(first.status.load(), STATUS_SUCCESS);
  EXPECT_EQ(first.information.load(), sizeof(KSSTREAM_HEADER));
  EXPECT_FALSE(second.done);
  Fake().position = 7000;  // the first header of the second request has played, not the second
  Service(pin);
  EXPECT_FALSE(second.done);
  Fake().position = 8000;
  EXPECT_EQ(Position(pin).PlayOffset, 8000u);  // read at the query, before the next pass
  Service(pin);
  EXPECT_TRUE(second.done);
  EXPECT_EQ(second.information.load(), 2 * sizeof(KSSTREAM_HEADER));
  EXPECT_EQ(Info(pin).queuedRequests, 0u);
}

TEST_F(StreamRequests, StoppedPinsRefusePausedPinsQueueAndStopCancels) {
  HANDLE pin = nullptr;
  ASSERT_EQ(CreatePin(filter_, RenderConnect(), &pin), STATUS_SUCCESS);
  std::vector<UCHAR> data(2000, 0x5C);
  StreamIo refused;
  refused.Add(data.data(), 2000, true);
  EXPECT_EQ(refused.Send(pin, true), STATUS_INVALID_DEVICE_STATE);
  EXPECT_TRUE(refused.done);
  EXPECT_EQ(refused.status.load(), STATUS_INVALID_DEVICE_STATE);

  ASSERT_EQ(SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  StreamIo queued, later;
  queued.Add(data.data(), 2000, true);
  later.Add(data.data(), 2000, true);
  ASSERT_EQ(queued.Send(pin, true), STATUS_PENDING);
  ASSERT_EQ(later.Send(pin, true), STATUS_PENDING);
  EXPECT_EQ(Info(pin).bytesToBuffer, 4000u);  // a paused pin prefills its buffer
  EXPECT_EQ(StreamBuffer()[3999], 0x5C);
  EXPECT_EQ(Info(pin).queuedRequests, 2u);
  EXPECT_FALSE(queued.done);

  ASSERT_EQ(SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_TRUE(queued.done);
  EXPECT_TRUE(later.done);
  EXPECT_EQ(queued.status.load(), STATUS_CANCELLED);
  EXPECT_EQ(later.status.load(), STATUS_CANCELLED);
  EXPECT_EQ(Info(pin).queuedRequests, 0u);
  // A capture request on a render pin is not a request it takes.
  StreamIo wrongWay;
  wrongWay.Add(data.data(), 2000, false);
  EXPECT_EQ(wrongWay.Send(pin, false), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(StreamRequests, ClosingAPinCancelsItsRequests) {
  HANDLE pin = nullptr;
  ASSERT_EQ(CreatePin(filter_, RenderConnect(), &pin), STATUS_SUCCESS);
  ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  std::vector<UCHAR> data(30000, 0x11);  // more than the buffer takes
  StreamIo r;
  r.Add(data.data(), 30000, true);
  ASSERT_EQ(r.Send(pin, true), STATUS_PENDING);
  Service(pin);
  EXPECT_FALSE(r.done);
  Close(pin);
  EXPECT_TRUE(r.done);
  EXPECT_EQ(r.status.load(), STATUS_CANCELLED);
}

TEST_F(StreamRequests, CaptureRequestsFillUpToTheRecordPositionAndCompleteWhenFull) {
  HANDLE pin = nullptr;
  ASSERT_EQ(CreatePin(filter_, RenderConnect(48000, 2, 16, fake_audio::kCapturePin), &pin), STATUS_SUCCESS);
  UCHAR* buffer = StreamBuffer();
  for (ULONG i = 0; i < 19200; ++i) buffer[i] = static_cast<UCHAR>(i * 13);
  ASSERT_EQ(SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  std::vector<UCHAR> a(1000, 0), b(1000, 0);
  StreamIo r;
  r.Add(a.data(), 1000, false);
  r.Add(b.data(), 1000, false);
  r.headers[0].DataUsed = r.headers[1].DataUsed = 77;  // the port sets it
  ASSERT_EQ(r.Send(pin, false), STATUS_PENDING);
  Fake().position = 1500;
  Service(pin);
  EXPECT_FALSE(r.done);
  KSAUDIO_POSITION p = Position(pin);
  EXPECT_EQ(p.PlayOffset, 1500u);
  EXPECT_EQ(p.WriteOffset, 1500u);
  Fake().position = 2600;
  Service(pin);
  ASSERT_TRUE(r.done);
  EXPECT_EQ(r.status.load(), STATUS_SUCCESS);
  EXPECT_EQ(r.headers[0].DataUsed, 1000u);
  EXPECT_EQ(r.headers[1].DataUsed, 1000u);
  for (ULONG i = 0; i < 1000; ++i) {
    ASSERT_EQ(a[i], static_cast<UCHAR>(i * 13)) << i;
    ASSERT_EQ(b[i], static_cast<UCHAR>((i + 1000) * 13)) << i;
  }
  // Nothing took the last 600 bytes: lost, as the client was late.
  EXPECT_EQ(Info(pin).droppedCaptureBytes, 600u);
}

}  // namespace

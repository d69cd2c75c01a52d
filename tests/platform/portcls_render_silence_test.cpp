// The render side of the port's service routine where the client has no
// data: the buffer up to the play position holds the stream's silence, which
// never goes through CopyTo, is rewritten only where the play position freed
// client data, and client data that comes later starts at the play position.
// And the client's wait for the port's progress.
#include <thread>

#include "platform/kernel/portcls_host.h"
#include "tests/platform/portcls_fixture.h"

namespace {

using namespace portcls_test;

class RenderSilence : public StartedPortclsTest {
 protected:
  void SetUp() override {
    StartedPortclsTest::SetUp();
    ASSERT_EQ(CreatePin(filter_, RenderConnect(), &pin_), STATUS_SUCCESS);
    PDMACHANNEL dma = nullptr;
    ASSERT_EQ(Fake().lastStream->QueryInterface(IID_IDmaChannel, reinterpret_cast<PVOID*>(&dma)), STATUS_SUCCESS);
    buffer_ = static_cast<UCHAR*>(dma->SystemAddress());
    size_ = dma->BufferSize();
    dma->Release();
    memset(buffer_, 0x5A, size_);  // anything the port leaves alone stays 0x5A
  }
  platform::PortPinInfo Info() {
    platform::PortPinInfo info;
    EXPECT_EQ(platform::PortPinInfoOf(pin_, &info), STATUS_SUCCESS);
    return info;
  }
  // The miniport's Notify queues the service DPC; returns once that pass ran.
  void Notify() {
    const ULONGLONG seen = Info().services;
    Fake().port->Notify(Fake().serviceGroup);
    ASSERT_EQ(platform::PortPinWaitForService(pin_, seen, 10000), STATUS_SUCCESS);
  }
  // Bytes [from, from + n) of the buffer (cyclic) all equal value.
  bool All(ULONG from, ULONG n, UCHAR value) {
    for (ULONG i = 0; i < n; ++i)
      if (buffer_[(from + i) % size_] != value) return false;
    return true;
  }

  HANDLE pin_ = nullptr;
  UCHAR* buffer_ = nullptr;
  ULONG size_ = 0;
};

TEST_F(RenderSilence, TheBufferBeyondClientDataIsSilencedWithoutBeingQueued) {
  std::vector<UCHAR> data(3000, 0x11);
  ASSERT_EQ(platform::PortPinWrite(pin_, data.data(), data.size()), STATUS_SUCCESS);
  ASSERT_EQ(SetPinState(pin_, KSSTATE_PAUSE), STATUS_SUCCESS);
  platform::PortPinInfo info = Info();
  EXPECT_EQ(info.bytesToBuffer, 3000u);  // only client data goes through CopyTo
  EXPECT_EQ(info.queuedBytes, 3000u);
  EXPECT_EQ(info.silenceBytes, size_ - 3000u);
  EXPECT_TRUE(All(0, 3000, 0x11));
  EXPECT_TRUE(All(3000, size_ - 3000, 0x00));

  // Nothing new from the client: a service rewrites nothing that is still silent.
  ASSERT_EQ(SetPinState(pin_, KSSTATE_RUN), STATUS_SUCCESS);
  memset(buffer_ + 10000, 0x77, 4);  // a marker in the silent part
  Notify();
  EXPECT_EQ(Info().silenceBytes, size_ - 3000u);
  EXPECT_EQ(buffer_[10000], 0x77);

  // The device played 1000 client bytes: exactly those are silenced, once.
  Fake().position = 1000;
  Notify();
  info = Info();
  EXPECT_EQ(info.silenceBytes, size_ - 3000u + 1000u);
  EXPECT_EQ(info.queuedBytes, 2000u);
  EXPECT_TRUE(All(0, 1000, 0x00));
  EXPECT_TRUE(All(1000, 2000, 0x11));

  // The pump ran dry and moved the position on through the silence: the
  // played client data becomes silence, what lies ahead is not rewritten,
  // and new client data starts at the play position.
  Fake().position = 5000;
  Notify();
  info = Info();
  EXPECT_EQ(info.queuedBytes, 0u);
  EXPECT_TRUE(All(1000, 2000, 0x00));
  EXPECT_EQ(buffer_[10000], 0x77);
  EXPECT_LE(info.silenceBytes, size_ - 3000u + 1000u + 4000u);
  const ULONGLONG silenced = info.silenceBytes;
  std::vector<UCHAR> more(500, 0x22);
  ASSERT_EQ(platform::PortPinWrite(pin_, more.data(), more.size()), STATUS_SUCCESS);
  Notify();  // a running pin takes it at its next service pass
  info = Info();
  EXPECT_EQ(info.bytesToBuffer, 3500u);
  EXPECT_EQ(info.queuedBytes, 500u);
  EXPECT_EQ(info.silenceBytes, silenced);
  EXPECT_TRUE(All(5000, 500, 0x22));
  EXPECT_TRUE(All(5500, 4500, 0x00));
}

TEST_F(RenderSilence, AFullBufferGetsNoSilenceAndWrappingSilenceStaysInside) {
  std::vector<UCHAR> data(size_ + 100, 0x33);
  ASSERT_EQ(platform::PortPinWrite(pin_, data.data(), data.size()), STATUS_SUCCESS);
  ASSERT_EQ(SetPinState(pin_, KSSTATE_RUN), STATUS_SUCCESS);
  platform::PortPinInfo info = Info();
  EXPECT_EQ(info.silenceBytes, 0u);
  EXPECT_EQ(info.pendingClientBytes, 100u);

  // Played up to 200 bytes before the end: the last 100 client bytes go to
  // the buffer start, silence follows up to the play position.
  Fake().position = size_ - 200;
  Notify();
  info = Info();
  EXPECT_EQ(info.bytesToBuffer, size_ + 100u);
  EXPECT_EQ(info.silenceBytes, size_ - 300u);
  EXPECT_TRUE(All(0, 100, 0x33));
  EXPECT_TRUE(All(100, size_ - 300, 0x00));
  EXPECT_TRUE(All(size_ - 200, 200, 0x33));

  // The position wraps to 50: the freed bytes on both sides of the buffer
  // end are silenced, the 50 client bytes still ahead are not.
  Fake().position = 50;
  Notify();
  info = Info();
  EXPECT_EQ(info.queuedBytes, 50u);
  EXPECT_EQ(info.silenceBytes, size_ - 300u + 250u);
  EXPECT_TRUE(All(100, size_ - 100 + 50, 0x00));
  EXPECT_TRUE(All(50, 50, 0x33));

  // Back to STOP forgets the buffer: the next prefill silences it all again.
  ASSERT_EQ(SetPinState(pin_, KSSTATE_STOP), STATUS_SUCCESS);
  Fake().position = 0;
  memset(buffer_, 0x5A, size_);
  ASSERT_EQ(SetPinState(pin_, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_TRUE(All(0, size_, 0x00));
}

TEST_F(RenderSilence, AClientWaitsForTheNextServiceInsteadOfPolling) {
  ASSERT_EQ(SetPinState(pin_, KSSTATE_RUN), STATUS_SUCCESS);
  const ULONGLONG seen = Info().services;
  EXPECT_EQ(platform::PortPinWaitForService(pin_, seen, 20), STATUS_TIMEOUT);
  EXPECT_EQ(platform::PortPinWaitForService(nullptr, seen, 20), STATUS_INVALID_HANDLE);

  // A service from another thread (as the driver's threads notify) wakes it,
  // and the data it moved is visible when the wait returns.
  std::vector<UCHAR> data(100, 0x44);
  ASSERT_EQ(platform::PortPinWrite(pin_, data.data(), data.size()), STATUS_SUCCESS);
  Notify();
  const ULONGLONG before = Info().services;
  Fake().position = 60;
  std::thread notifier([] { fake_audio::Driver().port->Notify(fake_audio::Driver().serviceGroup); });
  EXPECT_EQ(platform::PortPinWaitForService(pin_, before, 10000), STATUS_SUCCESS);
  notifier.join();
  platform::PortPinInfo info = Info();
  EXPECT_EQ(info.services, before + 1);
  EXPECT_EQ(info.position, 60u);
  EXPECT_EQ(info.queuedBytes, 40u);
  // A service already finished satisfies a wait for it at once.
  EXPECT_EQ(platform::PortPinWaitForService(pin_, seen, 0), STATUS_SUCCESS);
}

TEST_F(RenderSilence, ServicesFromManyThreadsWhileTheClientWritesLoseNothing) {
  ASSERT_EQ(SetPinState(pin_, KSSTATE_RUN), STATUS_SUCCESS);
  std::atomic<bool> stop{false};
  std::vector<std::thread> drivers;
  for (int i = 0; i < 3; ++i) {
    drivers.emplace_back([&] {
      while (!stop.load()) fake_audio::Driver().port->Notify(fake_audio::Driver().serviceGroup);
    });
  }
  // The position never moves, so exactly one buffer's worth can go in.
  std::vector<UCHAR> chunk(97);
  for (ULONG written = 0; written < size_ + 1000; written += 97) {
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<UCHAR>((written + i) % 251);
    ASSERT_EQ(platform::PortPinWrite(pin_, chunk.data(), chunk.size()), STATUS_SUCCESS);
  }
  const ULONGLONG seen = Info().services;
  ASSERT_EQ(platform::PortPinWaitForService(pin_, seen, 10000), STATUS_SUCCESS);
  stop = true;
  for (std::thread& t : drivers) t.join();
  platform::PortPinInfo info = Info();
  EXPECT_EQ(info.bytesToBuffer, size_);
  EXPECT_EQ(info.silenceBytes, size_);  // silenced once before the first write
  for (ULONG i = 0; i < size_; ++i) ASSERT_EQ(buffer_[i], static_cast<UCHAR>(i % 251)) << i;
}

}  // namespace

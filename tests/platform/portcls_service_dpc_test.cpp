// The port's service routine runs as Windows runs it: the miniport's Notify
// queues the service group's DPC and returns; the pass runs on a DPC thread
// at DISPATCH_LEVEL under the port's spin lock; a Notify from inside CopyTo
// only queues the next pass; a closed pin is never serviced again.
#include <atomic>
#include <thread>

#include "platform/kernel/portcls_host.h"
#include "tests/platform/portcls_fixture.h"

namespace {

using namespace portcls_test;

class ServiceDpc : public StartedPortclsTest {
 protected:
  void SetUp() override {
    StartedPortclsTest::SetUp();
    ASSERT_EQ(CreatePin(filter_, RenderConnect(), &pin_), STATUS_SUCCESS);
  }
  platform::PortPinInfo Info() {
    platform::PortPinInfo info;
    EXPECT_EQ(platform::PortPinInfoOf(pin_, &info), STATUS_SUCCESS);
    return info;
  }
  void RawNotify() { Fake().port->Notify(Fake().serviceGroup); }
  HANDLE pin_ = nullptr;
};

TEST_F(ServiceDpc, CopyToRunsAtDispatchLevelOnADpcThreadAfterNotifyReturned) {
  ASSERT_EQ(SetPinState(pin_, KSSTATE_RUN), STATUS_SUCCESS);
  std::vector<UCHAR> data(4000, 0x31);
  ASSERT_EQ(platform::PortPinWrite(pin_, data.data(), data.size()), STATUS_SUCCESS);
  EXPECT_EQ(Fake().copies.load(), 0);  // a running pin takes data at its next service pass
  const ULONGLONG seen = Info().services;
  RawNotify();
  ASSERT_EQ(platform::PortPinWaitForService(pin_, seen, 10000), STATUS_SUCCESS);
  EXPECT_GT(Fake().copies.load(), 0);
  EXPECT_EQ(Fake().copiesNotAtDispatch.load(), 0);
  std::lock_guard<std::mutex> lock(Fake().lock);
  EXPECT_NE(Fake().copyThread, std::this_thread::get_id());
}

TEST_F(ServiceDpc, NotifyFromInsideCopyToQueuesTheNextPassInsteadOfReentering) {
  Fake().notifyInCopy = true;
  ASSERT_EQ(SetPinState(pin_, KSSTATE_RUN), STATUS_SUCCESS);
  std::vector<UCHAR> data(30000, 0x42);  // more than the buffer: the second pass finds no room
  ASSERT_EQ(platform::PortPinWrite(pin_, data.data(), data.size()), STATUS_SUCCESS);
  const ULONGLONG seen = Info().services;
  RawNotify();
  // The pass that copied, then the one its CopyTo asked for.
  ASSERT_EQ(platform::PortPinWaitForService(pin_, seen + 1, 10000), STATUS_SUCCESS);
  EXPECT_EQ(Fake().maxCopyDepth.load(), 1);
  EXPECT_EQ(Info().bytesToBuffer, 19200u);
}

TEST_F(ServiceDpc, AClosedPinIsNeverServicedAgainWhileTheDriverKeepsNotifying) {
  ASSERT_EQ(SetPinState(pin_, KSSTATE_RUN), STATUS_SUCCESS);
  std::atomic<bool> stop{false};
  std::thread driver([&] {
    while (!stop.load()) fake_audio::Driver().port->Notify(fake_audio::Driver().serviceGroup);
  });
  const ULONGLONG seen = Info().services;
  ASSERT_EQ(platform::PortPinWaitForService(pin_, seen + 2, 10000), STATUS_SUCCESS);
  Close(pin_);
  const int readsAtClose = Fake().positionReads.load();
  // Passes queued before the close run now; none may reach the pin.
  ASSERT_EQ(Fake().liveStreams.load(), 0);
  stop = true;
  driver.join();
  KeFlushQueuedDpcs();
  EXPECT_EQ(Fake().positionReads.load(), readsAtClose);
}

}  // namespace

// The driver's settings watcher, started on the driver object's own
// settings event set and woken by SettingsStore::Notify as the control
// panel does: the presence event, reset requests while the host holds
// buffers, the take-over of changes otherwise (with the device re-selected
// by its listed instance id). Stopping the watcher waits for it, which is
// how a test knows a notification has been handled: a change notified
// before the stop is always handled first.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "tests/asio/asio_driver_fixture.h"

namespace {

using asiotest::Access;

std::mutex g_lock;
std::condition_variable g_changed;
int g_resets = 0;

LONG OnAsioMessage(LONG selector, LONG, void*, double*) {
  if (selector != kAsioResetRequest) return 0;
  std::lock_guard<std::mutex> l(g_lock);
  ++g_resets;
  g_changed.notify_all();
  return 1;
}
void OnBufferSwitch(LONG, ASIOBool) {}

int Resets() {
  std::lock_guard<std::mutex> l(g_lock);
  return g_resets;
}
bool WaitResets(int n) {
  std::unique_lock<std::mutex> l(g_lock);
  return g_changed.wait_for(l, std::chrono::seconds(10), [&] { return g_resets >= n; });
}

class SettingsWatcherTest : public asiotest::AsioDriverTest {
 protected:
  void SetUp() override {
    asiotest::AsioDriverTest::SetUp();
    {
      std::lock_guard<std::mutex> l(g_lock);
      g_resets = 0;
    }
    ASSERT_NE(CreateDriver(), nullptr);
    callbacks_.bufferSwitch = OnBufferSwitch;
    callbacks_.asioMessage = OnAsioMessage;
    // The stored settings (key with its defaults) and the driver's copy.
    StoreSetting(kAsioSettingBufferSize, 2048);
    StoreSetting(kAsioSettingSamplingRate, 44100);
    CKelAsioDriver& d = Driver();
    Access::PreferredSize(d) = 2048;
    Access::SampleRate(d) = 44100;
  }
  void TearDown() override {
    if (driver_ != nullptr) {
      Access::StopSettingsWatcher(Driver());
      Access::Callbacks(Driver()) = nullptr;
    }
    asiotest::AsioDriverTest::TearDown();
  }

  bool StartWatcher() {
    CKelAsioDriver& d = Driver();
    SettingsStore& store = Access::Settings(d);
    if (store.PresenceEvent() == nullptr && !store.CreateEvents()) return false;
    if (!Access::StartSettingsWatcher(d)) return false;
    // Listening once the presence event is set.
    return WaitForSingleObject(store.PresenceEvent(), 10000) == WAIT_OBJECT_0;
  }
  // Waits until the watcher handled what was notified so far, and ends it.
  void StopWatcher() {
    Access::StopSettingsWatcher(Driver());
    EXPECT_EQ(Access::SettingsThread(Driver()), nullptr);
  }

  static void StoreSelected(const std::u16string& id) {
    WCHAR value[128] = {};
    for (size_t i = 0; i < id.size() && i < 127; ++i) value[i] = static_cast<WCHAR>(id[i]);
    SettingsStore store;
    EXPECT_EQ(store.Write(kAsioSettingSelected, value, sizeof(value)), kSettingsOk);
  }
  void SetSelectedId(const std::u16string& id) {
    WCHAR* selected = Access::SelectedId(Driver());
    std::memset(selected, 0, 128 * sizeof(WCHAR));
    for (size_t i = 0; i < id.size() && i < 127; ++i) selected[i] = static_cast<WCHAR>(id[i]);
  }
  std::u16string SelectedId() { return kslibtest::Text(Access::SelectedId(Driver())); }

  ASIOCallbacks callbacks_ = {};
};

TEST_F(SettingsWatcherTest, PresenceIsSignalledWhileTheWatcherRunsAndClearedAtItsStop) {
  CKelAsioDriver& d = Driver();
  // Without its events the watcher ends at once with -1.
  ASSERT_TRUE(Access::StartSettingsWatcher(d));
  HANDLE early = Access::SettingsThread(d);
  ASSERT_NE(early, nullptr);
  ASSERT_EQ(WaitForSingleObject(early, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(early, &code));
  EXPECT_EQ(code, static_cast<DWORD>(-1));
  StopWatcher();

  ASSERT_TRUE(StartWatcher());
  HANDLE presence = Access::Settings(d).PresenceEvent();
  EXPECT_EQ(WaitForSingleObject(presence, 0), WAIT_OBJECT_0);
  StopWatcher();
  EXPECT_EQ(WaitForSingleObject(presence, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  // A second stop has nothing left to do.
  StopWatcher();
}

TEST_F(SettingsWatcherTest, ABufferSizeChangeWhileTheHostHoldsBuffersIsOneResetRequestAndARateChangeIsTakenOver) {
  CKelAsioDriver& d = Driver();
  Access::Callbacks(d) = &callbacks_;
  ASSERT_TRUE(StartWatcher());
  // A notification that changes nothing is ignored.
  SettingsStore::Notify();
  StopWatcher();
  EXPECT_EQ(Resets(), 0);

  ASSERT_TRUE(StartWatcher());
  StoreSetting(kAsioSettingBufferSize, 512);
  SettingsStore::Notify();
  ASSERT_TRUE(WaitResets(1));
  StopWatcher();
  EXPECT_EQ(Resets(), 1);
  EXPECT_EQ(Access::PreferredSize(d), 2048u);  // until the host starts over
  EXPECT_EQ(Access::SampleRate(d), 44100u);

  // The host started over with the new size; then only the rate changes.
  Access::PreferredSize(d) = 512;
  Access::BufferSize(d) = 512;
  ASSERT_TRUE(StartWatcher());
  StoreSetting(kAsioSettingSamplingRate, 96000);
  SettingsStore::Notify();
  StopWatcher();
  EXPECT_EQ(Resets(), 1);
  EXPECT_EQ(Access::SampleRate(d), 96000u);
  EXPECT_EQ(Access::PreferredSize(d), 512u);
  // ChangeSettings ran for the new rate: 512 frames at 96 kHz are 5 ms.
  EXPECT_EQ(Access::Latency(d), 5u);
}

TEST_F(SettingsWatcherTest, ADeviceChangeWhileTheHostHoldsBuffersIsAResetRequestComparedWithItsTerminator) {
  CKelAsioDriver& d = Driver();
  Access::Callbacks(d) = &callbacks_;
  SetSelectedId(u"USB\\VID_1FA7&PID_4D02&MI_00\\7&1");
  StoreSelected(u"USB\\VID_1FA7&PID_4D02&MI_00\\7&1");
  ASSERT_TRUE(StartWatcher());
  SettingsStore::Notify();
  StopWatcher();
  EXPECT_EQ(Resets(), 0);
  // A stored id that only extends the driver's names another device.
  ASSERT_TRUE(StartWatcher());
  StoreSelected(u"USB\\VID_1FA7&PID_4D02&MI_00\\7&12");
  SettingsStore::Notify();
  ASSERT_TRUE(WaitResets(1));
  StopWatcher();
  EXPECT_EQ(Resets(), 1);
  EXPECT_EQ(SelectedId(), u"USB\\VID_1FA7&PID_4D02&MI_00\\7&1");
}

TEST_F(SettingsWatcherTest, WithoutBuffersTheChangesAreTakenOverAndTheDeviceReselected) {
  Plug("default");
  ASSERT_NE(PlugAnother("default", [](platform::PhysicalDeviceInfo& info) { info.instanceId = u"6&1a2b3c4d&0&0001"; }),
            nullptr);
  CKelAsioDriver& d = Driver();
  CDevInfo& devices = Access::Devices(d);
  ASSERT_TRUE(devices.makeActiveDeviceList());
  ASSERT_EQ(devices.EntryCount(), 2u);
  const std::u16string first = kslibtest::Text(devices.getDeviceEntry(0)->instanceId);
  const std::u16string second = kslibtest::Text(devices.getDeviceEntry(1)->instanceId);
  ASSERT_NE(first, second);
  ASSERT_TRUE(devices.setCurrentSelectedByIndex(0));
  SetSelectedId(first);
  Access::BufferSize(d) = 256;

  ASSERT_TRUE(StartWatcher());
  StoreSetting(kAsioSettingBufferSize, 256);
  StoreSetting(kAsioSettingSamplingRate, 48000);
  StoreSelected(second);
  SettingsStore::Notify();
  StopWatcher();
  EXPECT_EQ(Resets(), 0);
  EXPECT_EQ(Access::PreferredSize(d), 256u);
  EXPECT_EQ(Access::SampleRate(d), 48000u);
  EXPECT_EQ(SelectedId(), second);
  LONG index = -1;
  ASSERT_TRUE(devices.getCurrentSelectedIndex(&index));
  EXPECT_EQ(index, 1);
  ASSERT_NE(devices.getCurrentSelected(), nullptr);
  EXPECT_EQ(kslibtest::Text(devices.getCurrentSelected()->InstanceId()), second);
  // 256 frames at 48 kHz: 5.33 ms, rounded.
  EXPECT_EQ(Access::Latency(d), 5u);
}

}  // namespace

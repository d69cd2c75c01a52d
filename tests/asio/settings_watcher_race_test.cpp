// The settings watcher re-selects the device on its own thread while the
// host's createBuffers rebuilds the device list: the two take turns on the
// driver's device lock. This runs them against each other; a watcher that
// walked a list being freed shows under ASan when the timing meets it (the
// stand-ins' own locks hide the plain race from ThreadSanitizer), and a
// watcher that called the host while holding the lock would deadlock here.
#include <cstring>

#include "tests/asio/asio_driver_fixture.h"

namespace {

LONG AnswerNothing(LONG, LONG, void*, double*) { return 0; }
void IgnoreSwitch(LONG, ASIOBool) {}

class SettingsWatcherRaceTest : public asiotest::AsioDriverTest {};

TEST_F(SettingsWatcherRaceTest, ADeviceChangeDuringCreateBuffersNeverMeetsAListBeingRebuilt) {
  Plug("default");
  IASIO* driver = CreateDriver();
  ASSERT_NE(driver, nullptr);
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  WCHAR id[128] = {};
  SettingsStore store;
  ASSERT_EQ(store.Read(kAsioSettingSelected, id, sizeof(id)), kSettingsOk);
  ASSERT_NE(id[0], 0);

  ASIOCallbacks callbacks{};
  callbacks.bufferSwitch = IgnoreSwitch;
  callbacks.asioMessage = AnswerNothing;
  for (int round = 0; round < 12; ++round) {
    {
      // The driver's copy of the selection goes stale (as if the control
      // panel had picked this device while another was selected), so the
      // watcher takes the stored id over and re-selects while createBuffers
      // rebuilds the list.
      std::lock_guard<std::recursive_mutex> devices(asiotest::Access::DevicesLock(Driver()));
      asiotest::Access::SelectedId(Driver())[0] = u'X';
    }
    SettingsStore::Notify();
    ASIOBufferInfo infos[2] = {};
    for (LONG c = 0; c < 2; ++c) infos[c].channelNum = c;
    ASSERT_EQ(driver->createBuffers(infos, 2, 256, &callbacks), ASE_OK) << "round " << round;
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
  }
}

}  // namespace

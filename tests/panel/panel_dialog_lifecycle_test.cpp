// The dialog's window-system side: device-change messages ask for a
// refresh (arrival and complete removal only), initialisation registers
// for audio device interfaces and starts the registry watcher, and the end
// of the dialog undoes both, once, whoever calls it.
#include <gtest/gtest.h>

#include "tests/panel/panel_dialog_fixture.h"

namespace {

using namespace paneltest;

using PanelLifecycleTest = PanelDialogTest;

TEST_F(PanelLifecycleTest, ArrivalAndCompleteRemovalAskForARefreshOtherEventsDoNot) {
  ASSERT_NE(Window(), nullptr);
  // Not initialised: nothing else posts to the window.
  CAsioControlPanelDlg dialog(View());
  for (WPARAM event : {static_cast<WPARAM>(DBT_DEVICEARRIVAL), static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE)}) {
    EXPECT_EQ(dialog.OnDeviceChange(event, 0), TRUE);
    platform::win32::WindowMessage m;
    ASSERT_TRUE(platform::win32::TakeWindowMessage(Window(), &m, 0)) << event;
    EXPECT_EQ(m.message, static_cast<UINT>(WM_APP));
    EXPECT_EQ(m.wParam, 0u);
    EXPECT_EQ(m.lParam, 0);
    EXPECT_EQ(platform::win32::PendingWindowMessages(Window()), 0u) << event;
  }
  for (WPARAM event : {static_cast<WPARAM>(DBT_DEVNODES_CHANGED), static_cast<WPARAM>(DBT_DEVICEQUERYREMOVE),
                       static_cast<WPARAM>(DBT_DEVICEREMOVEPENDING)}) {
    EXPECT_EQ(dialog.OnDeviceChange(event, 0), TRUE) << event;
    EXPECT_EQ(platform::win32::PendingWindowMessages(Window()), 0u) << event;
  }
}

TEST_F(PanelLifecycleTest, TheDialogHearsOfAudioDevicesUntilItEnds) {
  sim::SimulatedMachine* machine = Plug("default");
  ASSERT_NE(Window(), nullptr);
  const size_t registrations = platform::win32::LiveDeviceNotifications();
  CAsioControlPanelDlg& dialog = OpenDialog();
  EXPECT_NE(dialog.DeviceNotification(), nullptr);
  EXPECT_EQ(platform::win32::LiveDeviceNotifications(), registrations + 1);
  EXPECT_GT(dialog.Watcher().StartedThreads(), 0u) << "the registry watcher runs";

  // A new audio device reaches the dialog as a device change, which refreshes it.
  PDEVICE_OBJECT second = PlugSecond();
  ASSERT_TRUE(PumpUntil(WM_DEVICECHANGE, DBT_DEVICEARRIVAL));
  ASSERT_TRUE(PumpUntil(WM_APP, 0));
  EXPECT_EQ(Snapshot().Control(IDC_DEVICE_LIST).rows,
            (std::vector<std::u16string>{NameOf(machine->Pdo()), NameOf(second)}));

  dialog.OnDestroy();
  EXPECT_EQ(dialog.DeviceNotification(), nullptr);
  EXPECT_EQ(platform::win32::LiveDeviceNotifications(), registrations);
  EXPECT_EQ(dialog.Watcher().StartedThreads(), 0u);
  dialog.OnDestroy();  // the destructor runs it again
  EXPECT_EQ(platform::win32::LiveDeviceNotifications(), registrations);
  CloseDialog();
  EXPECT_EQ(platform::win32::LiveDeviceNotifications(), registrations);
}

TEST_F(PanelLifecycleTest, ADialogThatEndsWithoutItsWindowsDestroyStillStopsEverything) {
  ASSERT_NE(Window(), nullptr);
  const size_t registrations = platform::win32::LiveDeviceNotifications();
  {
    CAsioControlPanelDlg dialog(View());
    dialog.OnInitDialog();
    EXPECT_EQ(platform::win32::LiveDeviceNotifications(), registrations + 1);
  }
  EXPECT_EQ(platform::win32::LiveDeviceNotifications(), registrations);
  EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, VM_ASIO_KEEP_EVENT), nullptr);
  // A dialog never initialised ends quietly.
  { CAsioControlPanelDlg unused(View()); }
}

}  // namespace

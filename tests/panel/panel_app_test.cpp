// The control panel program's start: the dialog runs inside the trace
// provider's registration and a multithreaded COM apartment, both undone
// afterwards; a second start brings the first program's window forward
// and runs nothing; a thread COM refuses ends the program with nothing
// left registered.
#include <gtest/gtest.h>

#include <objbase.h>
#include <winuser.h>

#include <memory>
#include <vector>

#include "asio/asio_trace.h"
#include "panel/control_panel_app.h"
#include "panel/panel_tables.h"
#include "platform/kernel/client_process.h"
#include "platform/win32/event_trace_host.h"
#include "platform/win32/window_host.h"
#include "tests/support/verifier_test.h"

namespace {

class PanelAppTest : public VerifiedTest {
 protected:
  void SetUp() override {
    VerifiedTest::SetUp();
    process_ = platform::CreateClientProcess("vm_usbaudio_cpl.exe");
    scope_ = std::make_unique<platform::ProcessScope>(process_);
  }
  void TearDown() override {
    scope_.reset();
    platform::EndClientProcess(process_);
    VerifiedTest::TearDown();
  }

  // What the hooks saw.
  struct Seen {
    int commonControls = 0;
    int dialogs = 0;
    int traceRegistrationsInDialog = -1;
    HRESULT apartmentInDialog = S_OK;
    bool commonControlsBeforeTrace = false;
  };
  static PanelAppHooks Hooks(Seen* seen) {
    PanelAppHooks hooks;
    hooks.initCommonControls = [seen] {
      ++seen->commonControls;
      seen->commonControlsBeforeTrace = platform::win32::OpenTraceRegistrations(kAsioTraceControlGuid) == 0;
    };
    hooks.runDialog = [seen] {
      ++seen->dialogs;
      seen->traceRegistrationsInDialog = platform::win32::OpenTraceRegistrations(kAsioTraceControlGuid);
      // The thread is in the multithreaded apartment: asking for another one is refused.
      seen->apartmentInDialog = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
      if (SUCCEEDED(seen->apartmentInDialog)) CoUninitialize();
    };
    return hooks;
  }

  platform::ClientProcess* process_ = nullptr;
  std::unique_ptr<platform::ProcessScope> scope_;
};

TEST_F(PanelAppTest, TheDialogRunsRegisteredInTheMultithreadedApartmentAndBothAreUndone) {
  Seen seen;
  EXPECT_EQ(RunControlPanelApp(Hooks(&seen)), PanelAppOutcome::RanDialog);
  EXPECT_EQ(seen.commonControls, 1);
  EXPECT_TRUE(seen.commonControlsBeforeTrace);
  EXPECT_EQ(seen.dialogs, 1);
  EXPECT_EQ(seen.traceRegistrationsInDialog, 1);
  EXPECT_EQ(seen.apartmentInDialog, RPC_E_CHANGED_MODE);
  EXPECT_EQ(platform::win32::OpenTraceRegistrations(kAsioTraceControlGuid), 0);
  // COM was uninitialised: the thread may enter another apartment now.
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  CoUninitialize();
}

TEST_F(PanelAppTest, ASecondStartBringsTheFirstWindowForwardAndRunsNothing) {
  platform::ClientProcess* first = platform::CreateClientProcess("vm_usbaudio_cpl.exe");
  HWND window = nullptr;
  {
    platform::ProcessScope in(first);
    window = platform::win32::CreateHostWindow(u"Velmora USB Audio Driver");
  }
  ASSERT_NE(window, nullptr);
  Seen seen;
  EXPECT_EQ(RunControlPanelApp(Hooks(&seen)), PanelAppOutcome::ActivatedExisting);
  EXPECT_EQ(seen.dialogs, 0);
  EXPECT_EQ(platform::win32::WindowActivations(window), (std::vector<int>{SW_SHOWNORMAL, -1}));
  EXPECT_EQ(platform::win32::OpenTraceRegistrations(kAsioTraceControlGuid), 0);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK) << "COM was left initialised";
  CoUninitialize();
  {
    platform::ProcessScope in(first);
    platform::win32::DestroyHostWindow(window);
  }
  platform::EndClientProcess(first);

  // Once the window is gone, the next start runs its dialog.
  EXPECT_EQ(RunControlPanelApp(Hooks(&seen)), PanelAppOutcome::RanDialog);
  EXPECT_EQ(seen.dialogs, 1);
}

TEST_F(PanelAppTest, WhenComRefusesTheThreadNothingRunsAndNothingStaysRegistered) {
  platform::ClientProcess* first = platform::CreateClientProcess("vm_usbaudio_cpl.exe");
  HWND window = nullptr;
  {
    platform::ProcessScope in(first);
    window = platform::win32::CreateHostWindow(u"Velmora USB Audio Driver");
  }
  // The thread already lives in a single-threaded apartment.
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  Seen seen;
  EXPECT_EQ(RunControlPanelApp(Hooks(&seen)), PanelAppOutcome::ComFailed);
  EXPECT_EQ(seen.dialogs, 0);
  EXPECT_EQ(platform::win32::OpenTraceRegistrations(kAsioTraceControlGuid), 0);
  if (window != nullptr) {
    EXPECT_TRUE(platform::win32::WindowActivations(window).empty());
  }
  // The one initialisation is the test's own: one CoUninitialize leaves none.
  CoUninitialize();
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  CoUninitialize();
  {
    platform::ProcessScope in(first);
    if (window != nullptr) platform::win32::DestroyHostWindow(window);
  }
  platform::EndClientProcess(first);
}

}  // namespace

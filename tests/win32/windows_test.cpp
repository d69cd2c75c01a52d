// The window stand-ins: posted-message queues drained by a program's UI
// thread, posts from other threads and processes, FindWindowW's title rule
// across processes, activation, the end of a process taking its windows
// and device registrations, and device-interface notifications from the
// driver on the simulated machine.
#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>
#include <ks.h>
#include <ksmedia.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/client_process.h"
#include "platform/kernel/device_interfaces.h"
#include "platform/win32/window_host.h"
#include "sim/clients/simulated_machine.h"
#include "sim/profiles/device_profile.h"
#include "tests/win32/in_process_fixture.h"

namespace {

using platform::win32::CreateHostWindow;
using platform::win32::DestroyHostWindow;
using platform::win32::PendingWindowMessages;
using platform::win32::TakeWindowMessage;
using platform::win32::WindowMessage;

constexpr DWORD kWaitMs = 10000;
const std::u16string kTitle = u"Velmora USB Audio Driver";

LPCWSTR W(const std::u16string& s) { return reinterpret_cast<LPCWSTR>(s.c_str()); }

class WindowsTest : public Win32Test {
 protected:
  void TearDown() override {
    if (machine_) {
      platform::ProcessScope system(nullptr);
      machine_->Shutdown();
      machine_.reset();
    }
    for (platform::ClientProcess* p : others_) platform::EndClientProcess(p);
    Win32Test::TearDown();
    // The test's process is over: its windows and registrations with it.
    EXPECT_EQ(platform::win32::LiveHostWindows(), 0u);
    EXPECT_EQ(platform::win32::LiveDeviceNotifications(), 0u);
  }

  // Another client process, ended at tear-down unless the test ends it.
  platform::ClientProcess* OtherProcess(const char* name) {
    others_.push_back(platform::CreateClientProcess(name));
    return others_.back();
  }
  void EndOther(platform::ClientProcess* p) {
    platform::EndClientProcess(p);
    others_.erase(std::find(others_.begin(), others_.end(), p));
  }

  // Plugs the "default" device in (the driver registers its interfaces).
  void Plug() {
    sim::DeviceProfile profile;
    ASSERT_TRUE(sim::MakeProfile("default", profile));
    platform::ProcessScope system(nullptr);
    machine_ = std::make_unique<sim::SimulatedMachine>(profile.descriptors, profile.audio);
    ASSERT_EQ(machine_->Start(), STATUS_SUCCESS);
  }
  // Removes it again (the driver's interfaces go).
  void Unplug() {
    platform::ProcessScope system(nullptr);
    machine_->Shutdown();
    machine_.reset();
  }

  static HDEVNOTIFY RegisterFor(HWND window, const GUID& cls, DWORD flags = DEVICE_NOTIFY_WINDOW_HANDLE) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = cls;
    return RegisterDeviceNotificationW(window, &filter, flags);
  }

  // Every message now queued to the window.
  static std::vector<WindowMessage> Drain(HWND window) {
    std::vector<WindowMessage> out;
    WindowMessage m;
    while (TakeWindowMessage(window, &m, 0)) out.push_back(std::move(m));
    return out;
  }

  std::unique_ptr<sim::SimulatedMachine> machine_;
  std::vector<platform::ClientProcess*> others_;
};

// The record a WM_DEVICECHANGE carries, read through its lParam.
struct Broadcast {
  WPARAM event = 0;
  DWORD size = 0;
  DWORD type = 0;
  GUID cls{};
  std::u16string name;
};

Broadcast Read(const WindowMessage& m) {
  Broadcast b;
  b.event = m.wParam;
  EXPECT_EQ(m.message, static_cast<UINT>(WM_DEVICECHANGE));
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(m.lParam), m.record.data()) << "lParam must point at the record";
  EXPECT_GE(m.record.size(), sizeof(DEV_BROADCAST_DEVICEINTERFACE_W));
  if (reinterpret_cast<const uint8_t*>(m.lParam) != m.record.data() ||
      m.record.size() < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W))
    return b;
  const auto* r = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(m.lParam);
  b.size = r->dbcc_size;
  b.type = r->dbcc_devicetype;
  b.cls = r->dbcc_classguid;
  b.name = platform::ToU16(r->dbcc_name);
  EXPECT_LE(b.size, m.record.size());
  return b;
}

std::u16string UserPath(const platform::DeviceInterface& i) { return u"\\\\?\\" + i.symbolicLink.substr(4); }

// --- queues -----------------------------------------------------------------

TEST_F(WindowsTest, PostsFromOtherThreadsAndProcessesArriveInOrderAtTheUiThread) {
  HWND window = CreateHostWindow(kTitle);
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(IsWindow(window));
  WindowMessage m;
  EXPECT_FALSE(TakeWindowMessage(window, &m, 0)) << "a new window has no message";

  constexpr int kEach = 500;
  platform::ClientProcess* other = OtherProcess("poster");
  std::atomic<int> failures{0};
  // One poster in another process, one thread of the window's own process.
  std::thread foreign([&] {
    platform::ProcessScope in(other);
    for (int i = 0; i < kEach; ++i)
      if (!PostMessageW(window, WM_APP, 1, i)) failures++;
  });
  HANDLE own = CreateThread(
      NULL, 0,
      [](LPVOID p) -> DWORD {
        HWND w = static_cast<HWND>(p);
        for (int i = 0; i < kEach; ++i)
          if (!PostMessageW(w, WM_APP + 1, 2, i)) return 1;
        return 0;
      },
      window, 0, NULL);
  ASSERT_NE(own, nullptr);

  // The UI thread takes them as they come, each poster's in its order.
  LPARAM next[3] = {0, 0, 0};
  for (int taken = 0; taken < 2 * kEach; ++taken) {
    ASSERT_TRUE(TakeWindowMessage(window, &m, kWaitMs)) << "message " << taken << " never came";
    ASSERT_TRUE(m.wParam == 1 || m.wParam == 2);
    EXPECT_EQ(m.message, static_cast<UINT>(m.wParam == 1 ? WM_APP : WM_APP + 1));
    EXPECT_EQ(m.lParam, next[m.wParam]++) << "poster " << m.wParam << " out of order";
    EXPECT_TRUE(m.record.empty());
  }
  foreign.join();
  EXPECT_EQ(WaitForSingleObject(own, kWaitMs), WAIT_OBJECT_0);
  DWORD code = 9;
  EXPECT_TRUE(GetExitCodeThread(own, &code));
  EXPECT_EQ(code, 0u);
  CloseHandle(own);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(PendingWindowMessages(window), 0u);
  EXPECT_FALSE(TakeWindowMessage(window, &m, 0));
}

TEST_F(WindowsTest, AFullQueueRefusesPostsUntilTheUiThreadTakesOne) {
  HWND window = CreateHostWindow(kTitle);
  int posted = 0;
  while (PostMessageW(window, WM_APP, 0, posted) && posted < 20000) posted++;
  EXPECT_EQ(posted, 10000);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
  EXPECT_EQ(PendingWindowMessages(window), 10000u);
  WindowMessage m;
  ASSERT_TRUE(TakeWindowMessage(window, &m, 0));
  EXPECT_EQ(m.lParam, 0);
  EXPECT_TRUE(PostMessageW(window, WM_APP, 0, 1));
}

TEST_F(WindowsTest, UnknownAndDestroyedWindowsRefuseEveryCallAndADestroyWakesTheTaker) {
  for (HWND bad : {static_cast<HWND>(nullptr), reinterpret_cast<HWND>(0x1234), reinterpret_cast<HWND>(0xFFFF)}) {
    SetLastError(0);
    EXPECT_FALSE(PostMessageW(bad, WM_APP, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(IsWindow(bad));
  }

  HWND window = CreateHostWindow(kTitle);
  ASSERT_TRUE(PostMessageW(window, WM_APP, 0, 0));
  // A taker waiting for a message hears the window go.
  std::atomic<bool> took{true};
  std::thread taker([&] {
    platform::ProcessScope in(process_);
    WindowMessage m;
    EXPECT_TRUE(TakeWindowMessage(window, &m, kWaitMs));  // the queued one
    const auto start = std::chrono::steady_clock::now();
    took = TakeWindowMessage(window, &m, 60000);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "the destroy did not wake it";
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (platform::win32::WindowMessageWaiters(window) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  EXPECT_EQ(platform::win32::WindowMessageWaiters(window), 1u) << "the taker never waited";
  DestroyHostWindow(window);
  taker.join();
  EXPECT_FALSE(took);

  EXPECT_FALSE(IsWindow(window));
  SetLastError(0);
  EXPECT_FALSE(PostMessageW(window, WM_APP, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(ShowWindow(window, SW_SHOWNORMAL));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(SetForegroundWindow(window));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(PendingWindowMessages(window), 0u);
  EXPECT_EQ(FindWindowW(NULL, W(kTitle)), nullptr);
  // A new window never takes the old handle.
  HWND again = CreateHostWindow(kTitle);
  EXPECT_NE(again, window);
  EXPECT_FALSE(IsWindow(window));
  DestroyHostWindow(again);
  EXPECT_EQ(platform::win32::LiveHostWindows(), 0u);
}

// --- finding and activating ---------------------------------------------------

TEST_F(WindowsTest, FindWindowMatchesWholeTitlesOfEveryProcessIgnoringCase) {
  platform::ClientProcess* other = OtherProcess("first instance");
  HWND first;
  {
    platform::ProcessScope in(other);
    first = CreateHostWindow(kTitle);
  }
  ASSERT_NE(first, nullptr);
  // Found from this process by title alone, by the dialog class (name or
  // atom), in any case; a part of the title, a longer one or another class
  // is no match, and the failed search leaves the last error alone.
  EXPECT_EQ(FindWindowW(NULL, W(kTitle)), first);
  EXPECT_EQ(FindWindowW(W(u"#32770"), W(kTitle)), first);
  EXPECT_EQ(FindWindowW(reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(0x8002)), W(kTitle)), first);
  EXPECT_EQ(FindWindowW(NULL, W(u"VELMORA usb audio driver")), first);
  EXPECT_EQ(FindWindowW(NULL, NULL), first);
  for (const char16_t* miss : {u"Velmora USB Audio", u"Velmora USB Audio Driver ", u"", u"elmora USB Audio Driver"}) {
    SetLastError(4321);
    EXPECT_EQ(FindWindowW(NULL, W(miss)), nullptr) << "matched a part of the title";
    EXPECT_EQ(GetLastError(), 4321u);
  }
  EXPECT_EQ(FindWindowW(W(u"#32771"), W(kTitle)), nullptr);
  EXPECT_EQ(FindWindowW(W(u"Button"), NULL), nullptr);

  // Case folding beyond ASCII; a hidden window is still found.
  HWND accented = CreateHostWindow(u"\u00c4rger \u0416");
  EXPECT_EQ(FindWindowW(NULL, W(u"\u00e4RGER \u0436")), accented);
  EXPECT_TRUE(ShowWindow(accented, SW_HIDE));
  EXPECT_EQ(FindWindowW(NULL, W(u"\u00e4rger \u0436")), accented);

  // Two windows of one title: the top one, and the one brought forward.
  HWND second = CreateHostWindow(kTitle);
  EXPECT_EQ(FindWindowW(NULL, W(kTitle)), second);
  EXPECT_TRUE(SetForegroundWindow(first));
  EXPECT_EQ(FindWindowW(NULL, W(kTitle)), first);

  // The first instance's process ends: its window goes with it.
  EndOther(other);
  EXPECT_FALSE(IsWindow(first));
  EXPECT_EQ(FindWindowW(NULL, W(kTitle)), second);
  DestroyHostWindow(second);
  EXPECT_EQ(FindWindowW(NULL, W(kTitle)), nullptr);
  EXPECT_EQ(platform::win32::LiveHostWindows(), 1u);
}

TEST_F(WindowsTest, ShowWindowReportsTheEarlierVisibilityAndActivationsAreRecordedInOrder) {
  platform::ClientProcess* other = OtherProcess("first instance");
  HWND window;
  {
    platform::ProcessScope in(other);
    window = CreateHostWindow(kTitle);
  }
  EXPECT_TRUE(ShowWindow(window, SW_HIDE)) << "a new window is visible";
  EXPECT_FALSE(ShowWindow(window, SW_HIDE));
  EXPECT_FALSE(ShowWindow(window, SW_SHOWNORMAL));
  EXPECT_TRUE(ShowWindow(window, SW_RESTORE));
  EXPECT_TRUE(SetForegroundWindow(window));
  EXPECT_EQ(platform::win32::WindowActivations(window), (std::vector<int>{SW_HIDE, SW_HIDE, SW_SHOWNORMAL, SW_RESTORE, -1}));
  EXPECT_TRUE(platform::win32::WindowActivations(reinterpret_cast<HWND>(0x1234)).empty());
}

// --- device notifications -----------------------------------------------------

TEST_F(WindowsTest, PluggingAndRemovingTheDeviceNotifiesItsAudioInterfacesToTheWindow) {
  HWND window = CreateHostWindow(kTitle);
  HDEVNOTIFY registration = RegisterFor(window, KSCATEGORY_AUDIO);
  ASSERT_NE(registration, nullptr) << GetLastError();
  EXPECT_EQ(platform::win32::LiveDeviceNotifications(), 1u);

  ASSERT_NO_FATAL_FAILURE(Plug());
  const std::vector<platform::DeviceInterface> audio = platform::GetDeviceInterfaces(KSCATEGORY_AUDIO);
  ASSERT_FALSE(audio.empty());
  const std::u16string wave = u"\\\\?\\" + machine_->WaveFilterPath().substr(4);

  // One arrival per audio interface, each naming it as SetupAPI does.
  std::vector<WindowMessage> arrived = Drain(window);
  ASSERT_EQ(arrived.size(), audio.size());
  bool sawWave = false;
  for (size_t i = 0; i < arrived.size(); ++i) {
    const Broadcast b = Read(arrived[i]);
    EXPECT_EQ(b.event, static_cast<WPARAM>(DBT_DEVICEARRIVAL));
    EXPECT_EQ(b.type, static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE));
    EXPECT_TRUE(IsEqualGUID(b.cls, KSCATEGORY_AUDIO));
    EXPECT_EQ(b.name, UserPath(audio[i]));
    EXPECT_EQ(b.size, offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (b.name.size() + 1) * sizeof(WCHAR));
    sawWave = sawWave || b.name == wave;
  }
  EXPECT_TRUE(sawWave) << "no arrival of the Wave filter";

  // Removal: one complete removal per interface, nothing else.
  Unplug();
  std::vector<WindowMessage> removed = Drain(window);
  ASSERT_EQ(removed.size(), audio.size());
  std::vector<std::u16string> names;
  for (const WindowMessage& m : removed) {
    const Broadcast b = Read(m);
    EXPECT_EQ(b.event, static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE));
    EXPECT_TRUE(IsEqualGUID(b.cls, KSCATEGORY_AUDIO));
    names.push_back(b.name);
  }
  for (const platform::DeviceInterface& i : audio)
    EXPECT_NE(std::find(names.begin(), names.end(), UserPath(i)), names.end()) << "no removal of an interface";

  // Unregistered: the next plug-in is not heard.
  EXPECT_TRUE(UnregisterDeviceNotification(registration));
  EXPECT_EQ(platform::win32::LiveDeviceNotifications(), 0u);
  ASSERT_NO_FATAL_FAILURE(Plug());
  EXPECT_EQ(PendingWindowMessages(window), 0u);
}

TEST_F(WindowsTest, InterfaceStateChangesAreNotifiedOncePerChangeAndPerMatchingClass) {
  HWND audioWindow = CreateHostWindow(u"audio");
  HWND everyWindow = CreateHostWindow(u"every class");
  HWND otherWindow = CreateHostWindow(u"another class");
  const GUID unrelated = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
  ASSERT_NE(RegisterFor(audioWindow, KSCATEGORY_AUDIO), nullptr);
  // The class in the filter does not count with ALL_INTERFACE_CLASSES.
  ASSERT_NE(RegisterFor(everyWindow, unrelated, DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES),
            nullptr);
  ASSERT_NE(RegisterFor(otherWindow, unrelated), nullptr);

  ASSERT_NO_FATAL_FAILURE(Plug());
  const size_t audioCount = platform::GetDeviceInterfaces(KSCATEGORY_AUDIO).size();
  size_t allCount = 0;
  for (const GUID* cls : {&KSCATEGORY_AUDIO, &KSCATEGORY_RENDER, &KSCATEGORY_CAPTURE, &KSCATEGORY_TOPOLOGY})
    allCount += platform::GetDeviceInterfaces(*cls).size();
  EXPECT_EQ(Drain(audioWindow).size(), audioCount);
  EXPECT_GE(Drain(everyWindow).size(), allCount);
  EXPECT_GT(allCount, audioCount) << "the driver registers interfaces of other classes too";
  EXPECT_EQ(PendingWindowMessages(otherWindow), 0u);

  // The Wave filter's audio interface disabled, disabled again, enabled,
  // enabled again: one removal and one arrival.
  platform::DeviceInterface wave;
  ASSERT_TRUE(platform::FindDeviceInterface(machine_->WaveFilterPath(), &wave));
  ASSERT_TRUE(IsEqualGUID(wave.classGuid, KSCATEGORY_AUDIO));
  std::vector<WCHAR> link(wave.symbolicLink.begin(), wave.symbolicLink.end());
  UNICODE_STRING name;
  name.Buffer = link.data();
  name.Length = name.MaximumLength = static_cast<USHORT>(link.size() * sizeof(WCHAR));
  {
    platform::ProcessScope system(nullptr);
    for (BOOLEAN state : {FALSE, FALSE, TRUE, TRUE}) EXPECT_EQ(IoSetDeviceInterfaceState(&name, state), STATUS_SUCCESS);
  }
  std::vector<WindowMessage> changes = Drain(audioWindow);
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(Read(changes[0]).event, static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE));
  EXPECT_EQ(Read(changes[0]).name, UserPath(wave));
  EXPECT_EQ(Read(changes[1]).event, static_cast<WPARAM>(DBT_DEVICEARRIVAL));
  EXPECT_EQ(Read(changes[1]).name, UserPath(wave));
  EXPECT_EQ(Drain(everyWindow).size(), 2u);
  EXPECT_EQ(PendingWindowMessages(otherWindow), 0u);

  // A destroyed window's registration ends (and hears nothing more); its
  // handle still unregisters.
  HDEVNOTIFY late = RegisterFor(audioWindow, KSCATEGORY_AUDIO);
  ASSERT_NE(late, nullptr);
  const size_t live = platform::win32::LiveDeviceNotifications();
  DestroyHostWindow(audioWindow);
  EXPECT_EQ(platform::win32::LiveDeviceNotifications(), live - 2);
  EXPECT_TRUE(UnregisterDeviceNotification(late));
  Unplug();
  EXPECT_GE(Drain(everyWindow).size(), allCount);
}

// A bus that drops its device while the interfaces are still enabled (no
// driver disabled them) removes them all the same, once each.
TEST_F(WindowsTest, ADeviceLeavingWithItsInterfacesEnabledNotifiesTheirRemoval) {
  HWND window = CreateHostWindow(kTitle);
  HDEVNOTIFY registration = RegisterFor(window, KSCATEGORY_AUDIO);
  ASSERT_NE(registration, nullptr);
  platform::ProcessScope system(nullptr);
  DEVICE_OBJECT pdo{};
  pdo.Type = IO_TYPE_DEVICE;
  pdo.StackSize = 1;
  platform::RegisterPhysicalDevice(&pdo, platform::UsbDeviceInfo(0x1FA7, 0x4D02, 0x0100, 0));
  std::vector<std::u16string> names;
  for (const WCHAR* ref : {L"Wave", L"Topology", L"Idle"}) {
    UNICODE_STRING reference, link{};
    RtlInitUnicodeString(&reference, ref);
    ASSERT_EQ(IoRegisterDeviceInterface(&pdo, &KSCATEGORY_AUDIO, &reference, &link), STATUS_SUCCESS);
    // "Idle" stays disabled: its leaving is no removal anyone heard of.
    if (platform::ToU16(ref) != u"Idle") {
      EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
      names.push_back(u"\\\\?\\" + platform::ToU16(&link).substr(4));
    }
    RtlFreeUnicodeString(&link);
  }
  std::vector<WindowMessage> arrived = Drain(window);
  ASSERT_EQ(arrived.size(), 2u);
  platform::UnregisterPhysicalDevice(&pdo);
  std::vector<WindowMessage> removed = Drain(window);
  ASSERT_EQ(removed.size(), 2u);
  for (size_t i = 0; i < removed.size(); ++i) {
    const Broadcast b = Read(removed[i]);
    EXPECT_EQ(b.event, static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE));
    EXPECT_EQ(b.name, names[i]);
    EXPECT_TRUE(IsEqualGUID(b.cls, KSCATEGORY_AUDIO));
  }
  platform::ProcessScope back(process_);
  EXPECT_TRUE(UnregisterDeviceNotification(registration));
}

// Interfaces changing state on one thread while windows with registrations
// come and go on another, and a UI thread drains: every notice reaches a
// live window or none (ThreadSanitizer checks the locking, a lock-order
// inversion between the registrations and the windows would hang).
TEST_F(WindowsTest, NotificationsRaceWindowsComingAndGoingWithoutLossForALiveWindow) {
  HWND steady = CreateHostWindow(u"steady");
  HDEVNOTIFY steadyRegistration = RegisterFor(steady, KSCATEGORY_AUDIO);
  ASSERT_NE(steadyRegistration, nullptr);
  DEVICE_OBJECT pdo{};
  pdo.Type = IO_TYPE_DEVICE;
  pdo.StackSize = 1;
  std::vector<WCHAR> linkText;
  {
    platform::ProcessScope system(nullptr);
    platform::RegisterPhysicalDevice(&pdo, platform::UsbDeviceInfo(0x1FA7, 0x4D02, 0x0100, 0));
    UNICODE_STRING reference, link{};
    RtlInitUnicodeString(&reference, L"Wave");
    ASSERT_EQ(IoRegisterDeviceInterface(&pdo, &KSCATEGORY_AUDIO, &reference, &link), STATUS_SUCCESS);
    linkText.assign(link.Buffer, link.Buffer + link.Length / sizeof(WCHAR));
    RtlFreeUnicodeString(&link);
  }
  constexpr int kToggles = 400;
  std::atomic<bool> toggling{true};
  std::thread kernel([&] {
    UNICODE_STRING name;
    name.Buffer = linkText.data();
    name.Length = name.MaximumLength = static_cast<USHORT>(linkText.size() * sizeof(WCHAR));
    for (int i = 0; i < kToggles; ++i) IoSetDeviceInterfaceState(&name, (i % 2) == 0 ? TRUE : FALSE);
    toggling = false;
  });
  std::thread churn([&] {
    platform::ProcessScope in(process_);
    while (toggling) {
      HWND w = CreateHostWindow(u"passing");
      HDEVNOTIFY h = RegisterFor(w, KSCATEGORY_AUDIO);
      EXPECT_NE(h, nullptr);
      DestroyHostWindow(w);
      EXPECT_TRUE(UnregisterDeviceNotification(h));
    }
  });
  // The UI thread of the steady window: arrival and removal alternate.
  WindowMessage m;
  for (int i = 0; i < kToggles; ++i) {
    ASSERT_TRUE(TakeWindowMessage(steady, &m, kWaitMs)) << "notice " << i << " never came";
    EXPECT_EQ(m.wParam, static_cast<WPARAM>((i % 2) == 0 ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE)) << i;
  }
  kernel.join();
  churn.join();
  {
    platform::ProcessScope system(nullptr);
    platform::UnregisterPhysicalDevice(&pdo);
  }
  EXPECT_EQ(PendingWindowMessages(steady), 0u) << "the interface left disabled: no further notice";
  EXPECT_EQ(platform::win32::LiveHostWindows(), 1u);
  EXPECT_EQ(platform::win32::LiveDeviceNotifications(), 1u);
  EXPECT_TRUE(UnregisterDeviceNotification(steadyRegistration));
}

TEST_F(WindowsTest, RegistrationChecksItsRecipientAndFilterAsWindowsDoes) {
  HWND window = CreateHostWindow(kTitle);
  auto refused = [](HANDLE recipient, LPVOID filter, DWORD flags) -> DWORD {
    SetLastError(0);
    HDEVNOTIFY h = RegisterDeviceNotificationW(recipient, filter, flags);
    EXPECT_EQ(h, nullptr);
    if (h) UnregisterDeviceNotification(h);
    return GetLastError();
  };
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = KSCATEGORY_AUDIO;

  EXPECT_EQ(refused(window, NULL, DEVICE_NOTIFY_WINDOW_HANDLE), static_cast<DWORD>(ERROR_INVALID_DATA));
  DEV_BROADCAST_DEVICEINTERFACE_W bad = filter;
  bad.dbcc_size = sizeof(DEV_BROADCAST_HDR) - 1;
  EXPECT_EQ(refused(window, &bad, DEVICE_NOTIFY_WINDOW_HANDLE), static_cast<DWORD>(ERROR_INVALID_DATA));
  bad.dbcc_size = sizeof(DEV_BROADCAST_HDR);  // a header alone is no interface filter
  EXPECT_EQ(refused(window, &bad, DEVICE_NOTIFY_WINDOW_HANDLE), static_cast<DWORD>(ERROR_INVALID_DATA));
  bad = filter;
  bad.dbcc_devicetype = 2;  // DBT_DEVTYP_VOLUME: only broadcast, never registered for
  EXPECT_EQ(refused(window, &bad, DEVICE_NOTIFY_WINDOW_HANDLE), static_cast<DWORD>(ERROR_INVALID_DATA));
  bad.dbcc_devicetype = DBT_DEVTYP_HANDLE;
  EXPECT_EQ(refused(window, &bad, DEVICE_NOTIFY_WINDOW_HANDLE), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(refused(window, &filter, DEVICE_NOTIFY_SERVICE_HANDLE), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(refused(window, &filter, 0x8), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(refused(NULL, &filter, DEVICE_NOTIFY_WINDOW_HANDLE), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  HWND gone = CreateHostWindow(u"gone");
  DestroyHostWindow(gone);
  EXPECT_EQ(refused(gone, &filter, DEVICE_NOTIFY_WINDOW_HANDLE), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(platform::win32::LiveDeviceNotifications(), 0u);

  // A handle unregisters once, and only in its own process.
  HDEVNOTIFY h = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  ASSERT_NE(h, nullptr);
  platform::ClientProcess* other = OtherProcess("stranger");
  {
    platform::ProcessScope in(other);
    SetLastError(0);
    EXPECT_FALSE(UnregisterDeviceNotification(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  EXPECT_TRUE(UnregisterDeviceNotification(h));
  SetLastError(0);
  EXPECT_FALSE(UnregisterDeviceNotification(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(UnregisterDeviceNotification(reinterpret_cast<HDEVNOTIFY>(0x5678)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(WindowsTest, TheEndOfAProcessEndsItsWindowsAndRegistrationsButNoOthers) {
  platform::ClientProcess* program = OtherProcess("program");
  HWND theirs;
  {
    platform::ProcessScope in(program);
    theirs = CreateHostWindow(kTitle);
    ASSERT_NE(RegisterFor(theirs, KSCATEGORY_AUDIO), nullptr);
    // A registration of this process for a window of ours ends with it too.
  }
  HWND ours = CreateHostWindow(u"ours");
  {
    platform::ProcessScope in(program);
    ASSERT_NE(RegisterFor(ours, KSCATEGORY_AUDIO), nullptr);
  }
  HDEVNOTIFY mine = RegisterFor(ours, KSCATEGORY_AUDIO);
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(platform::win32::LiveHostWindows(), 2u);
  EXPECT_EQ(platform::win32::LiveDeviceNotifications(), 3u);

  EndOther(program);
  EXPECT_FALSE(IsWindow(theirs));
  EXPECT_EQ(FindWindowW(NULL, W(kTitle)), nullptr);
  EXPECT_TRUE(IsWindow(ours));
  EXPECT_EQ(platform::win32::LiveHostWindows(), 1u);
  EXPECT_EQ(platform::win32::LiveDeviceNotifications(), 1u);

  // Ours still hears the device, once.
  ASSERT_NO_FATAL_FAILURE(Plug());
  EXPECT_EQ(PendingWindowMessages(ours), platform::GetDeviceInterfaces(KSCATEGORY_AUDIO).size());
  EXPECT_TRUE(UnregisterDeviceNotification(mine));
}

}  // namespace

// The change notification and a driver's settings event set: Notify only
// when a driver's presence event exists, one Notify wakes one watcher of
// the auto-reset changed event, the set's kinds and names, a failed
// creation closing what it had created, and all of it from several
// threads and processes at once (the ThreadSanitizer run).
#include <atomic>
#include <thread>

#include "tests/asio/settings_fixture.h"
#include "tests/support/waitable_count.h"

namespace {

using SettingsEventsTest = SettingsTest;

constexpr DWORD kTimeout = static_cast<DWORD>(WAIT_TIMEOUT);

// A second simulated process (a host with the ASIO driver loaded) for the
// length of a test; its threads must have left before it ends.
class DriverProcess {
 public:
  DriverProcess() : process_(platform::CreateClientProcess("asio host")) {}
  ~DriverProcess() {
    {
      platform::ProcessScope in(process_);
      store_.CloseEvents();
    }
    EXPECT_TRUE(platform::win32::WaitForThreadsToLeave(process_, 10000)) << "threads left running";
    platform::EndClientProcess(process_);
  }
  platform::ClientProcess* Process() { return process_; }
  SettingsStore& Store() { return store_; }

 private:
  platform::ClientProcess* process_;
  SettingsStore store_;
};

bool CanOpen(const wchar_t* name) {
  HANDLE h = OpenEventW(SYNCHRONIZE, FALSE, name);
  if (h == nullptr) return false;
  CloseHandle(h);
  return true;
}

TEST_F(SettingsEventsTest, NotifyWithoutARunningDriverDoesNothing) {
  // Someone holds the changed event, but no driver's presence event exists.
  HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, VM_ASIO_CHANGED_EVENT);
  ASSERT_NE(changed, nullptr);
  SettingsStore::Notify();
  EXPECT_EQ(WaitForSingleObject(changed, 0), kTimeout);
  CloseHandle(changed);
  // Nor does it bring any of the events into being.
  SettingsStore::Notify();
  EXPECT_FALSE(CanOpen(VM_ASIO_PRESENCE_EVENT));
  EXPECT_FALSE(CanOpen(VM_ASIO_CHANGED_EVENT));
}

TEST_F(SettingsEventsTest, NotifySetsTheDriversAutoResetChangedEventOnce) {
  DriverProcess driver;
  HANDLE changed = nullptr;
  {
    platform::ProcessScope in(driver.Process());
    ASSERT_TRUE(driver.Store().CreateEvents());
    changed = driver.Store().ChangedEvent();
  }
  SettingsStore::Notify();  // from the control panel's process
  platform::ProcessScope in(driver.Process());
  EXPECT_EQ(WaitForSingleObject(changed, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(changed, 0), kTimeout) << "one notification wakes one watcher";
  // The presence event is only looked at, never signalled by Notify.
  EXPECT_EQ(WaitForSingleObject(driver.Store().PresenceEvent(), 0), kTimeout);
}

TEST_F(SettingsEventsTest, EventSetKindsNamesAndClosing) {
  SettingsStore store;
  ASSERT_TRUE(store.CreateEvents());
  const HANDLE handles[] = {store.KeepEvent(), store.PresenceEvent(), store.ChangedEvent(), store.StopEvent()};
  for (size_t i = 0; i < 4; ++i) {
    ASSERT_NE(handles[i], nullptr);
    for (size_t j = 0; j < i; ++j) EXPECT_NE(handles[i], handles[j]);
    EXPECT_EQ(WaitForSingleObject(handles[i], 0), kTimeout) << "event " << i << " starts non-signalled";
  }
  // Held-open and presence events: manual reset.
  for (HANDLE manual : {store.KeepEvent(), store.PresenceEvent()}) {
    ASSERT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    ResetEvent(manual);
  }
  // Changed and stop events: auto reset.
  for (HANDLE automatic : {store.ChangedEvent(), store.StopEvent()}) {
    ASSERT_TRUE(SetEvent(automatic));
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), kTimeout);
  }
  // The three named ones are found by name from another process; the stop
  // event is private to its driver.
  ASSERT_TRUE(SetEvent(store.PresenceEvent()));  // a driver's watcher runs
  platform::ClientProcess* other = platform::CreateClientProcess("control panel");
  {
    platform::ProcessScope in(other);
    HANDLE presence = OpenEventW(SYNCHRONIZE, FALSE, VM_ASIO_PRESENCE_EVENT);
    EXPECT_NE(presence, nullptr);
    EXPECT_TRUE(CanOpen(VM_ASIO_CHANGED_EVENT));
    EXPECT_TRUE(CanOpen(VM_ASIO_KEEP_EVENT));
    EXPECT_EQ(WaitForSingleObject(presence, 0), WAIT_OBJECT_0);
    CloseHandle(presence);
  }
  platform::EndClientProcess(other);

  store.CloseEvents();
  EXPECT_EQ(store.KeepEvent(), nullptr);
  EXPECT_EQ(store.PresenceEvent(), nullptr);
  EXPECT_EQ(store.ChangedEvent(), nullptr);
  EXPECT_EQ(store.StopEvent(), nullptr);
  EXPECT_FALSE(CanOpen(VM_ASIO_KEEP_EVENT)) << "closed with its last handle";
  EXPECT_FALSE(CanOpen(VM_ASIO_PRESENCE_EVENT));
  EXPECT_FALSE(CanOpen(VM_ASIO_CHANGED_EVENT));
}

TEST_F(SettingsEventsTest, AFailedCreationClosesTheEventsItCreated) {
  // A mutex holds the changed event's name: its creation fails, after the
  // held-open and presence events were created.
  HANDLE squatter = CreateMutexW(nullptr, FALSE, VM_ASIO_CHANGED_EVENT);
  ASSERT_NE(squatter, nullptr);
  SettingsStore store;
  EXPECT_FALSE(store.CreateEvents());
  EXPECT_EQ(store.KeepEvent(), nullptr);
  EXPECT_EQ(store.PresenceEvent(), nullptr);
  EXPECT_EQ(store.ChangedEvent(), nullptr);
  EXPECT_EQ(store.StopEvent(), nullptr);
  EXPECT_FALSE(CanOpen(VM_ASIO_KEEP_EVENT));
  EXPECT_FALSE(CanOpen(VM_ASIO_PRESENCE_EVENT)) << "a presence event left behind would make Notify signal nobody";
  CloseHandle(squatter);
  // Once the name is free the set can be made.
  EXPECT_TRUE(store.CreateEvents());
  store.CloseEvents();
}

// A driver's settings watcher reduced to its waits: stop ends it; each
// changed event reads the buffer size and counts one wake.
struct Watcher {
  SettingsStore* store;
  WaitableCount* wakes;
  std::atomic<DWORD> lastSize{0};
};

DWORD WINAPI WatchSettings(LPVOID context) {
  Watcher* w = static_cast<Watcher*>(context);
  HANDLE handles[2] = {w->store->StopEvent(), w->store->ChangedEvent()};
  for (;;) {
    const DWORD woke = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0) return 0;
    if (woke != WAIT_OBJECT_0 + 1) return 1;
    DWORD size = 0;
    if (w->store->Read(kAsioSettingBufferSize, &size, sizeof size) == kSettingsOk) w->lastSize = size;
    w->wakes->Add();
  }
}

TEST_F(SettingsEventsTest, WatchersOfTwoDriversShareTheNotificationsFromManyThreads) {
  SettingsStore panel(SettingsBuild::ControlPanel);
  DWORD initial = 0;
  ASSERT_EQ(panel.Read(kAsioSettingBufferSize, &initial, sizeof initial), kSettingsOk);  // creates the key

  WaitableCount wakes;
  DriverProcess drivers[2];
  Watcher watchers[2] = {{&drivers[0].Store(), &wakes}, {&drivers[1].Store(), &wakes}};
  HANDLE threads[2] = {};
  for (int i = 0; i < 2; ++i) {
    platform::ProcessScope in(drivers[i].Process());
    ASSERT_TRUE(drivers[i].Store().CreateEvents());
    threads[i] = CreateThread(nullptr, 0, WatchSettings, &watchers[i], 0, nullptr);
    ASSERT_NE(threads[i], nullptr);
  }

  // One at a time: every notification wakes exactly one of the watchers.
  constexpr int kHandshakes = 20;
  for (int n = 1; n <= kHandshakes; ++n) {
    const DWORD size = 64 * static_cast<DWORD>(n);
    ASSERT_EQ(panel.Write(kAsioSettingBufferSize, &size, sizeof size), kSettingsOk);
    SettingsStore::Notify();
    ASSERT_TRUE(wakes.WaitFor(n)) << "notification " << n << " woke no watcher";
  }
  EXPECT_EQ(std::max(watchers[0].lastSize.load(), watchers[1].lastSize.load()), 64u * kHandshakes);

  // Then all at once: control panels writing and notifying from several
  // threads while a third driver creates and closes its event set.
  constexpr int kThreads = 3;
  constexpr int kRounds = 30;
  std::vector<std::thread> panels;
  for (int t = 0; t < kThreads; ++t) {
    panels.emplace_back([this, t] {
      platform::ProcessScope in(process_);
      SettingsStore store(SettingsBuild::ControlPanel);
      for (int r = 0; r < kRounds; ++r) {
        const DWORD size = static_cast<DWORD>(1000 * t + r);
        store.Write(kAsioSettingBufferSize, &size, sizeof size);
        SettingsStore::Notify();
      }
    });
  }
  {
    DriverProcess third;
    platform::ProcessScope in(third.Process());
    for (int r = 0; r < kRounds; ++r) {
      EXPECT_TRUE(third.Store().CreateEvents());
      third.Store().CloseEvents();
    }
  }
  for (std::thread& t : panels) t.join();

  for (int i = 0; i < 2; ++i) {
    platform::ProcessScope in(drivers[i].Process());
    ASSERT_TRUE(SetEvent(drivers[i].Store().StopEvent()));
    EXPECT_EQ(WaitForSingleObject(threads[i], 10000), WAIT_OBJECT_0);
    DWORD code = 99;
    EXPECT_TRUE(GetExitCodeThread(threads[i], &code));
    EXPECT_EQ(code, 0u) << "a watcher's wait failed";
    CloseHandle(threads[i]);
  }
  // Notifications that came while no watcher waited coalesce, and no
  // notification wakes more than one watcher.
  EXPECT_GE(wakes.Get(), kHandshakes + 1);
  EXPECT_LE(wakes.Get(), kHandshakes + kThreads * kRounds);
}

}  // namespace

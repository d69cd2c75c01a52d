// RegNotifyChangeKeyValue: one signal per call for the changes its filter
// selects, on the key or below it with bWatchSubtree; changes from another
// thread, another process and the kernel; closing the key, deleting it or
// ending the process completes a pending notification; the synchronous form;
// and, under ThreadSanitizer, watch loops against concurrent writers.
#include "tests/win32/registry_fixture.h"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

const wchar_t kSettings[] = L"SOFTWARE\\Velmora\\Velmora ASIO Device";
constexpr uint32_t kGenerousMs = 10000;

LSTATUS SetDword(HKEY key, const wchar_t* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LSTATUS Arm(HKEY key, DWORD filter, HANDLE event, bool subtree = false) {
  return RegNotifyChangeKeyValue(key, subtree ? TRUE : FALSE, filter, event, TRUE);
}

TEST_F(RegistryTest, AValueChangeSignalsOnceAndOnlyTheFiltersThatSelectIt) {
  ScopedKey key(HKEY_CURRENT_USER, kSettings);
  ASSERT_EQ(key.status(), ERROR_SUCCESS);
  HANDLE values = NewEvent(), names = NewEvent();
  ASSERT_EQ(Arm(key.get(), REG_NOTIFY_CHANGE_LAST_SET, values), ERROR_SUCCESS);
  ASSERT_EQ(Arm(key.get(), REG_NOTIFY_CHANGE_NAME, names), ERROR_SUCCESS);
  EXPECT_FALSE(Signalled(values));

  ASSERT_EQ(SetDword(key.get(), L"buffer_size", 512), ERROR_SUCCESS);
  EXPECT_TRUE(Signalled(values));  // set before RegSetValueExW returned
  EXPECT_FALSE(Signalled(names));
  // One-shot: the next change finds nothing armed on `values`.
  ASSERT_EQ(SetDword(key.get(), L"buffer_size", 1024), ERROR_SUCCESS);
  EXPECT_FALSE(Signalled(values));

  // A new subkey is a name change; deleting a value a last-set change.
  ASSERT_EQ(Arm(key.get(), REG_NOTIFY_CHANGE_LAST_SET, values), ERROR_SUCCESS);
  ScopedKey child(key.get(), L"child");
  EXPECT_TRUE(Signalled(names));
  EXPECT_FALSE(Signalled(values));
  ASSERT_EQ(RegDeleteValueW(key.get(), L"buffer_size"), ERROR_SUCCESS);
  EXPECT_TRUE(Signalled(values));
  // Deleting a subkey is a name change too; a value change below the key is
  // not seen without the subtree.
  ASSERT_EQ(Arm(key.get(), REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, names), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(child.get(), L"deep", 1), ERROR_SUCCESS);
  EXPECT_FALSE(Signalled(names));
  ASSERT_EQ(RegDeleteKeyW(key.get(), L"child"), ERROR_SUCCESS);
  EXPECT_TRUE(Signalled(names));
  for (HANDLE e : {values, names}) EXPECT_EQ(platform::CloseClientHandle(process_, e), STATUS_SUCCESS);
}

TEST_F(RegistryTest, ASubtreeWatchSeesChangesBelowTheKey) {
  HKEY root = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Velmora", 0, nullptr, 0, KEY_READ, nullptr, &root, nullptr),
            ERROR_SUCCESS);
  ScopedKey deep(HKEY_CURRENT_USER, L"SOFTWARE\\Velmora\\Velmora ASIO Device\\deeper");
  HANDLE subtree = NewEvent(), flat = NewEvent();
  ASSERT_EQ(Arm(root, 15, subtree, true), ERROR_SUCCESS);  // the control panel's filter
  ASSERT_EQ(Arm(root, 15, flat, false), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(deep.get(), L"x", 1), ERROR_SUCCESS);
  EXPECT_TRUE(Signalled(subtree));
  EXPECT_FALSE(Signalled(flat));
  // A key created two levels down: a name change of its parent, which the
  // subtree watch covers and the flat one does not.
  ASSERT_EQ(Arm(root, REG_NOTIFY_CHANGE_NAME, subtree, true), ERROR_SUCCESS);
  ScopedKey deeper(deep.get(), L"deepest");
  EXPECT_TRUE(Signalled(subtree));
  EXPECT_FALSE(Signalled(flat));
  EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);  // completes `flat`
  EXPECT_TRUE(Signalled(flat));
  for (HANDLE e : {subtree, flat}) EXPECT_EQ(platform::CloseClientHandle(process_, e), STATUS_SUCCESS);
}

TEST_F(RegistryTest, ClosingDeletingOrEndingTheProcessCompletesAPendingNotification) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kSettings, 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  HANDLE event = NewEvent();
  ASSERT_EQ(Arm(key, 15, event, true), ERROR_SUCCESS);
  EXPECT_EQ(platform::RegistryPendingWatches(), 1u);
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_TRUE(Signalled(event));
  EXPECT_EQ(platform::RegistryPendingWatches(), 0u);

  // Deleting the watched key completes it as well; arming on a deleted key fails.
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kSettings, 0, KEY_NOTIFY, &key), ERROR_SUCCESS);
  ASSERT_EQ(Arm(key, REG_NOTIFY_CHANGE_LAST_SET, event), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Velmora"), ERROR_SUCCESS);
  EXPECT_TRUE(Signalled(event));
  EXPECT_EQ(Arm(key, REG_NOTIFY_CHANGE_LAST_SET, event), ERROR_KEY_DELETED);
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  // A process ending with a watch armed: the watch completes and its event
  // reference goes (the fixture's leak check would name it).
  platform::ClientProcess* other = platform::CreateClientProcess("watcher");
  {
    platform::ProcessScope in(other);
    HANDLE otherEvent = platform::CreateClientEvent(other, false, false);
    ASSERT_EQ(Arm(HKEY_CURRENT_USER, REG_NOTIFY_CHANGE_LAST_SET, otherEvent, true), ERROR_SUCCESS);
  }
  EXPECT_EQ(platform::RegistryPendingWatches(), 1u);
  platform::EndClientProcess(other);
  EXPECT_EQ(platform::RegistryPendingWatches(), 0u);
  EXPECT_EQ(platform::CloseClientHandle(process_, event), STATUS_SUCCESS);
}

TEST_F(RegistryTest, ChangesFromAnotherThreadProcessOrTheKernelSignalTheWatcher) {
  ScopedKey key(HKEY_CURRENT_USER, kSettings, KEY_NOTIFY | KEY_WOW64_64KEY);
  ASSERT_EQ(key.status(), ERROR_SUCCESS);
  HANDLE event = NewEvent();

  // Another process, writing from its own thread while this one waits.
  ASSERT_EQ(Arm(key.get(), REG_NOTIFY_CHANGE_LAST_SET, event, true), ERROR_SUCCESS);
  platform::ClientProcess* panel = platform::CreateClientProcess("panel");
  std::thread writer([&] {
    platform::ProcessScope in(panel);
    ScopedKey own(HKEY_CURRENT_USER, kSettings, KEY_WRITE);
    EXPECT_EQ(SetDword(own.get(), L"sampling_rate", 96000), ERROR_SUCCESS);
  });
  EXPECT_TRUE(Signalled(event, kGenerousMs));
  writer.join();
  platform::EndClientProcess(panel);

  // The kernel: the host API and RtlWriteRegistryValue, from the system process.
  ASSERT_EQ(Arm(key.get(), REG_NOTIFY_CHANGE_LAST_SET, event, true), ERROR_SUCCESS);
  {
    platform::ProcessScope system(nullptr);
    platform::RegistrySetDword(User(u"SOFTWARE\\Velmora\\Velmora ASIO Device"), u"streaming", 1);
  }
  EXPECT_TRUE(Signalled(event));
  ASSERT_EQ(Arm(key.get(), REG_NOTIFY_CHANGE_LAST_SET, event, true), ERROR_SUCCESS);
  {
    platform::ProcessScope system(nullptr);
    ULONG one = 1;
    std::u16string path = User(u"SOFTWARE\\Velmora\\Velmora ASIO Device");
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(path.c_str()), L"lock",
                                    REG_BINARY, &one, 1),
              STATUS_SUCCESS);
  }
  EXPECT_TRUE(Signalled(event));
  EXPECT_EQ(platform::CloseClientHandle(process_, event), STATUS_SUCCESS);
}

TEST_F(RegistryTest, TheSynchronousFormReturnsAfterTheChange) {
  ScopedKey key(HKEY_CURRENT_USER, kSettings);
  ASSERT_EQ(key.status(), ERROR_SUCCESS);
  platform::ClientProcess* process = process_;
  HKEY watched = key.get();
  auto waiter = std::async(std::launch::async, [process, watched] {
    platform::ProcessScope in(process);
    return RegNotifyChangeKeyValue(watched, FALSE, REG_NOTIFY_CHANGE_LAST_SET, nullptr, FALSE);
  });
  ASSERT_TRUE(platform::RegistryWaitForPendingWatches(1, kGenerousMs));
  EXPECT_NE(waiter.wait_for(std::chrono::milliseconds(0)), std::future_status::ready);
  ASSERT_EQ(SetDword(key.get(), L"format", 0), ERROR_SUCCESS);
  ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(kGenerousMs)), std::future_status::ready);
  EXPECT_EQ(waiter.get(), ERROR_SUCCESS);
}

// The control panel's loop on Win32 events and threads: wait for a stop
// event or the change event; at stop, close the key and wait for the change
// event, which the close signals.
struct PanelWatch {
  HANDLE stop;
  std::atomic<int> changes{0};
};

DWORD WINAPI PanelWatchLoop(LPVOID parameter) {
  auto* watch = static_cast<PanelWatch*>(parameter);
  HANDLE change = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HKEY key = nullptr;
  if (!change || RegOpenKeyExW(HKEY_CURRENT_USER, kSettings, 0, KEY_NOTIFY, &key) != ERROR_SUCCESS) return 1;
  for (;;) {
    if (RegNotifyChangeKeyValue(key, TRUE, 15, change, TRUE) != ERROR_SUCCESS) return 2;
    HANDLE both[2] = {watch->stop, change};
    DWORD which = WaitForMultipleObjects(2, both, FALSE, kGenerousMs);
    if (which == WAIT_OBJECT_0) {
      RegCloseKey(key);
      DWORD completed = WaitForSingleObject(change, kGenerousMs);
      CloseHandle(change);
      return completed == WAIT_OBJECT_0 ? 0 : 3;
    }
    if (which != WAIT_OBJECT_0 + 1) return 4;
    watch->changes++;
  }
}

TEST_F(RegistryTest, ThePanelsWatchLoopOnWin32EventsEndsWhenItsKeyCloses) {
  ScopedKey key(HKEY_CURRENT_USER, kSettings);
  ASSERT_EQ(key.status(), ERROR_SUCCESS);
  PanelWatch watch;
  watch.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(watch.stop, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, PanelWatchLoop, &watch, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(platform::RegistryWaitForPendingWatches(1, kGenerousMs));
  ASSERT_EQ(SetDword(key.get(), L"buffer_size", 512), ERROR_SUCCESS);
  // The loop counts the change and arms again.
  ASSERT_TRUE(platform::RegistryWaitForPendingWatches(1, kGenerousMs));
  ASSERT_TRUE(SetEvent(watch.stop));
  ASSERT_EQ(WaitForSingleObject(thread, kGenerousMs), WAIT_OBJECT_0);
  DWORD code = 99;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_GE(watch.changes.load(), 1);
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_TRUE(CloseHandle(watch.stop));
}

TEST_F(RegistryTest, NotifyRefusesBadArguments) {
  ScopedKey key(HKEY_CURRENT_USER, kSettings);
  HANDLE event = NewEvent();
  EXPECT_EQ(RegNotifyChangeKeyValue(key.get(), FALSE, 0, event, TRUE), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegNotifyChangeKeyValue(key.get(), FALSE, 0x20, event, TRUE), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegNotifyChangeKeyValue(key.get(), FALSE, REG_NOTIFY_CHANGE_NAME, nullptr, TRUE),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegNotifyChangeKeyValue(key.get(), FALSE, REG_NOTIFY_CHANGE_NAME, reinterpret_cast<HANDLE>(0x7FF0),
                                    TRUE),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegNotifyChangeKeyValue(reinterpret_cast<HKEY>(0x7FF0), FALSE, REG_NOTIFY_CHANGE_NAME, event, TRUE),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(platform::RegistryPendingWatches(), 0u);
  EXPECT_EQ(platform::CloseClientHandle(process_, event), STATUS_SUCCESS);
}

// The control panel's watch loop (several threads on one key) against
// writers in another process. Every watcher sees a change, every write
// lands, nothing stays armed.
TEST_F(RegistryTest, WatchLoopsAndConcurrentWriters) {
  constexpr int kWatchers = 3, kWriters = 2, kWrites = 200;
  ScopedKey setup(HKEY_CURRENT_USER, kSettings);
  ASSERT_EQ(setup.status(), ERROR_SUCCESS);
  std::atomic<bool> stop{false};
  std::atomic<int> armed{0};
  std::vector<int> wakeups(kWatchers, 0);
  std::vector<std::thread> watchers;
  for (int w = 0; w < kWatchers; ++w) {
    watchers.emplace_back([&, w] {
      platform::ProcessScope in(process_);
      HKEY key = nullptr;
      ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kSettings, 0, KEY_NOTIFY, &key), ERROR_SUCCESS);
      HANDLE event = platform::CreateClientEvent(process_, false, false);
      for (bool first = true;; first = false) {
        ASSERT_EQ(Arm(key, 15, event, true), ERROR_SUCCESS);
        if (first) armed++;
        if (stop) break;  // armed after the last write: nothing more will come
        ASSERT_EQ(platform::WaitClientEvent(process_, event, kGenerousMs), STATUS_SUCCESS);
        wakeups[w]++;
      }
      EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);  // completes the last arming
      EXPECT_EQ(platform::CloseClientHandle(process_, event), STATUS_SUCCESS);
    });
  }
  // Writers start once every watcher is armed, so each sees at least one change.
  ASSERT_TRUE(platform::RegistryWaitForPendingWatches(kWatchers, kGenerousMs));
  platform::ClientProcess* asio = platform::CreateClientProcess("asio host");
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      platform::ProcessScope in(asio);
      ScopedKey key(HKEY_CURRENT_USER, kSettings, KEY_WRITE);
      const wchar_t* name = w == 0 ? L"buffer_size" : L"sampling_rate";
      for (DWORD i = 1; i <= kWrites; ++i) EXPECT_EQ(SetDword(key.get(), name, i), ERROR_SUCCESS);
      ScopedKey child(key.get(), w == 0 ? L"a" : L"b");
      EXPECT_EQ(child.status(), ERROR_SUCCESS);
    });
  }
  for (auto& t : writers) t.join();
  stop = true;
  {
    // The last write after the stop flag: wakes every watcher still waiting.
    platform::ProcessScope in(asio);
    ScopedKey key(HKEY_CURRENT_USER, kSettings, KEY_WRITE);
    EXPECT_EQ(SetDword(key.get(), L"notify", 1), ERROR_SUCCESS);
  }
  for (auto& t : watchers) t.join();
  platform::EndClientProcess(asio);
  EXPECT_EQ(armed.load(), kWatchers);
  for (int w = 0; w < kWatchers; ++w) EXPECT_GE(wakeups[w], 1) << "watcher " << w;
  DWORD value = 0, size = sizeof value;
  ASSERT_EQ(RegQueryValueExW(setup.get(), L"sampling_rate", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, static_cast<DWORD>(kWrites));
  EXPECT_EQ(platform::RegistryPendingWatches(), 0u);
}

}  // namespace

// The settings key's watch threads: how many start for a processor layout,
// the processor report, one call per thread for every change under the key
// (subkeys included, nothing for other keys), each thread ending alone on
// its own failure, a failed start leaving nothing behind, Stop ending them
// all with every handle closed, and the dialog's notification posted to its
// window only when it has one.
#include "platform/kernel/client_process.h"
#include "platform/kernel/registry.h"
#include "platform/kernel/verifier.h"
#include "tests/support/verifier_test.h"
// The kernel headers first: <windows.h> leaves their definitions alone.
#include "panel/reg_key_watcher.h"

#include <winuser.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

#include "asio/settings/settings_table.h"
#include "platform/win32/debug_output.h"
#include "platform/win32/process_host.h"
#include "platform/win32/registry_host.h"
#include "platform/win32/system_host.h"
#include "platform/win32/window_host.h"
#include "tests/support/waitable_count.h"

namespace {

using platform::win32::DebugOutputCapture;

constexpr DWORD kWaitMs = 10000;

// Counts the calls its threads make.
class CountingWatcher : public CRegKeyWatcher {
 public:
  explicit CountingWatcher(HKEY root) : CRegKeyWatcher(root) {}
  ~CountingWatcher() override { Stop(); }
  void OnKeyChanged() override { changes.Add(); }
  WaitableCount changes;
};

// Counts debugger lines (every process's) as they are written, so a test
// can wait for threads that end on their own.
class LineCounter {
 public:
  LineCounter() {
    platform::win32::SetDebugOutputEcho([this](const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++counts_[text];
      changed_.notify_all();
    });
  }
  ~LineCounter() { platform::win32::SetDebugOutputEcho(nullptr); }
  LineCounter(const LineCounter&) = delete;
  LineCounter& operator=(const LineCounter&) = delete;
  // True once `line` was written at least `times` times; false after 10 s.
  bool WaitFor(const std::string& line, int times) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return counts_[line] >= times; });
  }
  int Count(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_[line];
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, int> counts_;
};

size_t Occurrences(const std::vector<std::string>& messages, const std::string& line) {
  size_t n = 0;
  for (const auto& m : messages) n += m == line;
  return n;
}

size_t StartLines(const std::vector<std::string>& messages) {
  size_t n = 0;
  for (const auto& m : messages) n += m.rfind("start: ", 0) == 0;
  return n;
}

class WatcherTest : public VerifiedTest {
 protected:
  void SetUp() override {
    VerifiedTest::SetUp();
    platform::win32::ResetRegistry();
    platform::win32::ResetSystemStandIns();
    objects_ = platform::win32::LiveWin32Objects();
    process_ = platform::CreateClientProcess("watcher test");
    scope_ = std::make_unique<platform::ProcessScope>(process_);
    capture_ = std::make_unique<DebugOutputCapture>(process_);
  }
  void TearDown() override {
    capture_.reset();
    scope_.reset();
    platform::EndClientProcess(process_);
    EXPECT_TRUE(platform::win32::WaitForLiveWin32Objects(objects_, kWaitMs)) << "thread objects left";
    platform::win32::ResetSystemStandIns();
    platform::win32::ResetRegistry();
    platform::VerifyNoLeaks("watcher test");
    VerifiedTest::TearDown();
  }

  static void CreateKey(HKEY root, const wchar_t* path) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  static void SetValue(HKEY root, const wchar_t* path, const wchar_t* name, DWORD value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  // Every watch thread has (re-)registered its request: none is between a
  // change and its next request any more.
  static void WaitArmed(size_t threads) {
    ASSERT_TRUE(platform::RegistryWaitForPendingWatches(threads, kWaitMs));
    ASSERT_EQ(platform::RegistryPendingWatches(), threads);
  }
  size_t KeyHandles() const { return platform::win32::OpenRegistryKeyHandles(process_); }
  size_t EventHandles() const { return platform::ClientEventHandleCount(process_); }

  size_t objects_ = 0;
  platform::ClientProcess* process_ = nullptr;
  std::unique_ptr<DebugOutputCapture> capture_;

 private:
  std::unique_ptr<platform::ProcessScope> scope_;
};

// ---- Processors and thread count -------------------------------------------

struct Layout {
  unsigned packages, cores, threads;
  ULONG logical;
  ULONG watchThreads;
};

class WatcherThreadCountTest : public WatcherTest, public ::testing::WithParamInterface<Layout> {};

TEST_P(WatcherThreadCountTest, OneThreadPerLogicalProcessorPlusOneUpToSeventeen) {
  const Layout l = GetParam();
  ASSERT_TRUE(platform::win32::SetProcessorLayout(l.packages, l.cores, l.threads));
  CreateKey(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY);
  CRegKeyWatcher watcher(HKEY_CURRENT_USER);
  EXPECT_EQ(watcher.ThreadCount(), l.logical);
  ASSERT_EQ(watcher.Start(), 0u);
  EXPECT_EQ(watcher.StartedThreads(), l.watchThreads);
  // Each thread holds its own key and request.
  WaitArmed(l.watchThreads);
  EXPECT_EQ(KeyHandles(), l.watchThreads);
  EXPECT_EQ(StartLines(capture_->Messages()), l.watchThreads);
  watcher.Stop();
}

INSTANTIATE_TEST_SUITE_P(Layouts, WatcherThreadCountTest,
                         ::testing::Values(Layout{1, 1, 1, 1, 2}, Layout{1, 4, 1, 4, 5}, Layout{1, 2, 2, 4, 5},
                                           Layout{1, 8, 2, 16, 17}, Layout{1, 17, 1, 17, 17},
                                           Layout{2, 8, 2, 32, 17}));

TEST_F(WatcherTest, WithoutProcessorInformationTwoThreadsWatch) {
  platform::win32::SetModuleExportMissing("kernel32.dll", "GetLogicalProcessorInformation");
  ULONG count = 99;
  EXPECT_EQ(CRegKeyWatcher::CountLogicalProcessors(&count), 1u);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(capture_->Messages(), std::vector<std::string>{"\nGetLogicalProcessorInformation is not supported.\n"});

  CreateKey(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY);
  CRegKeyWatcher watcher(HKEY_CURRENT_USER);
  EXPECT_EQ(watcher.ThreadCount(), 0u);
  ASSERT_EQ(watcher.Start(), 0u);
  EXPECT_EQ(watcher.StartedThreads(), 2u);
  WaitArmed(2);
  watcher.Stop();
}

TEST_F(WatcherTest, ProcessorReportGoesToTheDebugger) {
  ASSERT_TRUE(platform::win32::SetProcessorLayout(2, 4, 2));
  ULONG count = 0;
  EXPECT_EQ(CRegKeyWatcher::CountLogicalProcessors(&count), 0u);
  EXPECT_EQ(count, 16u);
  const std::vector<std::string> expected = {
      "\nGetLogicalProcessorInformation results:\n",
      "Number of NUMA nodes: 2\n",
      "Number of physical processor packages: 2\n",
      "Number of processor cores: 8\n",
      "Number of logical processors: 16\n",
      "Number of processor L1/L2/L3 caches: 16/8/2\n",
  };
  EXPECT_EQ(capture_->Messages(), expected);
}

// A kernel32 whose GetLogicalProcessorInformation answers from a script.
struct ScriptedProcessorInformation {
  std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> records;
  DWORD extraBytes = 0;  // reported beyond the whole records
  DWORD failWith = 0;    // an error other than the size protocol
  int calls = 0;
};
ScriptedProcessorInformation* g_script = nullptr;

BOOL WINAPI ScriptedGetLogicalProcessorInformation(PSYSTEM_LOGICAL_PROCESSOR_INFORMATION buffer, PDWORD length) {
  ++g_script->calls;
  if (g_script->failWith) {
    SetLastError(g_script->failWith);
    return FALSE;
  }
  const DWORD whole = static_cast<DWORD>(g_script->records.size() * sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
  const DWORD needed = whole + g_script->extraBytes;
  if (*length < needed) {
    *length = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  memcpy(buffer, g_script->records.data(), whole);
  // The tail looks like the start of another core record with four
  // processors: counting it would read past the last whole record.
  if (g_script->extraBytes) {
    BYTE tail[sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION)] = {};
    SYSTEM_LOGICAL_PROCESSOR_INFORMATION core{};
    core.ProcessorMask = 0xF0;
    core.Relationship = RelationProcessorCore;
    memcpy(tail, &core, sizeof tail);
    memcpy(reinterpret_cast<BYTE*>(buffer) + whole, tail, g_script->extraBytes);
  }
  *length = needed;
  return TRUE;
}

class ScriptedProcessorTest : public WatcherTest {
 protected:
  void SetUp() override {
    WatcherTest::SetUp();
    g_script = &script_;
    platform::win32::RegisterModule(
        "kernel32.dll", {{"GetLogicalProcessorInformation",
                          reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&ScriptedGetLogicalProcessorInformation))}});
  }
  void TearDown() override {
    platform::win32::ResetSystemStandIns();
    g_script = nullptr;
    WatcherTest::TearDown();
  }
  static SYSTEM_LOGICAL_PROCESSOR_INFORMATION Record(LOGICAL_PROCESSOR_RELATIONSHIP relation, ULONG_PTR mask,
                                                     BYTE cacheLevel = 0) {
    SYSTEM_LOGICAL_PROCESSOR_INFORMATION r;
    memset(&r, 0, sizeof r);
    r.ProcessorMask = mask;
    r.Relationship = relation;
    if (relation == RelationCache) r.Cache.Level = cacheLevel;
    return r;
  }
  ScriptedProcessorInformation script_;
};

TEST_F(ScriptedProcessorTest, UnknownRecordsAreReportedAndSkippedAndAPartialRecordIsNotRead) {
  script_.records = {Record(RelationProcessorCore, 0x3), Record(RelationCache, 0x3, 1),
                     Record(RelationGroup, 0xFF), Record(RelationCache, 0x3, 2),
                     Record(static_cast<LOGICAL_PROCESSOR_RELATIONSHIP>(0x1234), 0xFF),
                     Record(RelationProcessorCore, 0xC), Record(RelationCache, 0xF, 3),
                     Record(RelationProcessorPackage, 0xF), Record(RelationNumaNode, 0xF)};
  script_.extraBytes = 16;
  ULONG count = 0;
  EXPECT_EQ(CRegKeyWatcher::CountLogicalProcessors(&count), 0u);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(script_.calls, 2) << "one size query, one read";
  const std::vector<std::string> messages = capture_->Messages();
  EXPECT_EQ(Occurrences(messages, "\nError: Unsupported LOGICAL_PROCESSOR_RELATIONSHIP value.\n"), 2u);
  EXPECT_EQ(Occurrences(messages, "Number of processor cores: 2\n"), 1u);
  EXPECT_EQ(Occurrences(messages, "Number of logical processors: 4\n"), 1u);
  EXPECT_EQ(Occurrences(messages, "Number of processor L1/L2/L3 caches: 1/1/1\n"), 1u);
  EXPECT_EQ(Occurrences(messages, "Number of physical processor packages: 1\n"), 1u);
  EXPECT_EQ(Occurrences(messages, "Number of NUMA nodes: 1\n"), 1u);
}

TEST_F(ScriptedProcessorTest, AnotherErrorIsReportedAndLeavesTheCountAtZero) {
  script_.failWith = ERROR_INVALID_FUNCTION;
  ULONG count = 7;
  EXPECT_EQ(CRegKeyWatcher::CountLogicalProcessors(&count), 3u);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(capture_->Messages(), std::vector<std::string>{"\nError 1\n"});
  // Two threads then, as without the function.
  CreateKey(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY);
  CRegKeyWatcher watcher(HKEY_CURRENT_USER);
  ASSERT_EQ(watcher.Start(), 0u);
  EXPECT_EQ(watcher.StartedThreads(), 2u);
  watcher.Stop();
}

// ---- Changes -----------------------------------------------------------------

TEST_F(WatcherTest, EveryThreadReportsEachChangeUnderTheKeyOnce) {
  ASSERT_TRUE(platform::win32::SetProcessorLayout(1, 4, 1));
  const wchar_t* sub = VM_ASIO_SETTINGS_KEY L"\\Sub";
  CreateKey(HKEY_CURRENT_USER, sub);
  CountingWatcher watcher(HKEY_CURRENT_USER);
  ASSERT_EQ(watcher.Start(), 0u);
  WaitArmed(5);

  // A value written under the key: one call on each of the five threads.
  SetValue(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY, L"buffer_size", 512);
  EXPECT_TRUE(watcher.changes.WaitFor(5));
  WaitArmed(5);
  EXPECT_EQ(watcher.changes.Get(), 5);

  // A value in a subkey counts as well (the whole subtree is watched).
  SetValue(HKEY_CURRENT_USER, sub, L"x", 1);
  EXPECT_TRUE(watcher.changes.WaitFor(10));
  WaitArmed(5);
  EXPECT_EQ(watcher.changes.Get(), 10);

  // Another key's change is not the settings' (the requests stay pending).
  SetValue(HKEY_CURRENT_USER, L"SOFTWARE\\Velmora\\Other", L"x", 1);
  EXPECT_EQ(platform::RegistryPendingWatches(), 5u);
  EXPECT_EQ(watcher.changes.Get(), 10);
  watcher.Stop();
}

TEST_F(WatcherTest, AThirtyTwoBitProgramWatchesTheSixtyFourBitView) {
  // HKLM\SOFTWARE is redirected for 32-bit programs; the key exists only in
  // the 64-bit view, as the settings key does.
  const wchar_t* path = VM_ASIO_SETTINGS_KEY;
  CreateKey(HKEY_LOCAL_MACHINE, path);
  platform::ClientProcess* process32 = platform::CreateClientProcess("watcher test (32-bit)", true);
  {
    platform::ProcessScope in(process32);
    CountingWatcher watcher(HKEY_LOCAL_MACHINE);
    ASSERT_EQ(watcher.Start(), 0u);
    const size_t threads = watcher.StartedThreads();
    WaitArmed(threads);
    SetValue(HKEY_LOCAL_MACHINE, path, L"v", 1);
    EXPECT_TRUE(watcher.changes.WaitFor(static_cast<int>(threads)));
    watcher.Stop();
  }
  platform::EndClientProcess(process32);
}

// ---- Failures ----------------------------------------------------------------

TEST_F(WatcherTest, AMissingKeyEndsEachThreadWithItsErrorLine) {
  ASSERT_TRUE(platform::win32::SetProcessorLayout(1, 2, 1));
  LineCounter lines;
  CountingWatcher watcher(HKEY_CURRENT_USER);
  ASSERT_EQ(watcher.Start(), 0u);
  EXPECT_EQ(watcher.StartedThreads(), 3u);
  // They end on their own, holding nothing.
  EXPECT_TRUE(lines.WaitFor("Error in RegOpenKeyEx (2).\n", 3));
  EXPECT_EQ(platform::RegistryPendingWatches(), 0u);
  watcher.Stop();
  EXPECT_EQ(lines.Count("Error in RegOpenKeyEx (2).\n"), 3);
  EXPECT_EQ(KeyHandles(), 0u);
  EXPECT_EQ(EventHandles(), 1u) << "only the stop event";
  EXPECT_EQ(watcher.changes.Get(), 0);
}

TEST_F(WatcherTest, ADeletedKeyEndsTheThreadsWithTheirKeysClosed) {
  ASSERT_TRUE(platform::win32::SetProcessorLayout(1, 2, 1));
  CreateKey(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY);
  LineCounter lines;
  CountingWatcher watcher(HKEY_CURRENT_USER);
  ASSERT_EQ(watcher.Start(), 0u);
  WaitArmed(3);
  ASSERT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY), ERROR_SUCCESS);
  // The deletion is a change each thread reports; the next request fails.
  EXPECT_TRUE(lines.WaitFor("Error in RegNotifyChangeKeyValue (1018).\n", 3));
  EXPECT_TRUE(lines.WaitFor("end\n", 3));
  EXPECT_EQ(watcher.changes.Get(), 3);
  // Their keys are closed before Stop, not held until the program ends.
  EXPECT_EQ(KeyHandles(), 0u);
  EXPECT_EQ(EventHandles(), 1u) << "only the stop event";
  watcher.Stop();
}

TEST_F(WatcherTest, AThreadThatCannotBeMadeLeavesNoThreadBehind) {
  ASSERT_TRUE(platform::win32::SetProcessorLayout(1, 4, 1));
  CreateKey(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY);
  CountingWatcher watcher(HKEY_CURRENT_USER);
  for (unsigned made : {0u, 3u}) {
    SCOPED_TRACE(made);
    capture_->Clear();
    platform::win32::FailNextThreadCreations(1, made);
    EXPECT_EQ(watcher.Start(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(Occurrences(capture_->Messages(), "! CreateThread failed.\n"), 1u);
    EXPECT_EQ(watcher.StartedThreads(), 0u);
    // The threads made before the failure are gone, not left suspended.
    EXPECT_TRUE(platform::win32::WaitForLiveWin32Objects(objects_, kWaitMs));
    EXPECT_EQ(KeyHandles(), 0u);
    EXPECT_EQ(platform::RegistryPendingWatches(), 0u);
    EXPECT_EQ(watcher.changes.Get(), 0);
  }
  // A later start works.
  ASSERT_EQ(watcher.Start(), 0u);
  WaitArmed(5);
  SetValue(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY, L"buffer_size", 512);
  EXPECT_TRUE(watcher.changes.WaitFor(5));
  watcher.Stop();
}

// ---- Stop --------------------------------------------------------------------

TEST_F(WatcherTest, StopEndsEveryThreadAndClosesEveryHandle) {
  ASSERT_TRUE(platform::win32::SetProcessorLayout(1, 4, 1));
  CreateKey(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY);
  {
    CountingWatcher watcher(HKEY_CURRENT_USER);
    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE(round);
      capture_->Clear();
      ASSERT_EQ(watcher.Start(), 0u);
      EXPECT_EQ(watcher.Start(), static_cast<DWORD>(ERROR_BUSY)) << "already watching";
      WaitArmed(5);
      EXPECT_EQ(KeyHandles(), 5u);
      EXPECT_EQ(EventHandles(), 6u) << "the stop event and one change event per thread";
      watcher.Stop();
      EXPECT_EQ(watcher.StartedThreads(), 0u);
      EXPECT_EQ(Occurrences(capture_->Messages(), "end\n"), 5u);
      EXPECT_EQ(KeyHandles(), 0u);
      EXPECT_EQ(EventHandles(), 1u);
      EXPECT_EQ(platform::RegistryPendingWatches(), 0u);
      EXPECT_TRUE(platform::win32::WaitForLiveWin32Objects(objects_, kWaitMs));
      // Nothing reports a change after Stop.
      SetValue(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY, L"buffer_size", 256);
      EXPECT_EQ(watcher.changes.Get(), 0);
    }
    watcher.Stop();  // a second Stop does nothing
  }
  EXPECT_EQ(EventHandles(), 0u);
}

TEST_F(WatcherTest, DestroyingARunningWatcherStopsItsThreads) {
  CreateKey(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY);
  {
    CRegKeyWatcher watcher(HKEY_CURRENT_USER);
    ASSERT_EQ(watcher.Start(), 0u);
    WaitArmed(watcher.StartedThreads());
  }
  EXPECT_EQ(KeyHandles(), 0u);
  EXPECT_EQ(EventHandles(), 0u);
  EXPECT_TRUE(platform::win32::WaitForLiveWin32Objects(objects_, kWaitMs));
}

// ---- The dialog's notification ----------------------------------------------

TEST_F(WatcherTest, EveryThreadPostsTheRefreshToTheOwnerWindow) {
  ASSERT_TRUE(platform::win32::SetProcessorLayout(1, 4, 1));
  CreateKey(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY);
  HWND window = platform::win32::CreateHostWindow(u"Velmora USB Audio Driver");
  ASSERT_NE(window, nullptr);
  {
    CRegistryNotify notify(HKEY_CURRENT_USER);
    notify.SetOwner(window);
    ASSERT_EQ(notify.Start(), 0u);
    WaitArmed(5);
    SetValue(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY, L"sampling_rate", 96000);
    for (int i = 0; i < 5; ++i) {
      platform::win32::WindowMessage m;
      ASSERT_TRUE(platform::win32::TakeWindowMessage(window, &m, kWaitMs)) << "message " << i;
      EXPECT_EQ(m.message, static_cast<UINT>(WM_APP));
      EXPECT_EQ(m.wParam, 0u);
      EXPECT_EQ(m.lParam, 0);
    }
    WaitArmed(5);
    EXPECT_EQ(platform::win32::PendingWindowMessages(window), 0u);
    notify.Stop();
  }
  platform::win32::DestroyHostWindow(window);
}

TEST_F(WatcherTest, WithoutAnOwnerNothingIsPosted) {
  ASSERT_TRUE(platform::win32::SetProcessorLayout(1, 2, 1));
  CreateKey(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY);
  HWND window = platform::win32::CreateHostWindow(u"Velmora USB Audio Driver");
  ASSERT_NE(window, nullptr);
  {
    CRegistryNotify notify(HKEY_CURRENT_USER);
    ASSERT_EQ(notify.Start(), 0u);
    WaitArmed(3);
    SetValue(HKEY_CURRENT_USER, VM_ASIO_SETTINGS_KEY, L"buffer_size", 128);
    // Every thread has handled the change once all are armed again.
    WaitArmed(3);
    EXPECT_EQ(platform::win32::PendingWindowMessages(window), 0u);
    notify.Stop();
  }
  platform::win32::DestroyHostWindow(window);
}

}  // namespace

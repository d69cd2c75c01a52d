// Version, processor layout, MMCSS records, timers and debugger output.
#include <avrt.h>
#include <mmsystem.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/win32/debug_output.h"
#include "tests/win32/system_fixture.h"

namespace {

using namespace platform::win32;
using SystemTest = SystemStandInTest;

TEST_F(SystemTest, GetVersionExWChecksTheStructureSize) {
  OSVERSIONINFOW info;
  memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(GetVersionExW(&info));
  EXPECT_EQ(info.dwMajorVersion, 6u);
  EXPECT_EQ(info.dwMinorVersion, 2u);
  EXPECT_EQ(info.dwBuildNumber, 9200u);
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  EXPECT_EQ(info.szCSDVersion[0], 0);

  for (DWORD size : {DWORD{0}, DWORD{sizeof info - 1}, DWORD{sizeof info + 1}}) {
    memset(&info, 0xAB, sizeof info);
    info.dwOSVersionInfoSize = size;
    SetLastError(0);
    EXPECT_FALSE(GetVersionExW(&info)) << size;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(info.dwMajorVersion, 0xABABABABu);
  }

  SetWindowsVersion(5, 1, 2600);
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(GetVersionExW(&info));
  EXPECT_EQ(info.dwMajorVersion, 5u);
  EXPECT_EQ(info.dwMinorVersion, 1u);
  EXPECT_EQ(info.dwBuildNumber, 2600u);
}

struct ProcessorCounts {
  int packages = 0, cores = 0, logical = 0, nodes = 0, smtCores = 0;
  int caches[4] = {0, 0, 0, 0};
  ULONG_PTR coreMaskUnion = 0;
  bool coreMasksOverlap = false;
};

ProcessorCounts Walk(const std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION>& records) {
  ProcessorCounts c;
  for (const auto& r : records) {
    switch (r.Relationship) {
      case RelationProcessorCore:
        ++c.cores;
        c.logical += __builtin_popcountll(r.ProcessorMask);
        c.coreMasksOverlap = c.coreMasksOverlap || (c.coreMaskUnion & r.ProcessorMask) != 0;
        c.coreMaskUnion |= r.ProcessorMask;
        c.smtCores += r.ProcessorCore.Flags == 1;
        break;
      case RelationNumaNode:
        ++c.nodes;
        break;
      case RelationCache:
        if (r.Cache.Level >= 1 && r.Cache.Level <= 3) ++c.caches[r.Cache.Level];
        break;
      case RelationProcessorPackage:
        ++c.packages;
        break;
      default:
        ADD_FAILURE() << "relationship " << r.Relationship;
    }
  }
  return c;
}

// The two-call protocol a caller uses: ask with 0, allocate, ask again.
std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> QueryProcessors(DWORD* needed) {
  DWORD length = 0;
  SetLastError(0);
  EXPECT_FALSE(GetLogicalProcessorInformation(nullptr, &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(length % sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION), 0u);
  *needed = length;
  std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> records(length / sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION) + 1);
  DWORD big = static_cast<DWORD>(records.size() * sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
  EXPECT_TRUE(GetLogicalProcessorInformation(records.data(), &big));
  EXPECT_EQ(big, length);
  records.resize(big / sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
  return records;
}

TEST_F(SystemTest, ProcessorInformationFollowsTheConfiguredLayoutAndSizeProtocol) {
  static_assert(sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION) == 32, "x64 record size");
  DWORD needed = 0;
  ProcessorCounts def = Walk(QueryProcessors(&needed));
  EXPECT_EQ(def.packages, 1);
  EXPECT_EQ(def.cores, 2);
  EXPECT_EQ(def.logical, 2);

  ASSERT_TRUE(SetProcessorLayout(2, 4, 2));
  auto records = QueryProcessors(&needed);
  ProcessorCounts c = Walk(records);
  EXPECT_EQ(c.packages, 2);
  EXPECT_EQ(c.nodes, 2);
  EXPECT_EQ(c.cores, 8);
  EXPECT_EQ(c.smtCores, 8);
  EXPECT_EQ(c.logical, 16);
  EXPECT_FALSE(c.coreMasksOverlap);
  EXPECT_EQ(c.coreMaskUnion, ULONG_PTR{0xFFFF});
  EXPECT_EQ(c.caches[1], 16);  // data and instruction per core
  EXPECT_EQ(c.caches[2], 8);
  EXPECT_EQ(c.caches[3], 2);

  // One byte short: refused, nothing written, the needed length returned.
  std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> shortBuffer(records.size());
  memset(shortBuffer.data(), 0xCD, shortBuffer.size() * sizeof shortBuffer[0]);
  DWORD length = needed - 1;
  SetLastError(0);
  EXPECT_FALSE(GetLogicalProcessorInformation(shortBuffer.data(), &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(length, needed);
  EXPECT_EQ(shortBuffer[0].ProcessorMask, static_cast<ULONG_PTR>(0xCDCDCDCDCDCDCDCDull));
  // Exactly the needed length succeeds.
  EXPECT_TRUE(GetLogicalProcessorInformation(shortBuffer.data(), &length));
  EXPECT_EQ(memcmp(shortBuffer.data(), records.data(), needed), 0);

  // More than one processor group, or an empty machine, is refused.
  EXPECT_FALSE(SetProcessorLayout(5, 8, 2));
  EXPECT_FALSE(SetProcessorLayout(1, 0, 1));
  EXPECT_EQ(Walk(QueryProcessors(&needed)).logical, 16);
}

TEST_F(SystemTest, MmcssTaskIsRecordedPerThreadAndChecked) {
  DWORD index = 0;
  HANDLE task = AvSetMmThreadCharacteristicsW(L"pro AUDIO", &index);
  ASSERT_NE(task, nullptr);
  EXPECT_EQ(index, 1u);
  EXPECT_EQ(CurrentThreadMmcssTask(), "pro AUDIO");
  std::string elsewhere = "unset";
  std::thread([&] { elsewhere = CurrentThreadMmcssTask(); }).join();
  EXPECT_EQ(elsewhere, "");

  DWORD unknown = 0;
  SetLastError(0);
  EXPECT_EQ(AvSetMmThreadCharacteristicsW(L"Studio", &unknown), nullptr);
  EXPECT_EQ(GetLastError(), kErrorInvalidTaskName);
  DWORD unissued = 7;
  SetLastError(0);
  EXPECT_EQ(AvSetMmThreadCharacteristicsW(L"Pro Audio", &unissued), nullptr);
  EXPECT_EQ(GetLastError(), kErrorInvalidTaskIndex);

  EXPECT_TRUE(AvSetMmThreadPriority(task, AVRT_PRIORITY_HIGH));
  SetLastError(0);
  EXPECT_FALSE(AvSetMmThreadPriority(task, static_cast<AVRT_PRIORITY>(3)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  EXPECT_TRUE(AvRevertMmThreadCharacteristics(task));
  EXPECT_EQ(CurrentThreadMmcssTask(), "");
  SetLastError(0);
  EXPECT_FALSE(AvRevertMmThreadCharacteristics(task));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  auto history = MmcssHistory();
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].task, "pro AUDIO");
  EXPECT_EQ(history[0].priority, AVRT_PRIORITY_HIGH);
  EXPECT_TRUE(history[0].reverted);
}

TEST_F(SystemTest, TimerPeriodsMustBeValidAndMatched) {
  EXPECT_EQ(timeBeginPeriod(0), static_cast<MMRESULT>(TIMERR_NOCANDO));
  EXPECT_EQ(timeBeginPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
  EXPECT_EQ(ActiveTimerPeriods(), std::vector<UINT>{1});
  EXPECT_EQ(timeEndPeriod(2), static_cast<MMRESULT>(TIMERR_NOCANDO));
  EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
  EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOCANDO));
  EXPECT_TRUE(ActiveTimerPeriods().empty());
}

TEST_F(SystemTest, MillisecondClocksWrapAsDwordAndCountersAdvance) {
  SetUptimeBias(0x100000000ull + 1000);  // a machine up for just over 49.7 days
  const ULONGLONG before = GetTickCount64();
  const DWORD t = timeGetTime();
  const DWORD tick = GetTickCount();
  const ULONGLONG after = GetTickCount64();
  EXPECT_GE(before, 0x100000000ull + 1000);
  EXPECT_LT(t, 0x80000000u);  // wrapped, not saturated
  // Both 32-bit clocks equal the low half of the 64-bit count between the reads.
  EXPECT_LE(static_cast<DWORD>(t - static_cast<DWORD>(before)), static_cast<DWORD>(after - before));
  EXPECT_LE(static_cast<DWORD>(tick - static_cast<DWORD>(before)), static_cast<DWORD>(after - before));

  LARGE_INTEGER frequency, a, b;
  ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
  EXPECT_EQ(frequency.QuadPart, 10000000);
  ASSERT_TRUE(QueryPerformanceCounter(&a));
  ASSERT_TRUE(QueryPerformanceCounter(&b));
  EXPECT_LE(a.QuadPart, b.QuadPart);
}

TEST_F(SystemTest, DebugOutputIsCapturedPerProcessFromSeveralThreads) {
  DebugOutputCapture everything;
  DebugOutputCapture mine(process_);
  platform::ClientProcess* other = platform::CreateClientProcess("other");
  DebugOutputCapture theirs(other);

  constexpr int kLines = 200;
  auto writer = [](platform::ClientProcess* process, const WCHAR* prefix) {
    platform::ProcessScope in(process);
    for (int i = 0; i < kLines; ++i) {
      WCHAR line[32];
      int n = 0;
      for (const WCHAR* p = prefix; *p;) line[n++] = *p++;
      line[n++] = static_cast<WCHAR>(L'0' + i / 100);
      line[n++] = static_cast<WCHAR>(L'0' + i / 10 % 10);
      line[n++] = static_cast<WCHAR>(L'0' + i % 10);
      line[n++] = L'\n';
      line[n] = 0;
      OutputDebugStringW(line);
    }
  };
  std::thread a(writer, process_, L"mine ");
  std::thread b(writer, other, L"theirs ");
  a.join();
  b.join();
  OutputDebugStringA("caf\xE9\n");  // this thread runs in process_ too

  auto own = mine.Messages();
  ASSERT_EQ(own.size(), static_cast<size_t>(kLines + 1));
  for (int i = 0; i < kLines; ++i) {
    char expected[16];
    snprintf(expected, sizeof expected, "mine %03d\n", i);
    EXPECT_EQ(own[i], expected);
  }
  EXPECT_EQ(own.back(), "caf\xC3\xA9\n");
  EXPECT_EQ(mine.WideText().back(), u'\n');
  EXPECT_EQ(theirs.Count(), static_cast<size_t>(kLines));
  EXPECT_EQ(theirs.Messages().front(), "theirs 000\n");
  EXPECT_EQ(everything.Count(), static_cast<size_t>(2 * kLines + 1));
  EXPECT_TRUE(everything.WaitFor("theirs 199", std::chrono::milliseconds(0)));
  EXPECT_FALSE(everything.WaitFor("never written", std::chrono::milliseconds(1)));

  // A message from the system process reaches only the global capture.
  std::thread([] { OutputDebugStringW(L"system\n"); }).join();
  EXPECT_EQ(mine.Count(), static_cast<size_t>(kLines + 1));
  EXPECT_EQ(everything.Messages().back(), "system\n");
  mine.Clear();
  EXPECT_EQ(mine.Count(), 0u);
  platform::EndClientProcess(other);
}

}  // namespace

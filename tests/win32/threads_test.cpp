// Threads of the Win32 stand-ins: the creator's process, ids and exit
// codes, suspension, ExitThread, the TerminateThread model (the handle is
// signalled at once, the thread stops at its next wait and unwinds) and
// recorded priorities.
#include <atomic>

#include "platform/win32/process_host.h"
#include "tests/win32/in_process_fixture.h"

namespace {

using ThreadTest = Win32Test;

struct Probe {
  HANDLE go = nullptr;  // the thread waits for it, then returns `code`
  DWORD code = 0;
  std::atomic<bool> ran{false};
  std::atomic<bool> after{false};  // set after the wait/sleep it should not survive
  std::atomic<int> unwound{0};
  platform::ClientProcess* process = nullptr;
  DWORD processId = 0;
  DWORD threadId = 0;
};

DWORD WINAPI WaitThenReturn(LPVOID argument) {
  auto* probe = static_cast<Probe*>(argument);
  probe->ran = true;
  probe->process = platform::CurrentClientProcess();
  probe->processId = GetCurrentProcessId();
  probe->threadId = GetCurrentThreadId();
  if (probe->go && WaitForSingleObject(probe->go, 10000) != WAIT_OBJECT_0) return 999;
  return probe->code;
}

DWORD WINAPI ExitEarly(LPVOID argument) {
  auto* probe = static_cast<Probe*>(argument);
  ExitThread(7);
  probe->after = true;
  return 1;
}

struct Unwinds {
  Probe* probe;
  ~Unwinds() { probe->unwound++; }
};

DWORD WINAPI WaitForever(LPVOID argument) {
  auto* probe = static_cast<Probe*>(argument);
  Unwinds guard{probe};
  probe->ran = true;
  WaitForSingleObject(probe->go, INFINITE);
  probe->after = true;
  return 1;
}

DWORD WINAPI SleepForever(LPVOID argument) {
  auto* probe = static_cast<Probe*>(argument);
  Unwinds guard{probe};
  probe->ran = true;
  Sleep(INFINITE);
  probe->after = true;
  return 1;
}

TEST_F(ThreadTest, AThreadRunsInItsCreatorsProcessAndEndsWithItsExitCode) {
  Probe probe;
  probe.go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  probe.code = 42;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, WaitThenReturn, &probe, 0, &id);
  ASSERT_NE(thread, nullptr);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(SetEvent(probe.go));
  ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(probe.process, process_);
  EXPECT_EQ(probe.processId, GetCurrentProcessId());
  EXPECT_EQ(probe.threadId, id);
  EXPECT_NE(id, GetCurrentThreadId());

  Probe exits;
  HANDLE early = CreateThread(nullptr, 0, ExitEarly, &exits, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(early, 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(early, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_FALSE(exits.after);
  for (HANDLE h : {thread, early, probe.go}) EXPECT_TRUE(CloseHandle(h));
}

TEST_F(ThreadTest, ASuspendedThreadStartsAtTheResumeThatBringsItsCountToZero) {
  Probe probe;
  probe.code = 5;
  HANDLE thread = CreateThread(nullptr, 0, WaitThenReturn, &probe, CREATE_SUSPENDED, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 50), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_FALSE(probe.ran);
  EXPECT_EQ(ResumeThread(thread), 1u);
  ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(probe.ran);
  EXPECT_EQ(ResumeThread(thread), 0u);
  SetLastError(0);
  EXPECT_EQ(ResumeThread(probe.go), static_cast<DWORD>(-1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(CloseHandle(thread));

  // Terminated before it ever ran: it never runs.
  Probe never;
  HANDLE suspended = CreateThread(nullptr, 0, WaitThenReturn, &never, CREATE_SUSPENDED, nullptr);
  EXPECT_TRUE(TerminateThread(suspended, 3));
  ASSERT_TRUE(platform::win32::WaitForThreadsToLeave(process_, 10000));
  EXPECT_FALSE(never.ran);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(suspended, &code));
  EXPECT_EQ(code, 3u);
  EXPECT_TRUE(CloseHandle(suspended));
}

TEST_F(ThreadTest, ATerminatedThreadIsOverAtOnceAndStopsAtItsNextWait) {
  Probe waits, sleeps;
  waits.go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE threads[2] = {CreateThread(nullptr, 0, WaitForever, &waits, 0, nullptr),
                       CreateThread(nullptr, 0, SleepForever, &sleeps, 0, nullptr)};
  ASSERT_TRUE(threads[0] && threads[1]);
  EXPECT_TRUE(TerminateThread(threads[0], 77));
  EXPECT_EQ(WaitForSingleObject(threads[0], 0), WAIT_OBJECT_0) << "not signalled at once";
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(threads[0], &code));
  EXPECT_EQ(code, 77u);
  EXPECT_TRUE(TerminateThread(threads[1], 78));
  EXPECT_EQ(WaitForMultipleObjects(2, threads, TRUE, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(platform::win32::WaitForThreadsToLeave(process_, 10000));
  for (Probe* p : {&waits, &sleeps}) {
    EXPECT_FALSE(p->after) << "a terminated thread went on after its wait";
    EXPECT_EQ(p->unwound, p->ran ? 1 : 0);
  }
  // Its exit code stays the one TerminateThread gave, and the event it
  // waited for is still there for others.
  EXPECT_TRUE(GetExitCodeThread(threads[1], &code));
  EXPECT_EQ(code, 78u);
  EXPECT_TRUE(SetEvent(waits.go));
  EXPECT_EQ(WaitForSingleObject(waits.go, 0), WAIT_OBJECT_0);
  for (HANDLE h : {threads[0], threads[1], waits.go}) EXPECT_TRUE(CloseHandle(h));
}

TEST_F(ThreadTest, PrioritiesAreRecordedPerThread) {
  EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
  EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL));
  EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_TIME_CRITICAL);
  Probe probe;
  probe.go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, WaitThenReturn, &probe, 0, nullptr);
  EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_NORMAL);
  EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST));
  EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_HIGHEST);
  SetLastError(0);
  EXPECT_FALSE(SetThreadPriority(thread, 3));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_HIGHEST);
  SetLastError(0);
  EXPECT_EQ(GetThreadPriority(probe.go), THREAD_PRIORITY_ERROR_RETURN);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL));
  ASSERT_TRUE(SetEvent(probe.go));
  ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  // A thread handle of this process is nothing in another one.
  platform::ClientProcess* other = platform::CreateClientProcess("other");
  {
    platform::ProcessScope in(other);
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
  }
  platform::EndClientProcess(other);
  for (HANDLE h : {thread, probe.go}) EXPECT_TRUE(CloseHandle(h));
}

}  // namespace

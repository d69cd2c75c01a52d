// Events, mutexes and waits of the Win32 stand-ins: wait-any index order,
// auto- and manual-reset events, wait-all, timeouts, bad handles, named
// events shared by processes with access rights, mutex ownership and
// abandonment, and a driver setting a client's event.
#include <ntifs.h>

#include <chrono>
#include <thread>
#include <vector>

#include "tests/support/waitable_count.h"
#include "tests/win32/in_process_fixture.h"

namespace {

using SyncTest = Win32Test;
using SyncDeathTest = Win32Test;

HANDLE AutoEvent(BOOL set = FALSE) { return CreateEventW(nullptr, FALSE, set, nullptr); }
HANDLE ManualEvent(BOOL set = FALSE) { return CreateEventW(nullptr, TRUE, set, nullptr); }

TEST_F(SyncTest, WaitAnyTakesOnlyTheLowestSignalledObject) {
  HANDLE e[3] = {AutoEvent(), AutoEvent(), AutoEvent()};
  ASSERT_TRUE(e[0] && e[1] && e[2]);
  ASSERT_TRUE(SetEvent(e[2]));
  ASSERT_TRUE(SetEvent(e[1]));
  EXPECT_EQ(WaitForMultipleObjects(3, e, FALSE, 0), WAIT_OBJECT_0 + 1);
  // Only the satisfied wait's event was consumed.
  EXPECT_EQ(WaitForMultipleObjects(3, e, FALSE, 0), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(3, e, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  for (HANDLE h : e) EXPECT_TRUE(CloseHandle(h));
}

TEST_F(SyncTest, AutoResetEventsReleaseOneWaitManualResetOnesStaySignalled) {
  HANDLE autoEvent = AutoEvent(TRUE);
  HANDLE manual = ManualEvent(TRUE);
  EXPECT_EQ(WaitForSingleObject(autoEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(autoEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(SetEvent(autoEvent));
  EXPECT_TRUE(ResetEvent(autoEvent));
  EXPECT_EQ(WaitForSingleObject(autoEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(autoEvent);
  CloseHandle(manual);
}

TEST_F(SyncTest, WaitAllTakesNothingUntilEveryObjectIsSignalled) {
  HANDLE both[2] = {ManualEvent(), AutoEvent()};
  ASSERT_TRUE(SetEvent(both[1]));
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(SetEvent(both[0]));
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
  // The auto-reset event was taken, the manual-reset one stays set.
  EXPECT_EQ(WaitForSingleObject(both[1], 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(both[0], 0), WAIT_OBJECT_0);
  // The same object twice in a wait-all is refused.
  HANDLE twice[2] = {both[0], both[0]};
  EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  CloseHandle(both[0]);
  CloseHandle(both[1]);
}

TEST_F(SyncTest, TimeoutsLastAtLeastTheirTimeAndASignalWakesAWaiterAtOnce) {
  HANDLE e = AutoEvent();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(e, 30), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  start = std::chrono::steady_clock::now();
  Sleep(20);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));

  DWORD result = 0;
  std::thread waiter([&] {
    platform::ProcessScope in(process_);
    HANDLE two[2] = {e, e};
    result = WaitForMultipleObjects(2, two, FALSE, INFINITE);
  });
  ASSERT_TRUE(SetEvent(e));
  waiter.join();
  EXPECT_EQ(result, WAIT_OBJECT_0);
  CloseHandle(e);
}

TEST_F(SyncTest, BadHandlesAndCountsFailTheWaitAndTakeNothing) {
  HANDLE e = AutoEvent(TRUE);
  HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7ffc));
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  HANDLE mixed[2] = {e, bogus};
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0) << "a failed wait took the event";

  std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, e);
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(many.size()), many.data(), FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(0, many.data(), FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // 64 handles are allowed.
  ASSERT_TRUE(SetEvent(e));
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0), WAIT_OBJECT_0);

  EXPECT_FALSE(SetEvent(bogus));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(CloseHandle(e));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(e));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_FAILED) << "a closed handle still waits";
}

TEST_F(SyncTest, NamedEventsAreOneObjectForEveryProcessUntilTheLastHandleGoes) {
  const wchar_t* name = L"{1a23b247-c9cf-43f5-a7ae-6b1ff4bdb52a}1";
  SetLastError(ERROR_ALREADY_EXISTS);
  HANDLE mine = CreateEventW(nullptr, FALSE, FALSE, name);  // auto reset
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));

  platform::ClientProcess* other = platform::CreateClientProcess("other");
  HANDLE theirs = nullptr;
  {
    platform::ProcessScope in(other);
    theirs = CreateEventW(nullptr, TRUE, FALSE, name);  // the existing event keeps its kind
    ASSERT_NE(theirs, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(SetEvent(theirs));
  }
  EXPECT_EQ(WaitForSingleObject(mine, 0), WAIT_OBJECT_0);
  {
    platform::ProcessScope in(other);
    EXPECT_EQ(WaitForSingleObject(theirs, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "auto reset lost";
    HANDLE opened = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name);
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(SetEvent(opened));
    EXPECT_TRUE(CloseHandle(opened));
    EXPECT_TRUE(CloseHandle(theirs));
    SetLastError(0);
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, L"no such event"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  }
  EXPECT_EQ(WaitForSingleObject(mine, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(mine));
  {
    platform::ProcessScope in(other);
    SetLastError(0);
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, name), nullptr) << "the name outlived its last handle";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  }
  platform::EndClientProcess(other);
}

TEST_F(SyncTest, HandlesGrantOnlyTheAccessTheyWereOpenedWith) {
  const wchar_t* name = L"{1a23b247-c9cf-43f5-a7ae-6b1ff4bdb52a}0";
  HANDLE owner = CreateEventW(nullptr, TRUE, FALSE, name);
  ASSERT_NE(owner, nullptr);
  HANDLE waitOnly = OpenEventW(SYNCHRONIZE, FALSE, name);
  HANDLE setOnly = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
  ASSERT_TRUE(waitOnly && setOnly);
  SetLastError(0);
  EXPECT_FALSE(SetEvent(waitOnly));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(ResetEvent(waitOnly));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(SetEvent(setOnly));
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(setOnly, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(WaitForSingleObject(waitOnly, 0), WAIT_OBJECT_0);
  for (HANDLE h : {owner, waitOnly, setOnly}) EXPECT_TRUE(CloseHandle(h));
}

TEST_F(SyncTest, HandlesOfOneProcessMeanNothingInAnother) {
  HANDLE event = AutoEvent(TRUE);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  ASSERT_TRUE(event && mutex);
  platform::ClientProcess* other = platform::CreateClientProcess("other");
  {
    platform::ProcessScope in(other);
    for (HANDLE h : {event, mutex}) {
      SetLastError(0);
      EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
      SetLastError(0);
      EXPECT_FALSE(CloseHandle(h));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  platform::EndClientProcess(other);
  // Still open and untouched in their own process.
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_TRUE(CloseHandle(mutex));
}

TEST_F(SyncTest, OneNamespaceForEventsAndMutexes) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, L"shared name");
  ASSERT_NE(event, nullptr);
  SetLastError(0);
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, L"shared name"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, L"shared name"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  HANDLE mutex = CreateMutexW(nullptr, FALSE, L"a mutex");
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  SetLastError(0);
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, L"a mutex"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, L"a mutex"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  HANDLE again = CreateMutexW(nullptr, TRUE, L"a mutex");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  HANDLE opened = OpenMutexW(SYNCHRONIZE, FALSE, L"a mutex");
  ASSERT_NE(opened, nullptr);
  // One object: taken through one handle, released through another; the
  // second create did not take it (an existing mutex ignores bInitialOwner).
  EXPECT_FALSE(ReleaseMutex(again));
  EXPECT_EQ(WaitForSingleObject(opened, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(again));
  for (HANDLE h : {event, mutex, again, opened}) EXPECT_TRUE(CloseHandle(h));
  SetLastError(0);
  EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, L"a mutex"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(SyncTest, MutexesHaveAnOwnerCountRecursionAndRefuseOthersReleases) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // re-entered
  DWORD otherWait = 0, otherRelease = 0, otherError = 0;
  auto tryFromAnotherThread = [&] {
    std::thread other([&] {
      platform::ProcessScope in(process_);
      otherWait = WaitForSingleObject(mutex, 0);
      otherRelease = ReleaseMutex(mutex);
      otherError = GetLastError();
      if (otherWait == WAIT_OBJECT_0) ReleaseMutex(mutex);
    });
    other.join();
  };
  tryFromAnotherThread();
  EXPECT_EQ(otherWait, static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_FALSE(otherRelease);
  EXPECT_EQ(otherError, static_cast<DWORD>(ERROR_NOT_OWNER));
  EXPECT_TRUE(ReleaseMutex(mutex));
  tryFromAnotherThread();
  EXPECT_EQ(otherWait, static_cast<DWORD>(WAIT_TIMEOUT)) << "released before the count reached zero";
  EXPECT_TRUE(ReleaseMutex(mutex));
  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
  tryFromAnotherThread();
  EXPECT_EQ(otherWait, WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(mutex));
}

DWORD WINAPI TakeAndKeep(LPVOID mutex) { return WaitForSingleObject(static_cast<HANDLE>(mutex), INFINITE); }

TEST_F(SyncTest, AMutexItsOwnerLeftIsAbandonedOnceAtItsIndex) {
  HANDLE objects[2] = {ManualEvent(), CreateMutexW(nullptr, FALSE, nullptr)};
  HANDLE thread = CreateThread(nullptr, 0, TakeAndKeep, objects[1], 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(2, objects, FALSE, 0), WAIT_ABANDONED_0 + 1);
  // Now owned by this thread, and no longer abandoned.
  EXPECT_TRUE(ReleaseMutex(objects[1]));
  EXPECT_EQ(WaitForMultipleObjects(2, objects, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_TRUE(ReleaseMutex(objects[1]));

  // A thread CreateThread did not start abandons its mutexes too.
  std::thread([&] {
    platform::ProcessScope in(process_);
    EXPECT_EQ(WaitForSingleObject(objects[1], 0), WAIT_OBJECT_0);
  }).join();
  ASSERT_TRUE(SetEvent(objects[0]));
  EXPECT_EQ(WaitForMultipleObjects(2, objects, TRUE, 0), WAIT_ABANDONED_0 + 1);
  EXPECT_TRUE(ReleaseMutex(objects[1]));
  for (HANDLE h : {objects[0], objects[1], thread}) EXPECT_TRUE(CloseHandle(h));
}

TEST_F(SyncTest, AnEventTheDriverSetsWakesTheClientsWait) {
  HANDLE objects[2] = {ManualEvent(), AutoEvent()};
  // What a driver does in the client's request: reference the handle with
  // user-mode rules, keep the object, set it later from its own thread.
  PVOID event = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(objects[1], EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &event, nullptr),
            STATUS_SUCCESS);
  WaitableCount waiting;
  std::thread kernel([&] {
    ASSERT_TRUE(waiting.WaitFor(1));
    KeSetEvent(static_cast<PRKEVENT>(event), IO_NO_INCREMENT, FALSE);
    ObDereferenceObject(event);
  });
  waiting.Add();
  EXPECT_EQ(WaitForMultipleObjects(2, objects, FALSE, 10000), WAIT_OBJECT_0 + 1);
  kernel.join();
  EXPECT_EQ(WaitForSingleObject(objects[1], 0), static_cast<DWORD>(WAIT_TIMEOUT));
  for (HANDLE h : objects) EXPECT_TRUE(CloseHandle(h));
}

TEST_F(SyncDeathTest, Win32CallsOutsideAClientProcessStop) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        platform::ProcessScope system(nullptr);
        CreateEventW(nullptr, FALSE, FALSE, nullptr);
      },
      "WIN32_CALL_OUTSIDE_CLIENT_PROCESS.*CreateEventW");
}

}  // namespace

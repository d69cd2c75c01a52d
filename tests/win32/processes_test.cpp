// Processes of the Win32 stand-ins: what CreateProcessW records, registered
// programs running in processes of their own, exit codes, and the end of a
// process closing the handles it left open.
#include <ntifs.h>

#include <atomic>
#include <string>

#include "platform/win32/process_host.h"
#include "tests/win32/in_process_fixture.h"

namespace {

using ProcessTest = Win32Test;

constexpr wchar_t kPanel[] = L"C:\\Program Files\\Velmora\\vm_usbaudio_cpl.exe";
constexpr char16_t kPanel16[] = u"c:\\program files\\VELMORA\\vm_usbaudio_cpl.exe";

class ProgramTest : public Win32Test {
 protected:
  void SetUp() override {
    Win32Test::SetUp();
    platform::win32::ClearStartedProcesses();
  }
  void TearDown() override {
    platform::win32::UnregisterProgram(kPanel16);
    platform::win32::ClearStartedProcesses();
    Win32Test::TearDown();
  }

  BOOL Start(DWORD flags, PROCESS_INFORMATION* pi, LPWSTR commandLine = nullptr) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = 5;
    *pi = PROCESS_INFORMATION{};
    return CreateProcessW(kPanel, commandLine, nullptr, nullptr, FALSE, flags, nullptr, nullptr, &si, pi);
  }
};

TEST_F(ProgramTest, AnUnknownProgramFailsAsAMissingFileAndIsRecorded) {
  PROCESS_INFORMATION pi;
  SetLastError(0);
  EXPECT_FALSE(Start(CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, &pi));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  auto started = platform::win32::StartedProcesses();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_TRUE(started[0].hasApplicationName);
  EXPECT_EQ(started[0].applicationName, std::u16string(reinterpret_cast<const char16_t*>(kPanel)));
  EXPECT_FALSE(started[0].hasCommandLine);
  EXPECT_EQ(started[0].creationFlags, 0x30u);
  EXPECT_FALSE(started[0].inheritHandles);
  ASSERT_TRUE(started[0].hasStartupInfo);
  EXPECT_EQ(started[0].startupInfo.cb, sizeof(STARTUPINFOW));
  EXPECT_EQ(started[0].startupInfo.wShowWindow, 5);
  EXPECT_EQ(started[0].error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  platform::win32::ClearStartedProcesses();
  EXPECT_TRUE(platform::win32::StartedProcesses().empty());
}

struct ProgramRun {
  std::atomic<platform::ClientProcess*> process{nullptr};
  std::atomic<DWORD> processId{0};
  std::u16string commandLine;
  std::atomic<bool> sawGo{false};
  HANDLE ready = nullptr;  // the program's thread is about to wait for good
  std::atomic<int> unwound{0};
  std::atomic<bool> after{false};
};

struct CountsUnwinding {
  ProgramRun* run;
  ~CountsUnwinding() { run->unwound++; }
};

DWORD WINAPI WaitForGood(LPVOID argument) {
  auto* run = static_cast<ProgramRun*>(argument);
  CountsUnwinding counts{run};
  HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetEvent(run->ready);
  WaitForSingleObject(never, INFINITE);
  run->after = true;
  return 1;
}

TEST_F(ProgramTest, ARegisteredProgramRunsInANewProcessWhoseEndClosesItsHandles) {
  ProgramRun run;
  platform::win32::RegisterProgram(kPanel16, [&run](const std::u16string& commandLine) -> DWORD {
    run.process = platform::CurrentClientProcess();
    run.processId = GetCurrentProcessId();
    run.commandLine = commandLine;
    // Left open on purpose: the end of the process closes them.
    HANDLE mine = CreateEventW(nullptr, TRUE, FALSE, L"program's own event");
    CreateMutexW(nullptr, TRUE, L"program's own mutex");
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, L"program go");
    if (!mine || !go) return 100;
    run.sawGo = WaitForSingleObject(go, 10000) == WAIT_OBJECT_0;
    // A thread still waiting when the program returns ends with the process.
    run.ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CreateThread(nullptr, 0, WaitForGood, &run, 0, nullptr);
    if (WaitForSingleObject(run.ready, 10000) != WAIT_OBJECT_0) return 101;
    return 5;
  });
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, L"program go");
  PROCESS_INFORMATION pi;
  wchar_t commandLine[] = L"vm_usbaudio_cpl.exe /page 2";
  ASSERT_TRUE(Start(CREATE_SUSPENDED, &pi, commandLine));
  ASSERT_TRUE(pi.hProcess && pi.hThread);
  EXPECT_EQ(WaitForSingleObject(pi.hThread, 50), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(run.process.load(), nullptr) << "a suspended program ran";
  EXPECT_EQ(ResumeThread(pi.hThread), 1u);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  ASSERT_TRUE(SetEvent(go));
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(run.sawGo);
  // The program's other thread was stopped (and its stack unwound) before
  // its process ended.
  EXPECT_EQ(run.unwound.load(), 1);
  EXPECT_FALSE(run.after);
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, 5u);
  EXPECT_EQ(WaitForSingleObject(pi.hThread, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(pi.hThread, &code));
  EXPECT_EQ(code, 5u);
  EXPECT_NE(run.process.load(), process_);
  EXPECT_EQ(run.processId.load(), pi.dwProcessId);
  EXPECT_NE(pi.dwProcessId, GetCurrentProcessId());
  EXPECT_EQ(run.commandLine, u"vm_usbaudio_cpl.exe /page 2");
  auto started = platform::win32::StartedProcesses();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].error, 0u);
  EXPECT_EQ(started[0].processId, pi.dwProcessId);
  EXPECT_EQ(started[0].creationFlags, static_cast<DWORD>(CREATE_SUSPENDED));
  // Its handles went with it: the names it held are free again.
  SetLastError(0);
  EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, L"program's own event"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, L"program's own mutex"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  for (HANDLE h : {pi.hProcess, pi.hThread, go}) EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(GetExitCodeProcess(GetCurrentProcess(), &code), TRUE);
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
}

TEST_F(ProcessTest, EndingAProcessClosesEveryKindOfHandleItLeftOpen) {
  platform::ClientProcess* other = platform::CreateClientProcess("other");
  PVOID kernelReference = nullptr;
  {
    platform::ProcessScope in(other);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, L"left open event");
    ASSERT_TRUE(CreateMutexW(nullptr, TRUE, L"left open mutex"));
    HANDLE thread = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    // A driver keeps its own reference to the event past the process's end.
    ASSERT_EQ(ObReferenceObjectByHandle(event, SYNCHRONIZE, *ExEventObjectType, UserMode, &kernelReference, nullptr),
              STATUS_SUCCESS);
  }
  platform::EndClientProcess(other);
  EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, L"left open mutex"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // The kernel's reference keeps the object (and, as the object manager
  // does, its name) until it goes.
  HANDLE reopened = OpenEventW(SYNCHRONIZE, FALSE, L"left open event");
  EXPECT_NE(reopened, nullptr);
  EXPECT_TRUE(CloseHandle(reopened));
  KeSetEvent(static_cast<PRKEVENT>(kernelReference), IO_NO_INCREMENT, FALSE);
  ObDereferenceObject(kernelReference);
  EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, L"left open event"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace

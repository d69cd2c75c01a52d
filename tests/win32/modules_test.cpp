// The run-time module table: name matching as the loader does it, missing
// modules and exports, per-process reference counts, kernel32 always mapped,
// modules a test registers, their entry points, and GetModuleFileNameW's
// truncation rule.
#include <avrt.h>

#include <vector>

#include "platform/win32/win32_internal.h"
#include "tests/win32/system_fixture.h"

namespace {

using namespace platform::win32;

template <typename Fn>
FARPROC AsProc(Fn* fn) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(fn));
}

int WINAPI Answer() { return 42; }

using ModuleLoaderTest = SystemStandInTest;

TEST_F(ModuleLoaderTest, NamesMatchCaseInsensitivelyWithoutDirectoryOrExtension) {
  HMODULE plain = LoadLibraryW(L"ksuser.dll");
  ASSERT_NE(plain, nullptr);
  for (const WCHAR* name : {L"KSUSER", L"C:\\Windows\\System32\\KsUser.DLL", L"system32/ksuser.dll", L"ksuser.dll."}) {
    EXPECT_EQ(LoadLibraryW(name), plain);
  }
  EXPECT_EQ(ModuleReferenceCount(process_, "ksuser.dll"), 5u);  // GetModuleHandleW below takes none
  EXPECT_EQ(GetProcAddress(plain, "KsCreatePin"), AsProc(&platform::win32::detail::KsUserCreatePin));

  // Export names are exact; other names are other files (a trailing dot
  // asks for a file without extension).
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(plain, "kscreatepin"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  for (const WCHAR* name : {L"ksuser.", L"ksuser.dl", L"ksuser.exe", L"nosuch.dll", L""}) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(name), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(*name ? ERROR_MOD_NOT_FOUND : ERROR_INVALID_PARAMETER));
  }
  // Lookups by ordinal find nothing here.
  EXPECT_EQ(GetProcAddress(plain, reinterpret_cast<LPCSTR>(1)), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(FreeLibrary(plain));
}

TEST_F(ModuleLoaderTest, MissingModuleOrExportFailsWithTheLoadersErrors) {
  HMODULE avrt = LoadLibraryW(L"avrt.dll");
  ASSERT_NE(avrt, nullptr);

  SetModuleMissing("AVRT");
  SetLastError(0);
  EXPECT_EQ(LoadLibraryW(L"avrt.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  // What the process already holds stays usable.
  EXPECT_NE(GetProcAddress(avrt, "AvSetMmThreadCharacteristicsW"), nullptr);
  SetModuleMissing("avrt.dll", false);
  EXPECT_EQ(LoadLibraryW(L"avrt"), avrt);

  SetModuleExportMissing("avrt.dll", "AvRevertMmThreadCharacteristics");
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(avrt, "AvRevertMmThreadCharacteristics"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(GetProcAddress(avrt, "AvSetMmThreadCharacteristicsW"), AsProc(&AvSetMmThreadCharacteristicsW));
  EXPECT_EQ(GetProcAddress(avrt, "AvSetMmThreadPriority"), AsProc(&AvSetMmThreadPriority));

  SetModuleMissing("ksuser.dll");
  SetLastError(0);
  EXPECT_EQ(LoadLibraryW(L"ksuser.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(GetModuleHandleW(L"ksuser.dll"), nullptr);

  // A reset brings everything back.
  EXPECT_TRUE(FreeLibrary(avrt));
  EXPECT_TRUE(FreeLibrary(avrt));
  ResetSystemStandIns();
  HMODULE ks = LoadLibraryW(L"ksuser.dll");
  ASSERT_NE(ks, nullptr);
  HMODULE av = LoadLibraryW(L"avrt.dll");
  ASSERT_NE(av, nullptr);
  EXPECT_NE(GetProcAddress(av, "AvRevertMmThreadCharacteristics"), nullptr);
  FreeLibrary(ks);
  FreeLibrary(av);
}

TEST_F(ModuleLoaderTest, FreeLibraryUnmapsAtTheLastReferenceOfItsOwnProcess) {
  HMODULE first = LoadLibraryW(L"ksuser.dll");
  HMODULE second = LoadLibraryW(L"ksuser.dll");
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(first, second);
  EXPECT_EQ(GetModuleHandleW(L"ksuser"), first);
  EXPECT_EQ(ModuleReferenceCount(process_, "ksuser.dll"), 2u);  // GetModuleHandleW takes none

  // Another process has not loaded it.
  platform::ClientProcess* other = platform::CreateClientProcess("other");
  {
    platform::ProcessScope in(other);
    SetLastError(0);
    EXPECT_EQ(GetModuleHandleW(L"ksuser.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(GetProcAddress(first, "KsCreatePin"), nullptr);
    EXPECT_FALSE(FreeLibrary(first));
    // Loaded and never freed: the end of the process drops the reference.
    EXPECT_EQ(LoadLibraryW(L"ksuser.dll"), first);
  }
  EXPECT_EQ(ModuleReferenceCount(other, "ksuser.dll"), 1u);
  platform::EndClientProcess(other);
  EXPECT_EQ(ModuleReferenceCount(other, "ksuser.dll"), 0u);  // only the address is used

  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_EQ(GetModuleHandleW(L"ksuser.dll"), first);
  EXPECT_NE(GetProcAddress(first, "KsCreatePin"), nullptr);

  EXPECT_TRUE(FreeLibrary(first));
  SetLastError(0);
  EXPECT_EQ(GetModuleHandleW(L"ksuser.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(first, "KsCreatePin"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  SetLastError(0);
  EXPECT_FALSE(FreeLibrary(first));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(ModuleReferenceCount(process_, "ksuser.dll"), 0u);
}

TEST_F(ModuleLoaderTest, Kernel32IsMappedInEveryProcessAndStays) {
  HMODULE k = GetModuleHandleW(L"kernel32");
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(GetModuleHandleW(L"KERNEL32.DLL"), k);
  EXPECT_EQ(LoadLibraryW(L"kernel32.dll"), k);
  EXPECT_TRUE(FreeLibrary(k));
  EXPECT_TRUE(FreeLibrary(k));
  EXPECT_EQ(GetModuleHandleW(L"kernel32"), k);
  EXPECT_EQ(GetProcAddress(k, "GetLogicalProcessorInformation"), AsProc(&GetLogicalProcessorInformation));
  SetModuleExportMissing("kernel32", "GetLogicalProcessorInformation");
  EXPECT_EQ(GetProcAddress(k, "GetLogicalProcessorInformation"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
}

TEST_F(ModuleLoaderTest, RegisteredModuleIsFoundAndReportsItsPath) {
  const std::string path = "C:\\Program Files\\Velmora\\vm_test.dll";
  HMODULE registered = RegisterModule("vm_test.dll", {{"Answer", AsProc(&Answer)}}, path);
  HMODULE loaded = LoadLibraryW(L"D:\\elsewhere\\VM_TEST.DLL");
  ASSERT_EQ(loaded, registered);
  auto answer = reinterpret_cast<int(WINAPI*)()>(reinterpret_cast<void (*)()>(GetProcAddress(loaded, "Answer")));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);

  WCHAR name[260];
  const DWORD length = GetModuleFileNameW(loaded, name, 260);
  ASSERT_EQ(length, path.size());
  EXPECT_EQ(name[length], 0);
  for (size_t i = 0; i < path.size(); ++i) EXPECT_EQ(name[i], static_cast<WCHAR>(path[i])) << i;

  // Too small: cut to nSize - 1 units, terminated, result nSize.
  WCHAR small[11];
  for (auto& c : small) c = L'#';
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameW(loaded, small, 10), 10u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(small[8], static_cast<WCHAR>(path[8]));
  EXPECT_EQ(small[9], 0);
  EXPECT_EQ(small[10], L'#');

  EXPECT_TRUE(FreeLibrary(loaded));
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameW(loaded, name, 260), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  // A test's own ksuser.dll replaces the system's in place.
  HMODULE ks = LoadLibraryW(L"ksuser.dll");
  ASSERT_NE(ks, nullptr);
  EXPECT_EQ(RegisterModule("KSUSER.DLL", {{"KsCreatePin", AsProc(&Answer)}}), ks);
  EXPECT_EQ(GetProcAddress(ks, "KsCreatePin"), AsProc(&Answer));
  const std::string system = "C:\\Windows\\System32\\ksuser.dll";
  ASSERT_EQ(GetModuleFileNameW(ks, name, 260), system.size());
  EXPECT_EQ(name[10], static_cast<WCHAR>(system[10]));
  EXPECT_TRUE(FreeLibrary(ks));

  // After a reset the registrations are gone.
  ResetSystemStandIns();
  SetLastError(0);
  EXPECT_EQ(LoadLibraryW(L"vm_test.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  ks = LoadLibraryW(L"ksuser.dll");
  EXPECT_EQ(GetProcAddress(ks, "KsCreatePin"), AsProc(&platform::win32::detail::KsUserCreatePin));
  FreeLibrary(ks);
}

// What a registered module's entry point hears, and what the loader lets it
// do meanwhile.
struct EntryCall {
  HINSTANCE instance;
  DWORD reason;
  bool mapped;  // GetModuleHandleW found the module during the call
};
std::vector<EntryCall> g_entryCalls;
BOOL g_entryResult = TRUE;

BOOL WINAPI RecordingEntry(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  EXPECT_EQ(reserved, nullptr);
  g_entryCalls.push_back({instance, reason, GetModuleHandleW(L"vm_entry.dll") == instance});
  if (reason == DLL_PROCESS_ATTACH) {
    EXPECT_TRUE(DisableThreadLibraryCalls(instance));
  }
  return reason == DLL_PROCESS_ATTACH ? g_entryResult : TRUE;
}

TEST_F(ModuleLoaderTest, EntryPointHearsFirstLoadAndLastReleaseOfEachProcess) {
  g_entryCalls.clear();
  g_entryResult = TRUE;
  HMODULE handle = RegisterModule("vm_entry.dll", {}, "C:\\x\\vm_entry.dll", &RecordingEntry);
  EXPECT_FALSE(ThreadLibraryCallsDisabled("vm_entry.dll"));
  ASSERT_EQ(LoadLibraryW(L"vm_entry.dll"), handle);
  ASSERT_EQ(g_entryCalls.size(), 1u);
  EXPECT_EQ(g_entryCalls[0].instance, handle);
  EXPECT_EQ(g_entryCalls[0].reason, static_cast<DWORD>(DLL_PROCESS_ATTACH));
  EXPECT_TRUE(g_entryCalls[0].mapped);
  EXPECT_TRUE(ThreadLibraryCallsDisabled("vm_entry.dll"));

  // Further loads and all but the last release are silent.
  ASSERT_EQ(LoadLibraryW(L"VM_ENTRY"), handle);
  EXPECT_TRUE(FreeLibrary(handle));
  EXPECT_EQ(g_entryCalls.size(), 1u);

  // Another process gets its own attach and detach.
  platform::ClientProcess* other = platform::CreateClientProcess("other");
  {
    platform::ProcessScope in(other);
    ASSERT_EQ(LoadLibraryW(L"vm_entry.dll"), handle);
    EXPECT_TRUE(FreeLibrary(handle));
  }
  platform::EndClientProcess(other);
  ASSERT_EQ(g_entryCalls.size(), 3u);
  EXPECT_EQ(g_entryCalls[1].reason, static_cast<DWORD>(DLL_PROCESS_ATTACH));
  EXPECT_EQ(g_entryCalls[2].reason, static_cast<DWORD>(DLL_PROCESS_DETACH));
  EXPECT_TRUE(g_entryCalls[2].mapped);

  // The last release here: detach while still mapped, unmapped after.
  EXPECT_TRUE(FreeLibrary(handle));
  ASSERT_EQ(g_entryCalls.size(), 4u);
  EXPECT_EQ(g_entryCalls[3].reason, static_cast<DWORD>(DLL_PROCESS_DETACH));
  EXPECT_TRUE(g_entryCalls[3].mapped);
  EXPECT_EQ(GetModuleHandleW(L"vm_entry.dll"), nullptr);
  EXPECT_EQ(ModuleReferenceCount(process_, "vm_entry.dll"), 0u);

  // An attach that fails: a detach follows, the load fails, nothing stays.
  g_entryResult = FALSE;
  SetLastError(0);
  EXPECT_EQ(LoadLibraryW(L"vm_entry.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
  ASSERT_EQ(g_entryCalls.size(), 6u);
  EXPECT_EQ(g_entryCalls[4].reason, static_cast<DWORD>(DLL_PROCESS_ATTACH));
  EXPECT_EQ(g_entryCalls[5].reason, static_cast<DWORD>(DLL_PROCESS_DETACH));
  EXPECT_EQ(ModuleReferenceCount(process_, "vm_entry.dll"), 0u);
  EXPECT_EQ(GetModuleHandleW(L"vm_entry.dll"), nullptr);
  g_entryResult = TRUE;
}

}  // namespace

// A minimal ASIO host for the Windows build, run under Wine by
// scripts/run-wine-tests.sh on a machine without the device. It finds
// vm_usbaudio_asio.dll as hosts do (HKLM "SOFTWARE\ASIO" -> "CLSID" ->
// HKCR "CLSID\{...}\InprocServer32"), creates the driver through the DLL's
// class factory and through CoCreateInstance, and checks what a host sees
// with no device present. One line per check ("ok:" / "FAIL:"); the exit
// code is 0 only when every check passed. A crash or a hang names the step
// it happened in.
//
//   asio_wine_host.exe [expected-dll-path]
#include <stdio.h>
#include <string.h>

#include "asio/asio_interface.h"

namespace {

const wchar_t kDriverName[] = L"Velmora ASIO Device";
const char kDriverNameA[] = "Velmora ASIO Device";
const wchar_t kClsidText[] = L"{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}";
const LONG kDefaultBufferSize = 2048;
const DWORD kWatchdogMs = 30000;  // before the script's own 60 s limit

// What the host is doing now, for the crash and hang reports.
const char* volatile g_step = "start";
int g_failures = 0;

void Check(bool ok, const char* what, const char* detailFormat = "", long a = 0, long b = 0) {
  if (ok) {
    printf("ok: %s\n", what);
  } else {
    ++g_failures;
    printf("FAIL: %s", what);
    if (detailFormat[0] != '\0') {
      printf(" (");
      printf(detailFormat, a, b);
      printf(")");
    }
    printf("\n");
  }
  fflush(stdout);
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* info) {
  printf("FAIL: crashed during \"%s\": exception 0x%08lx at %p\n", g_step,
         static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode), info->ExceptionRecord->ExceptionAddress);
  fflush(stdout);
  ExitProcess(3);
  return EXCEPTION_EXECUTE_HANDLER;
}

DWORD WINAPI Watchdog(void*) {
  Sleep(kWatchdogMs);
  printf("FAIL: no progress for %lu ms during \"%s\"\n", static_cast<unsigned long>(kWatchdogMs), g_step);
  fflush(stdout);
  ExitProcess(4);
  return 0;
}

// A REG_SZ value read whether or not it was written with its terminator:
// the ASIO key's values are stored without one.
bool ReadString(HKEY key, const wchar_t* name, wchar_t* out, DWORD outChars, DWORD* bytesStored = nullptr) {
  DWORD type = 0;
  DWORD bytes = (outChars - 1) * sizeof(wchar_t);
  out[0] = L'\0';
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(out), &bytes) != ERROR_SUCCESS) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  out[bytes / sizeof(wchar_t)] = L'\0';
  if (bytesStored != nullptr) *bytesStored = bytes;
  if (type == REG_EXPAND_SZ) {
    wchar_t expanded[MAX_PATH];
    DWORD n = ExpandEnvironmentStringsW(out, expanded, MAX_PATH);
    if (n == 0 || n > MAX_PATH || n > outChars) return false;
    StringCchCopyW(out, outChars, expanded);
  }
  return true;
}

void Narrow(const wchar_t* text, char* out, int outBytes) {
  if (WideCharToMultiByte(CP_UTF8, 0, text, -1, out, outBytes, nullptr, nullptr) == 0) out[0] = '\0';
}

// The driver's entry in HKLM "SOFTWARE\ASIO" and the DLL its class names.
struct FoundDriver {
  CLSID clsid;
  wchar_t dllPath[MAX_PATH];
};

bool FindDriver(FoundDriver* found) {
  g_step = "enumerate SOFTWARE\\ASIO";
  HKEY asio = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO", 0, KEY_READ | KEY_WOW64_64KEY, &asio);
  Check(status == ERROR_SUCCESS, "HKLM SOFTWARE\\ASIO opens", "status %ld", status);
  if (status != ERROR_SUCCESS) return false;
  bool haveOurs = false;
  int drivers = 0;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD nameChars = 256;
    if (RegEnumKeyExW(asio, index, name, &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    ++drivers;
    HKEY entry = nullptr;
    if (RegOpenKeyExW(asio, name, 0, KEY_READ | KEY_WOW64_64KEY, &entry) != ERROR_SUCCESS) continue;
    wchar_t clsidText[64];
    wchar_t description[128];
    DWORD clsidBytes = 0;
    DWORD descriptionBytes = 0;
    bool haveClsid = ReadString(entry, L"CLSID", clsidText, 64, &clsidBytes);
    bool haveDescription = ReadString(entry, L"Description", description, 128, &descriptionBytes);
    RegCloseKey(entry);
    char nameA[256], descriptionA[128];
    Narrow(name, nameA, sizeof nameA);
    Narrow(description, descriptionA, sizeof descriptionA);
    printf("info: ASIO driver \"%s\" description \"%s\" (%lu bytes, CLSID %lu bytes)\n", nameA, descriptionA,
           static_cast<unsigned long>(descriptionBytes), static_cast<unsigned long>(clsidBytes));
    if (lstrcmpW(name, kDriverName) != 0) continue;
    haveOurs = true;
    Check(haveClsid && lstrcmpiW(clsidText, kClsidText) == 0, "ASIO key's CLSID is the driver's class identifier");
    Check(haveDescription && lstrcmpW(description, kDriverName) == 0, "ASIO key's Description is the driver name");
    if (!haveClsid || FAILED(CLSIDFromString(clsidText, &found->clsid))) return false;
  }
  RegCloseKey(asio);
  Check(haveOurs && drivers == 1, "SOFTWARE\\ASIO lists the driver (and nothing else)", "%ld entries", drivers);
  if (!haveOurs) return false;

  g_step = "resolve InprocServer32";
  wchar_t path[128];
  StringCchPrintfW(path, 128, L"CLSID\\%ls\\InprocServer32", kClsidText);
  HKEY server = nullptr;
  status = RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ | KEY_WOW64_64KEY, &server);
  Check(status == ERROR_SUCCESS, "HKCR CLSID\\{...}\\InprocServer32 opens", "status %ld", status);
  if (status != ERROR_SUCCESS) return false;
  bool haveDll = ReadString(server, nullptr, found->dllPath, MAX_PATH);
  RegCloseKey(server);
  char dllA[MAX_PATH * 3];
  Narrow(found->dllPath, dllA, sizeof dllA);
  printf("info: InprocServer32 = %s\n", dllA);
  Check(haveDll && found->dllPath[0] != L'\0', "InprocServer32 names the DLL");
  return haveDll;
}

// Host callbacks: with no device nothing may call them but asioMessage.
LONG g_bufferSwitches = 0;
LONG g_resetRequests = 0;
void OnBufferSwitch(LONG, ASIOBool) { ++g_bufferSwitches; }
void OnSampleRateDidChange(ASIOSampleRate) {}
LONG OnAsioMessage(LONG selector, LONG value, void*, double*) {
  if (selector == kAsioSelectorSupported) return value == kAsioResetRequest || value == kAsioSupportsTimeInfo;
  if (selector == kAsioResetRequest) ++g_resetRequests;
  if (selector == kAsioEngineVersion) return 2;
  return 0;
}
ASIOTime* OnBufferSwitchTimeInfo(ASIOTime* params, LONG, ASIOBool) {
  ++g_bufferSwitches;
  return params;
}

// What a host sees of the driver on a machine without the device. `label`
// names the creation path in every check.
void CheckWithoutDevice(IASIO* driver, const char* label) {
  char what[160];
  g_step = "init";
  ASIOBool initialised = driver->init(nullptr);
  char error[128] = {};
  if (!initialised) driver->getErrorMessage(error);
  snprintf(what, sizeof what, "%s: init succeeds without a device", label);
  Check(initialised == ASIOTrue, what, "init returned %ld", initialised);
  if (!initialised) printf("info: getErrorMessage: %s\n", error);

  g_step = "getChannels";
  LONG inputs = -1, outputs = -1;
  ASIOError result = driver->getChannels(&inputs, &outputs);
  snprintf(what, sizeof what, "%s: getChannels gives 0 inputs and 0 outputs", label);
  Check(result == ASE_OK && inputs == 0 && outputs == 0, what, "inputs %ld, outputs %ld", inputs, outputs);

  g_step = "getDriverName";
  char name[64];
  memset(name, 'x', sizeof name);
  driver->getDriverName(name);
  name[sizeof name - 1] = '\0';
  snprintf(what, sizeof what, "%s: getDriverName is \"%s\"", label, kDriverNameA);
  Check(strcmp(name, kDriverNameA) == 0, what);

  g_step = "getBufferSize";
  LONG minSize = 0, maxSize = 0, preferred = 0, granularity = -1;
  result = driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
  snprintf(what, sizeof what, "%s: getBufferSize gives %ld as min, max and preferred, granularity 0", label,
           kDefaultBufferSize);
  Check(result == ASE_OK && minSize == kDefaultBufferSize && maxSize == kDefaultBufferSize &&
            preferred == kDefaultBufferSize && granularity == 0,
        what, "min %ld, max %ld", minSize, maxSize);
  if (preferred != kDefaultBufferSize || granularity != 0)
    printf("info: preferred %ld, granularity %ld\n", preferred, granularity);

  g_step = "getSampleRate";
  ASIOSampleRate rate = 0;
  result = driver->getSampleRate(&rate);
  snprintf(what, sizeof what, "%s: getSampleRate gives 44100 without a device", label);
  Check(result == ASE_OK && rate == 44100.0, what, "result %ld, rate %ld", result, static_cast<long>(rate));

  g_step = "canSampleRate";
  result = driver->canSampleRate(48000.0);
  snprintf(what, sizeof what, "%s: canSampleRate(48000) gives ASE_NoClock without a device", label);
  Check(result == ASE_NoClock, what, "result %ld", result);

  g_step = "getChannelInfo";
  ASIOChannelInfo channel = {};
  channel.channel = 0;
  channel.isInput = ASIOTrue;
  result = driver->getChannelInfo(&channel);
  snprintf(what, sizeof what, "%s: getChannelInfo(input 0) gives ASE_InvalidParameter without channels", label);
  Check(result == ASE_InvalidParameter, what, "result %ld", result);

  g_step = "createBuffers";
  ASIOBufferInfo infos[2] = {};
  infos[0].isInput = ASIOTrue;
  infos[0].channelNum = 0;
  infos[1].isInput = ASIOFalse;
  infos[1].channelNum = 0;
  ASIOCallbacks callbacks = {OnBufferSwitch, OnSampleRateDidChange, OnAsioMessage, OnBufferSwitchTimeInfo};
  result = driver->createBuffers(infos, 2, kDefaultBufferSize, &callbacks);
  snprintf(what, sizeof what, "%s: createBuffers is refused without a device", label);
  Check(result != ASE_OK && infos[0].buffers[0] == nullptr && infos[1].buffers[0] == nullptr, what, "result %ld",
        result);

  g_step = "start after a refused createBuffers";
  result = driver->start();
  snprintf(what, sizeof what, "%s: start is refused with ASE_NotPresent (no buffers)", label);
  Check(result == ASE_NotPresent, what, "result %ld", result);

  g_step = "disposeBuffers after a refused createBuffers";
  result = driver->disposeBuffers();
  snprintf(what, sizeof what, "%s: disposeBuffers gives ASE_NotPresent (no buffers)", label);
  Check(result == ASE_NotPresent, what, "result %ld", result);
  snprintf(what, sizeof what, "%s: no buffer switch was called", label);
  Check(g_bufferSwitches == 0, what, "%ld calls", g_bufferSwitches);

  g_step = "Release";
  ULONG left = driver->Release();
  snprintf(what, sizeof what, "%s: the last Release leaves no reference", label);
  Check(left == 0, what, "Release returned %ld", static_cast<long>(left));
}

typedef HRESULT(STDAPICALLTYPE* GetClassObjectFunction)(REFCLSID, REFIID, void**);
typedef HRESULT(STDAPICALLTYPE* CanUnloadNowFunction)();

// One driver object made through the DLL's class factory, as a host that
// loads the DLL itself does. The second round also checks the single
// instance: while one object lives, the factory makes no second one.
void CreateThroughFactory(GetClassObjectFunction getClassObject, const CLSID& clsid, const char* label,
                          bool checkSingleInstance) {
  char what[160];
  g_step = "DllGetClassObject";
  IClassFactory* factory = nullptr;
  HRESULT hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  snprintf(what, sizeof what, "%s: DllGetClassObject gives the class factory", label);
  Check(hr == S_OK && factory != nullptr, what, "hr 0x%08lx", hr);
  if (factory == nullptr) return;

  g_step = "IClassFactory::CreateInstance";
  IASIO* driver = nullptr;
  hr = factory->CreateInstance(nullptr, clsid, reinterpret_cast<void**>(&driver));
  snprintf(what, sizeof what, "%s: CreateInstance(clsid as interface) gives the driver", label);
  Check(hr == S_OK && driver != nullptr, what, "hr 0x%08lx", hr);
  if (driver != nullptr && checkSingleInstance) {
    g_step = "second CreateInstance";
    IASIO* second = nullptr;
    hr = factory->CreateInstance(nullptr, clsid, reinterpret_cast<void**>(&second));
    snprintf(what, sizeof what, "%s: a second CreateInstance while one driver lives gives E_OUTOFMEMORY", label);
    Check(hr == E_OUTOFMEMORY && second == nullptr, what, "hr 0x%08lx", hr);
    if (second != nullptr) second->Release();
  }
  g_step = "IClassFactory::Release";
  factory->Release();
  if (driver != nullptr) CheckWithoutDevice(driver, label);
}

void CreateThroughCom(const CLSID& clsid, const char* label) {
  char what[160];
  g_step = "CoCreateInstance";
  IASIO* driver = nullptr;
  HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, reinterpret_cast<void**>(&driver));
  snprintf(what, sizeof what, "%s: CoCreateInstance(clsid, INPROC_SERVER, clsid) gives the driver", label);
  Check(hr == S_OK && driver != nullptr, what, "hr 0x%08lx", hr);
  if (driver != nullptr) CheckWithoutDevice(driver, label);
}

void CheckCanUnload(CanUnloadNowFunction canUnloadNow, const char* label) {
  char what[160];
  g_step = "DllCanUnloadNow";
  HRESULT hr = canUnloadNow();
  snprintf(what, sizeof what, "%s: DllCanUnloadNow gives S_OK once everything is released", label);
  Check(hr == S_OK, what, "hr 0x%08lx", hr);
}

// The system's handle list (NtQuerySystemInformation class 16), for
// counting our own handles where GetProcessHandleCount reports nothing
// (Wine answers 0).
struct SystemHandleEntry {
  ULONG ownerProcessId;
  BYTE objectType;
  BYTE flags;
  USHORT handleValue;
  void* object;
  ACCESS_MASK grantedAccess;
};
struct SystemHandleList {
  ULONG count;
  SystemHandleEntry entries[1];
};
typedef LONG(NTAPI* QuerySystemInformationFunction)(ULONG, void*, ULONG, ULONG*);
const ULONG kSystemHandleInformation = 16;
const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

DWORD HandlesFromSystemList() {
  QuerySystemInformationFunction query = reinterpret_cast<QuerySystemInformationFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return 0;
  ULONG size = 1 << 16;
  for (int attempt = 0; attempt < 8; ++attempt, size *= 2) {
    SystemHandleList* list = static_cast<SystemHandleList*>(HeapAlloc(GetProcessHeap(), 0, size));
    if (list == nullptr) return 0;
    ULONG needed = 0;
    LONG status = query(kSystemHandleInformation, list, size, &needed);
    if (status == kInfoLengthMismatch) {
      HeapFree(GetProcessHeap(), 0, list);
      continue;
    }
    DWORD count = 0;
    if (status >= 0) {
      for (ULONG i = 0; i < list->count; ++i) {
        if (list->entries[i].ownerProcessId == GetCurrentProcessId()) ++count;
      }
    }
    HeapFree(GetProcessHeap(), 0, list);
    return count;
  }
  return 0;
}

const char* g_handleMethod = "GetProcessHandleCount";

DWORD Handles() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) return count;
  g_handleMethod = "the system handle list";
  return HandlesFromSystemList();
}

// The count must see a handle come and go, or the leak checks below could
// not fail.
bool HandleCountWorks() {
  g_step = "handle count";
  DWORD before = Handles();
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD with = Handles();
  CloseHandle(event);
  DWORD after = Handles();
  printf("info: handles counted through %s: %lu, %lu with one more event, %lu after closing it\n", g_handleMethod,
         static_cast<unsigned long>(before), static_cast<unsigned long>(with), static_cast<unsigned long>(after));
  bool works = before > 0 && with == before + 1 && after == before;
  Check(works, "the process handle count sees one event created and closed");
  return works;
}

void CheckHandles(DWORD before, DWORD after, const char* label) {
  char what[160];
  snprintf(what, sizeof what, "%s: no handle left behind", label);
  Check(after <= before, what, "%ld handles before, %ld after", static_cast<long>(before), static_cast<long>(after));
}

// COM keeps something open for the process at its first in-process
// creation (Wine: one handle), whatever the class: do that first with a
// system class, so the count below sees only what the driver leaves.
void WarmUpCom() {
  g_step = "COM warm-up";
  // The component categories manager, an in-process class of every Windows.
  const CLSID categoriesManager = {0x0002E005, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
  IUnknown* object = nullptr;
  HRESULT hr = CoCreateInstance(categoriesManager, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                reinterpret_cast<void**>(&object));
  if (object != nullptr) object->Release();
  printf("info: COM warm-up with a system class: hr 0x%08lx\n", static_cast<unsigned long>(hr));
}

bool SameFile(const wchar_t* a, const char* b) {
  wchar_t wide[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, b, -1, wide, MAX_PATH) == 0) return false;
  return lstrcmpiW(a, wide) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  SetUnhandledExceptionFilter(OnCrash);
  HANDLE watchdog = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
  if (watchdog == nullptr) {
    printf("FAIL: the watchdog thread cannot start\n");
    return 2;
  }

  FoundDriver found = {};
  if (!FindDriver(&found)) {
    printf("FAIL: the driver is not registered; %d check(s) failed\n", g_failures);
    return 1;
  }
  if (argc > 1) Check(SameFile(found.dllPath, argv[1]), "InprocServer32 names the expected DLL");

  g_step = "CoInitialize";
  HRESULT hr = CoInitialize(nullptr);
  Check(SUCCEEDED(hr), "CoInitialize (single-threaded apartment)", "hr 0x%08lx", hr);

  g_step = "LoadLibraryW";
  HMODULE module = LoadLibraryW(found.dllPath);
  Check(module != nullptr, "LoadLibraryW of the InprocServer32 path", "error %ld", static_cast<long>(GetLastError()));
  if (module == nullptr) return 1;
  GetClassObjectFunction getClassObject =
      reinterpret_cast<GetClassObjectFunction>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  CanUnloadNowFunction canUnloadNow =
      reinterpret_cast<CanUnloadNowFunction>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
  Check(getClassObject != nullptr && canUnloadNow != nullptr, "the DLL exports DllGetClassObject and DllCanUnloadNow");
  if (getClassObject == nullptr || canUnloadNow == nullptr) return 1;

  // Every driver object, made and released, must leave the process's
  // handle count where it was before (events, mutex, threads, registry
  // keys, device list are all the driver's to close).
  WarmUpCom();
  HandleCountWorks();
  DWORD handles = Handles();
  printf("info: %lu handles with the DLL loaded\n", static_cast<unsigned long>(handles));
  const char* factoryRounds[] = {"class factory #1", "class factory #2"};
  for (int round = 0; round < 2; ++round) {
    CreateThroughFactory(getClassObject, found.clsid, factoryRounds[round], round == 1);
    CheckCanUnload(canUnloadNow, factoryRounds[round]);
    DWORD now = Handles();
    CheckHandles(handles, now, factoryRounds[round]);
    handles = now;
  }
  const char* comRounds[] = {"CoCreateInstance #1", "CoCreateInstance #2"};
  for (int round = 0; round < 2; ++round) {
    CreateThroughCom(found.clsid, comRounds[round]);
    CheckCanUnload(canUnloadNow, comRounds[round]);
    DWORD now = Handles();
    CheckHandles(handles, now, comRounds[round]);
    handles = now;
  }

  g_step = "unload";
  CoUninitialize();
  FreeLibrary(module);
  g_step = "exit";
  if (g_failures != 0) {
    printf("FAIL: %d check(s) failed\n", g_failures);
    return 1;
  }
  printf("all checks passed\n");
  return 0;
}

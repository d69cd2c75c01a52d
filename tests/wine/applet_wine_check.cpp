// Loads the x86-64 build of the Control Panel applet (vm_usbaudio_x64.cpl)
// under Wine as the Control Panel does and checks what it answers:
// CPL_INIT, CPL_GETCOUNT, CPL_INQUIRE (and nothing for the other messages),
// its one export, its strings and its 256 x 256 icon, and what CPL_DBLCLK
// starts for the "ControlPanel" value under HKLM "SOFTWARE\Velmora\Velmora
// ASIO Device Setup" (64-bit view): the program a REG_SZ path of up to 127
// characters names, once per double-click, with no arguments, the caller's
// environment and directory; nothing for a missing key or value, a
// REG_EXPAND_SZ value, a path of 128 characters, a value only in the 32-bit
// view, or a path to no program. The started program is wine_marker.exe
// (copied to one path per case), which logs its path and releases a
// semaphore; the cases that must start nothing share one bounded wait.
//
//   applet_wine_check.exe CPL-PATH MARKER-PATH
//
// One "ok:"/"FAIL:" line per check; the exit status is 0 only when all pass.
#include <windows.h>
#include <cpl.h>

#include <string.h>
#include <wchar.h>

#include "tests/wine/wine_check.h"

namespace {

using winecheck::Check;
using winecheck::Info;
using winecheck::Utf8;

const wchar_t kSetupKey[] = L"SOFTWARE\\Velmora\\Velmora ASIO Device Setup";
const wchar_t kValue[] = L"ControlPanel";
const wchar_t kEntryName[] = L"Velmora USB Audio Driver";
const wchar_t kSemaphore[] = L"VelmoraWineMarkerStarted";
const DWORD kStartMs = 15000;   // generous: a process start under Wine on a busy runner
const DWORD kAbsentMs = 2000;   // the one bounded wait for programs that must not start

typedef LONG(APIENTRY* AppletProc)(HWND, UINT, LPARAM, LPARAM);

AppletProc g_applet = nullptr;
HANDLE g_started = nullptr;  // released once by each marker that runs
wchar_t g_log[MAX_PATH];

// ---- What the module answers ------------------------------------------

void CheckExports(HMODULE module) {
  winecheck::g_step = "export table";
  auto* base = reinterpret_cast<const BYTE*>(module);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (directory.VirtualAddress == 0) {
    Check(false, "the applet has an export table");
    return;
  }
  auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
  auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  Info("export module name \"%s\"", reinterpret_cast<const char*>(base + exports->Name));
  Check(exports->NumberOfNames == 1 && exports->NumberOfFunctions == 1 &&
            strcmp(reinterpret_cast<const char*>(base + names[0]), "CPlApplet") == 0,
        "the applet exports exactly one function, CPlApplet", "%lu names, %lu functions",
        static_cast<unsigned long>(exports->NumberOfNames), static_cast<unsigned long>(exports->NumberOfFunctions));
}

#pragma pack(push, 2)
struct GroupIconEntry {
  BYTE width, height, colors, reserved;
  WORD planes, bitCount;
  DWORD bytes;
  WORD id;
};
struct GroupIconDirectory {
  WORD reserved, type, count;
  GroupIconEntry entries[1];
};
#pragma pack(pop)

const BYTE* Resource(HMODULE module, const wchar_t* name, const wchar_t* type, DWORD* size) {
  HRSRC found = FindResourceW(module, name, type);
  HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
  *size = found != nullptr ? SizeofResource(module, found) : 0;
  return loaded != nullptr ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
}

DWORD BigEndian(const BYTE* p) { return (DWORD{p[0]} << 24) | (DWORD{p[1]} << 16) | (DWORD{p[2]} << 8) | p[3]; }

void CheckResources(HMODULE module) {
  winecheck::g_step = "strings";
  wchar_t text[256];
  const int ids[] = {102, 103};
  for (int id : ids) {
    int n = LoadStringW(module, id, text, 256);
    char what[80];
    snprintf(what, sizeof what, "string %d is \"Velmora USB Audio Driver\"", id);
    Check(n > 0 && wcscmp(text, kEntryName) == 0, what, "\"%s\"", Utf8(n > 0 ? text : L"").c());
  }

  winecheck::g_step = "icon group 101";
  DWORD size = 0;
  auto* group = reinterpret_cast<const GroupIconDirectory*>(
      Resource(module, MAKEINTRESOURCEW(101), MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */, &size));
  Check(group != nullptr, "icon group 101 exists");
  if (group == nullptr) return;
  const GroupIconEntry& entry = group->entries[0];
  Check(group->type == 1 && group->count == 1 && entry.width == 0 && entry.height == 0 && entry.bitCount == 32,
        "icon 101 holds one image of 256 x 256, 32 bits per pixel", "%u images, first %ux%u (0: 256), %u bits",
        group->count, entry.width, entry.height, entry.bitCount);
  const BYTE* image = Resource(module, MAKEINTRESOURCEW(entry.id), MAKEINTRESOURCEW(3) /* RT_ICON */, &size);
  static const BYTE kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (image != nullptr && size >= 26 && memcmp(image, kPng, 8) == 0) {
    Check(BigEndian(image + 16) == 256 && BigEndian(image + 20) == 256 && image[24] == 8 && image[25] == 6,
          "icon 101's image is a 256 x 256 RGBA PNG", "%lux%lu, depth %u, colour type %u",
          static_cast<unsigned long>(BigEndian(image + 16)), static_cast<unsigned long>(BigEndian(image + 20)),
          image[24], image[25]);
  } else if (image != nullptr && size >= sizeof(BITMAPINFOHEADER)) {
    auto* header = reinterpret_cast<const BITMAPINFOHEADER*>(image);
    Check(header->biWidth == 256 && header->biHeight == 512 && header->biBitCount == 32,
          "icon 101's image is a 256 x 256 32-bit bitmap", "%ldx%ld (with mask), %u bits", header->biWidth,
          header->biHeight, header->biBitCount);
  } else {
    Check(false, "icon 101's image exists", "%lu bytes", static_cast<unsigned long>(size));
  }

  winecheck::g_step = "LoadImage 101";
  HICON icon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(101), IMAGE_ICON, 256, 256, LR_DEFAULTCOLOR));
  ICONINFO info = {};
  BITMAP bitmap = {};
  bool loaded = icon != nullptr && GetIconInfo(icon, &info) && info.hbmColor != nullptr &&
                GetObjectW(info.hbmColor, sizeof bitmap, &bitmap) == sizeof bitmap;
  Check(loaded && bitmap.bmWidth == 256 && bitmap.bmHeight == 256, "LoadImage gives icon 101 at 256 x 256",
        "%ldx%ld", loaded ? bitmap.bmWidth : 0L, loaded ? bitmap.bmHeight : 0L);
  if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
  if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
  if (icon != nullptr) DestroyIcon(icon);
  Check(LoadIconW(module, MAKEINTRESOURCEW(101)) != nullptr, "LoadIcon gives icon 101 at the Control Panel's size");
}

void CheckMessages() {
  winecheck::g_step = "CPL_INIT";
  LONG result = g_applet(nullptr, CPL_INIT, 0, 0);
  Check(result == 1, "CPL_INIT gives 1", "%ld", result);
  winecheck::g_step = "CPL_GETCOUNT";
  result = g_applet(nullptr, CPL_GETCOUNT, 0, 0);
  Check(result == 1, "CPL_GETCOUNT gives 1 (one entry)", "%ld", result);

  winecheck::g_step = "CPL_INQUIRE";
  CPLINFO info;
  memset(&info, 0x5A, sizeof info);
  result = g_applet(nullptr, CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&info));
  Check(result == 0 && info.idIcon == 101 && info.idName == 102 && info.idInfo == 103 && info.lData == 0,
        "CPL_INQUIRE gives 0 and fills icon 101, name 102, information 103, data 0",
        "result %ld: %d, %d, %d, data %lld", result, info.idIcon, info.idName, info.idInfo,
        static_cast<long long>(info.lData));

  // The applet answers only what it names; CPL_NEWINQUIRE is left to the
  // Control Panel's CPL_INQUIRE path.
  winecheck::g_step = "CPL_NEWINQUIRE";
  NEWCPLINFOW newInfo, untouched;
  memset(&newInfo, 0xA5, sizeof newInfo);
  memcpy(&untouched, &newInfo, sizeof newInfo);
  result = g_applet(nullptr, CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&newInfo));
  Check(result == 0 && memcmp(&newInfo, &untouched, sizeof newInfo) == 0,
        "CPL_NEWINQUIRE gives 0 and fills nothing", "result %ld", result);
  winecheck::g_step = "CPL_SELECT";
  result = g_applet(nullptr, CPL_SELECT, 0, 0);
  Check(result == 0, "CPL_SELECT gives 0", "%ld", result);
}

// ---- CPL_DBLCLK and the "ControlPanel" value --------------------------

HKEY OpenSetup(REGSAM view) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSetupKey, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key,
                                   nullptr);
  if (status != ERROR_SUCCESS) Check(false, "the launch key can be written", "status %ld", static_cast<long>(status));
  return status == ERROR_SUCCESS ? key : nullptr;
}

void SetLaunchValue(REGSAM view, DWORD type, const wchar_t* path) {
  HKEY key = OpenSetup(view);
  if (key == nullptr) return;
  LSTATUS status = path == nullptr ? RegDeleteValueW(key, kValue)
                                   : RegSetValueExW(key, kValue, 0, type, reinterpret_cast<const BYTE*>(path),
                                                    static_cast<DWORD>((wcslen(path) + 1) * sizeof(wchar_t)));
  if (status != ERROR_SUCCESS && (path != nullptr || status != ERROR_FILE_NOT_FOUND))
    Check(false, "the launch value can be written", "status %ld", static_cast<long>(status));
  RegCloseKey(key);
}

void DeleteLaunchKey(REGSAM view) {
  LSTATUS status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSetupKey, view, 0);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
    Check(false, "the launch key can be deleted", "status %ld", static_cast<long>(status));
}

void DoubleClick(const char* label) {
  char what[200];
  snprintf(what, sizeof what, "%s: CPL_DBLCLK gives 0", label);
  LONG result = g_applet(nullptr, CPL_DBLCLK, 0, 0);
  Check(result == 0, what, "%ld", result);
}

// A copy of the marker at `directory`\wine_marker.exe; the directory name
// is padded with 'p' so that the whole path has `length` characters (0:
// no padding).
bool PlaceMarker(const wchar_t* marker, const wchar_t* base, const wchar_t* name, size_t length, wchar_t* path) {
  wchar_t directory[MAX_PATH];
  swprintf(directory, MAX_PATH, L"%ls\\%ls", base, name);
  const wchar_t file[] = L"\\wine_marker.exe";
  size_t plain = wcslen(directory) + wcslen(file);
  if (length != 0) {
    if (length < plain) return false;
    size_t used = wcslen(directory);
    for (size_t i = 0; i < length - plain; ++i) directory[used + i] = L'p';
    directory[used + length - plain] = L'\0';
  }
  CreateDirectoryW(base, nullptr);
  CreateDirectoryW(directory, nullptr);
  swprintf(path, MAX_PATH, L"%ls%ls", directory, file);
  bool copied = CopyFileW(marker, path, FALSE) != FALSE;
  char what[400];
  snprintf(what, sizeof what, "marker copied to %s (%u characters)", Utf8(path).c(),
           static_cast<unsigned>(wcslen(path)));
  Check(copied && (length == 0 || wcslen(path) == length), what, "error %lu", GetLastError());
  return copied;
}

// The log's lines: module, command line, directory.
struct Started {
  wchar_t module[MAX_PATH], commandLine[2 * MAX_PATH], directory[MAX_PATH];
};

int ReadLog(Started* out, int capacity) {
  HANDLE file = CreateFileW(g_log, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  static wchar_t text[8192];
  DWORD bytes = 0;
  ReadFile(file, text, sizeof text - sizeof(wchar_t), &bytes, nullptr);
  CloseHandle(file);
  text[bytes / sizeof(wchar_t)] = L'\0';
  int count = 0;
  wchar_t* line = text;
  while (*line != L'\0' && count < capacity) {
    wchar_t* end = wcschr(line, L'\n');
    if (end == nullptr) break;
    *end = L'\0';
    wchar_t* fields[3] = {line, nullptr, nullptr};
    for (int i = 1; i < 3 && fields[i - 1] != nullptr; ++i) {
      fields[i] = wcschr(fields[i - 1], L'\t');
      if (fields[i] != nullptr) *fields[i]++ = L'\0';
    }
    Started& s = out[count++];
    swprintf(s.module, MAX_PATH, L"%ls", fields[0]);
    swprintf(s.commandLine, 2 * MAX_PATH, L"%ls", fields[1] != nullptr ? fields[1] : L"");
    swprintf(s.directory, MAX_PATH, L"%ls", fields[2] != nullptr ? fields[2] : L"");
    line = end + 1;
  }
  return count;
}

// Double-clicks with `path` stored as REG_SZ and expects the marker there
// to start, with no arguments, in this program's directory.
void ExpectStart(const char* label, const wchar_t* path, int startedBefore) {
  DoubleClick(label);
  char what[300];
  snprintf(what, sizeof what, "%s: the program starts", label);
  bool started = WaitForSingleObject(g_started, kStartMs) == WAIT_OBJECT_0;
  Check(started, what, "nothing within %lu ms", static_cast<unsigned long>(kStartMs));
  if (!started) return;
  static Started log[16];
  int count = ReadLog(log, 16);
  snprintf(what, sizeof what, "%s: exactly one program starts", label);
  Check(count == startedBefore + 1, what, "%d started in all, %d expected", count, startedBefore + 1);
  if (count == 0) return;
  const Started& s = log[count - 1];
  snprintf(what, sizeof what, "%s: it is the program the value names", label);
  Check(lstrcmpiW(s.module, path) == 0, what, "%s", Utf8(s.module).c());
  // No command line of its own: the command line is the program's path.
  wchar_t bare[2 * MAX_PATH];
  swprintf(bare, 2 * MAX_PATH, L"%ls", s.commandLine);
  size_t n = wcslen(bare);
  while (n > 0 && bare[n - 1] == L' ') bare[--n] = L'\0';
  const wchar_t* unquoted = bare;
  if (n >= 2 && bare[0] == L'"' && bare[n - 1] == L'"') {
    bare[n - 1] = L'\0';
    unquoted = bare + 1;
  }
  snprintf(what, sizeof what, "%s: it gets no arguments", label);
  Check(lstrcmpiW(unquoted, path) == 0, what, "command line %s", Utf8(s.commandLine).c());
  wchar_t ours[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, ours);
  snprintf(what, sizeof what, "%s: it runs in the caller's directory", label);
  Check(lstrcmpiW(s.directory, ours) == 0, what, "%s", Utf8(s.directory).c());
}

void CheckLaunches(const wchar_t* marker) {
  winecheck::g_step = "prepare the markers";
  wchar_t base[MAX_PATH];
  swprintf(base, MAX_PATH, L"%ls", marker);
  wchar_t* slash = wcsrchr(base, L'\\');
  if (slash == nullptr) {
    Check(false, "the marker path is a Windows path with a folder");
    return;
  }
  *slash = L'\0';
  swprintf(g_log, MAX_PATH, L"%ls\\started.log", base);
  wcscat(base, L"\\cases");
  DeleteFileW(g_log);
  g_started = CreateSemaphoreW(nullptr, 0, 64, kSemaphore);
  Check(g_started != nullptr, "the markers' semaphore", "error %lu", GetLastError());
  if (g_started == nullptr) return;
  SetEnvironmentVariableW(L"VELMORA_MARKER_LOG", g_log);
  SetEnvironmentVariableW(L"VELMORA_MARKER_SEMAPHORE", kSemaphore);

  wchar_t plain[MAX_PATH], longest[MAX_PATH], tooLong[MAX_PATH], expand[MAX_PATH], view32[MAX_PATH];
  if (!PlaceMarker(marker, base, L"plain", 0, plain) || !PlaceMarker(marker, base, L"l", 127, longest) ||
      !PlaceMarker(marker, base, L"t", 128, tooLong) || !PlaceMarker(marker, base, L"expand", 0, expand) ||
      !PlaceMarker(marker, base, L"view32", 0, view32))
    return;

  // What must start.
  winecheck::g_step = "CPL_DBLCLK: REG_SZ path";
  DeleteLaunchKey(KEY_WOW64_32KEY);
  SetLaunchValue(KEY_WOW64_64KEY, REG_SZ, plain);
  ExpectStart("REG_SZ path", plain, 0);
  winecheck::g_step = "CPL_DBLCLK: again";
  ExpectStart("a second double-click", plain, 1);
  winecheck::g_step = "CPL_DBLCLK: 127 characters";
  SetLaunchValue(KEY_WOW64_64KEY, REG_SZ, longest);
  ExpectStart("REG_SZ path of 127 characters (the buffer's limit)", longest, 2);

  // What must start nothing: all cases first, then one bounded wait.
  winecheck::g_step = "CPL_DBLCLK: no key";
  DeleteFileW(g_log);
  DeleteLaunchKey(KEY_WOW64_64KEY);
  DoubleClick("no launch key");
  winecheck::g_step = "CPL_DBLCLK: no value";
  HKEY key = OpenSetup(KEY_WOW64_64KEY);
  if (key != nullptr) RegCloseKey(key);
  DoubleClick("no ControlPanel value");
  winecheck::g_step = "CPL_DBLCLK: REG_EXPAND_SZ";
  SetLaunchValue(KEY_WOW64_64KEY, REG_EXPAND_SZ, expand);
  DoubleClick("REG_EXPAND_SZ value");
  winecheck::g_step = "CPL_DBLCLK: 128 characters";
  SetLaunchValue(KEY_WOW64_64KEY, REG_SZ, tooLong);
  DoubleClick("REG_SZ path of 128 characters");
  winecheck::g_step = "CPL_DBLCLK: no program there";
  wchar_t missing[MAX_PATH];
  swprintf(missing, MAX_PATH, L"%ls\\nothing\\vm_usbaudio_cpl.exe", base);
  SetLaunchValue(KEY_WOW64_64KEY, REG_SZ, missing);
  DoubleClick("a path to no program");
  winecheck::g_step = "CPL_DBLCLK: 32-bit view only";
  DeleteLaunchKey(KEY_WOW64_64KEY);
  SetLaunchValue(KEY_WOW64_32KEY, REG_SZ, view32);
  DoubleClick("a value in the 32-bit view only");

  winecheck::g_step = "nothing starts";
  bool none = WaitForSingleObject(g_started, kAbsentMs) == WAIT_TIMEOUT;
  static Started log[16];
  int count = ReadLog(log, 16);
  for (int i = 0; i < count; ++i) Info("started anyway: %s", Utf8(log[i].module).c());
  Check(none && count == 0,
        "nothing starts for a missing key or value, REG_EXPAND_SZ, 128 characters, the 32-bit view only",
        "%d started (the lines above name them)", count);
  DeleteLaunchKey(KEY_WOW64_32KEY);
  DeleteLaunchKey(KEY_WOW64_64KEY);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  winecheck::Guard(50000);
  if (argc != 3) {
    printf("usage: applet_wine_check.exe CPL-PATH MARKER-PATH\n");
    return 2;
  }
  winecheck::g_step = "LoadLibrary";
  HMODULE module = LoadLibraryW(argv[1]);
  Check(module != nullptr, "the applet loads", "error %lu", GetLastError());
  if (module == nullptr) return winecheck::Result();
  g_applet = reinterpret_cast<AppletProc>(reinterpret_cast<void*>(GetProcAddress(module, "CPlApplet")));
  Check(g_applet != nullptr, "the applet exports CPlApplet");
  if (g_applet == nullptr) return winecheck::Result();
  CheckExports(module);
  CheckResources(module);
  CheckMessages();
  CheckLaunches(argv[2]);
  winecheck::g_step = "CPL_STOP, CPL_EXIT";
  LONG stop = g_applet(nullptr, CPL_STOP, 0, 0);
  LONG exit = g_applet(nullptr, CPL_EXIT, 0, 0);
  Check(stop == 0 && exit == 0, "CPL_STOP and CPL_EXIT give 0", "%ld, %ld", stop, exit);
  FreeLibrary(module);
  return winecheck::Result();
}

// Looks at the running control panel program (vm_usbaudio_cpl.exe) from
// outside, as other programs see it, under Wine: its window, every control
// of the dialog layout, the slider writing "buffer_size", the single-instance
// rule and closing. scripts/run-wine-tests.sh calls one subcommand at a time
// while the program runs:
//
//   panel_wine_check.exe wait-window MS        its window is shown within MS
//   panel_wine_check.exe check-layout SIZE RATE DEPTH
//       title, styles, client size, each control (id, class, style bits,
//       visible/enabled, text, position and size against the dialog-unit
//       layout converted as the dialog manager does); SIZE is the expected
//       buffer size shown, RATE and DEPTH the selected combo texts
//   panel_wine_check.exe page-down             Page Down on the slider writes
//       the next size and signals a running ASIO driver
//   panel_wine_check.exe drag                  dragging the thumb with the
//       mouse moves the label and stores nothing until the button is released
//   panel_wine_check.exe second-start EXE      a second start brings the
//       (minimised) first window forward and ends with status 0
//   panel_wine_check.exe count-windows HWND    exactly one window, HWND
//   panel_wine_check.exe close                 WM_CLOSE ends the program
//
// One "ok:"/"FAIL:" line per check; the exit status is 0 only when all pass.
// The ids, texts and dialog units below are written out here on purpose
// (not taken from the program's headers), so a wrong value there shows.
#include <windows.h>
#include <commctrl.h>

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "tests/wine/wine_check.h"

namespace {

using winecheck::Check;
using winecheck::Info;
using winecheck::Utf8;

const wchar_t kTitle[] = L"Velmora USB Audio Driver";
const wchar_t kSettingsKey[] = L"SOFTWARE\\Velmora\\Velmora ASIO Device";
// A running ASIO driver's presence event and the settings-changed event it
// waits on.
const wchar_t kPresenceEvent[] = L"{1a23b247-c9cf-43f5-a7ae-6b1ff4bdb52a}0";
const wchar_t kChangedEvent[] = L"{1a23b247-c9cf-43f5-a7ae-6b1ff4bdb52a}1";
const DWORD kMessageTimeoutMs = 5000;
const DWORD kWaitMs = 15000;  // generous: a busy 2-core runner under Wine

HWND FindPanel() { return FindWindowW(nullptr, kTitle); }

// A message to the program's window, answered by its UI thread (Wine and
// Windows carry WM_GETTEXT, LB_GETTEXT, CB_GETLBTEXT and the RECT of
// CB_GETDROPPEDCONTROLRECT across processes).
LRESULT Ask(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
  DWORD_PTR result = 0;
  if (SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kMessageTimeoutMs, &result) == 0) {
    Check(false, "the program answers a message", "message 0x%x to window %p: error %lu", message,
          static_cast<void*>(window), GetLastError());
    return -1;
  }
  return static_cast<LRESULT>(result);
}

void WindowText(HWND window, wchar_t* out, int chars) {
  out[0] = L'\0';
  LRESULT n = Ask(window, WM_GETTEXT, chars, reinterpret_cast<LPARAM>(out));
  if (n < 0 || n >= chars) out[0] = L'\0';
}

void ClassName(HWND window, wchar_t* out, int chars) {
  if (GetClassNameW(window, out, chars) == 0) out[0] = L'\0';
}

// A window handle as wait-window prints it (hexadecimal).
HWND ParseWindow(const wchar_t* text) {
  return reinterpret_cast<HWND>(static_cast<UINT_PTR>(wcstoull(text, nullptr, 16)));
}

// Keeps this thread's windows answering while it waits.
void PumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

// Waits for a handle while pumping messages; true when it was signalled.
bool WaitPumping(HANDLE handle, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) return false;
    DWORD result = MsgWaitForMultipleObjects(1, &handle, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
    if (result == WAIT_OBJECT_0) return true;
    if (result != WAIT_OBJECT_0 + 1) return false;
    PumpMessages();
  }
}

// Polls a condition about another process's window (nothing signals it)
// until it holds or `timeoutMs` passes; true when it held.
template <typename Condition>
bool PollUntil(DWORD timeoutMs, Condition condition) {
  DWORD start = GetTickCount();
  for (;;) {
    PumpMessages();
    if (condition()) return true;
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(20);
  }
}

// ---- The layout --------------------------------------------------------

enum Kind { kListBox, kGroupBox, kTextStatic, kOwnerDrawStatic, kSunkenStatic, kTrackbar, kDropDownList };

struct LayoutRow {
  int id;
  const char* name;
  Kind kind;
  int x, y, cx, cy;  // dialog units
  bool visible;
  bool enabled;
  const wchar_t* text;  // fixed text, or null (checked separately or none)
};

const LayoutRow kLayout[] = {
    {1000, "device list", kListBox, 6, 6, 114, 84, true, true, nullptr},
    {1002, "setting group box", kGroupBox, 132, 6, 180, 84, true, true, nullptr},
    {1004, "buffer size caption", kTextStatic, 162, 18, 38, 8, true, true, L"Buffer Size:"},
    {1005, "buffer size label", kTextStatic, 207, 18, 71, 8, true, true, nullptr},
    {1001, "buffer size slider", kTrackbar, 138, 30, 168, 15, true, true, nullptr},
    {1010, "sampling rate caption", kTextStatic, 150, 54, 46, 8, true, false, L"Sampling Rate"},
    {1006, "sampling rate box", kDropDownList, 207, 52, 66, 66, true, false, nullptr},
    {1015, "bit depth caption", kTextStatic, 150, 73, 30, 8, false, false, L"Bit Depth"},
    {1014, "bit depth box", kDropDownList, 207, 71, 42, 66, false, false, nullptr},
    {1008, "logo placeholder", kOwnerDrawStatic, 7, 96, 113, 40, true, true, nullptr},
    {1009, "information text", kSunkenStatic, 132, 96, 180, 42, true, true, nullptr},
};

const wchar_t* const kRateTexts[] = {L"32000 Hz",  L"44100 Hz",  L"48000 Hz",  L"88200 Hz",
                                     L"96000 Hz",  L"176400 Hz", L"192000 Hz", L"352800 Hz",
                                     L"384000 Hz", L"2.8224MHz", L"5.6448MHz"};
const wchar_t* const kDepthTexts[] = {L"24 bits", L"32 bits", L"DSD"};

const wchar_t* ClassOf(Kind kind) {
  switch (kind) {
    case kListBox: return L"ListBox";
    case kGroupBox: return L"Button";
    case kTrackbar: return L"msctls_trackbar32";
    case kDropDownList: return L"ComboBox";
    default: return L"Static";
  }
}

bool IsTextStaticType(DWORD style) {
  DWORD type = style & SS_TYPEMASK;
  return type == SS_LEFT || type == SS_CENTER || type == SS_RIGHT || type == SS_SIMPLE || type == SS_LEFTNOWORDWRAP;
}

// A hidden dialog of this program with the layout's font (MS Shell Dlg,
// 8 pt) and size: MapDialogRect on it gives the pixels the dialog manager
// gives those dialog units (the program's own dialog belongs to another
// process, where MapDialogRect cannot reach).
INT_PTR CALLBACK MeasureProc(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

HWND CreateMeasuringDialog() {
  alignas(4) WORD buffer[128] = {};
  WORD* p = buffer;
  *p++ = 1;       // dlgVer
  *p++ = 0xFFFF;  // signature: DLGTEMPLATEEX
  p += 2;         // helpID
  p += 2;         // exStyle
  DWORD style = DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  memcpy(p, &style, sizeof style);
  p += 2;
  *p++ = 0;    // no controls
  *p++ = 0;    // x
  *p++ = 0;    // y
  *p++ = 322;  // cx
  *p++ = 143;  // cy
  *p++ = 0;    // no menu
  *p++ = 0;    // the dialog class
  *p++ = 0;    // no title
  *p++ = 8;    // point size
  *p++ = FW_NORMAL;
  *p++ = 0x0100;  // italic 0, charset 1 (DEFAULT_CHARSET), as rc writes
  const wchar_t face[] = L"MS Shell Dlg";
  memcpy(p, face, sizeof face);
  return CreateDialogIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(buffer), nullptr,
                                    MeasureProc, 0);
}

// Checks `style & mask == value`, naming the bits.
void CheckStyle(const char* control, DWORD style, DWORD mask, DWORD value, const char* bits) {
  char what[200];
  snprintf(what, sizeof what, "%s: style %s", control, bits);
  Check((style & mask) == value, what, "style 0x%08lx", static_cast<unsigned long>(style));
}

void CheckText(const char* control, const wchar_t* got, const wchar_t* expected) {
  char what[200];
  snprintf(what, sizeof what, "%s: text \"%s\"", control, Utf8(expected).c());
  Check(wcscmp(got, expected) == 0, what, "it is \"%s\"", Utf8(got).c());
}

// Geometry of one control in the dialog's client coordinates against the
// dialog units: position and size are converted separately, as the dialog
// manager does. A drop-down list's window is the closed box, whose height
// the box sets itself from its font; the table's height (the dropped list)
// is checked in the dialog template.
void CheckGeometry(HWND dialog, HWND control, HWND measure, const LayoutRow& row) {
  char what[200];
  RECT units = {row.x, row.y, row.cx, row.cy};
  MapDialogRect(measure, &units);
  RECT got;
  GetWindowRect(control, &got);
  MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&got), 2);
  long width = got.right - got.left, height = got.bottom - got.top;
  bool closedBox = row.kind == kDropDownList;
  if (closedBox) {
    snprintf(what, sizeof what, "control %d (%s) at %d,%d width %d dialog units = %ld,%ld width %ld pixels", row.id,
             row.name, row.x, row.y, row.cx, units.left, units.top, units.right);
  } else {
    snprintf(what, sizeof what, "control %d (%s) at %d,%d size %dx%d dialog units = %ld,%ld size %ldx%ld pixels",
             row.id, row.name, row.x, row.y, row.cx, row.cy, units.left, units.top, units.right, units.bottom);
  }
  Check(got.left == units.left && got.top == units.top && width == units.right &&
            (closedBox || height == units.bottom),
        what, "it is at %ld,%ld size %ldx%ld", got.left, got.top, width, height);
}

void CheckControl(HWND dialog, HWND measure, const LayoutRow& row) {
  char control[80], what[200];
  snprintf(control, sizeof control, "control %d (%s)", row.id, row.name);
  HWND window = GetDlgItem(dialog, row.id);
  snprintf(what, sizeof what, "%s exists", control);
  Check(window != nullptr, what);
  if (window == nullptr) return;

  wchar_t className[64];
  ClassName(window, className, 64);
  snprintf(what, sizeof what, "%s: class %s", control, Utf8(ClassOf(row.kind)).c());
  Check(lstrcmpiW(className, ClassOf(row.kind)) == 0, what, "class %s", Utf8(className).c());

  DWORD style = static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE));
  DWORD exStyle = static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE));
  switch (row.kind) {
    case kListBox:
      // WS_VSCROLL stays set only while the rows overflow: the template
      // check covers it.
      CheckStyle(control, style,
                 LBS_OWNERDRAWFIXED | LBS_OWNERDRAWVARIABLE | LBS_HASSTRINGS | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT |
                     LBS_SORT,
                 LBS_OWNERDRAWFIXED | LBS_HASSTRINGS | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT,
                 "LBS_OWNERDRAWFIXED|LBS_HASSTRINGS|LBS_NOTIFY|LBS_NOINTEGRALHEIGHT, not sorted");
      snprintf(what, sizeof what, "%s: border", control);
      Check((style & WS_BORDER) != 0 || (exStyle & WS_EX_CLIENTEDGE) != 0, what, "style 0x%08lx, extended 0x%08lx",
            static_cast<unsigned long>(style), static_cast<unsigned long>(exStyle));
      break;
    case kGroupBox:
      CheckStyle(control, style, BS_TYPEMASK, BS_GROUPBOX, "BS_GROUPBOX");
      break;
    case kTextStatic:
    case kSunkenStatic:
      snprintf(what, sizeof what, "%s: a text static", control);
      Check(IsTextStaticType(style), what, "style 0x%08lx", static_cast<unsigned long>(style));
      if (row.kind == kSunkenStatic) CheckStyle(control, style, SS_SUNKEN, SS_SUNKEN, "SS_SUNKEN");
      break;
    case kOwnerDrawStatic:
      CheckStyle(control, style, SS_TYPEMASK, SS_OWNERDRAW, "SS_OWNERDRAW");
      break;
    case kTrackbar:
      CheckStyle(control, style, TBS_NOTICKS | TBS_BOTH | TBS_VERT | WS_TABSTOP, TBS_NOTICKS | TBS_BOTH | WS_TABSTOP,
                 "TBS_NOTICKS|TBS_BOTH|WS_TABSTOP, horizontal");
      break;
    case kDropDownList:
      CheckStyle(control, style, 3, CBS_DROPDOWNLIST, "CBS_DROPDOWNLIST");
      break;
  }
  snprintf(what, sizeof what, "%s is %s", control, row.visible ? "visible" : "hidden");
  Check(((style & WS_VISIBLE) != 0) == row.visible, what);
  snprintf(what, sizeof what, "%s is %s", control, row.enabled ? "enabled" : "disabled");
  Check((IsWindowEnabled(window) != FALSE) == row.enabled, what);

  if (row.text != nullptr) {
    wchar_t text[256];
    WindowText(window, text, 256);
    CheckText(control, text, row.text);
  }
  CheckGeometry(dialog, window, measure, row);
}

// ---- The dialog template in the program file ---------------------------
// What the window cannot show: the dialog units as written (a drop-down
// list's dropped height), the font, and the list box's scroll bar, which
// the list shows only while its rows overflow.

struct TemplateReader {
  const BYTE* base;
  const BYTE* p;
  const BYTE* end;
  bool ok;
  WORD Word() {
    if (p + 2 > end) {
      ok = false;
      return 0;
    }
    WORD value;
    memcpy(&value, p, 2);
    p += 2;
    return value;
  }
  DWORD Dword() {
    DWORD low = Word();
    return low | (DWORD{Word()} << 16);
  }
  // A name or an ordinal ("#n"); empty when absent.
  void Name(wchar_t* out, int chars) {
    WORD first = Word();
    if (first == 0xFFFF) {
      swprintf(out, chars, L"#%u", Word());
      return;
    }
    int n = 0;
    for (WORD c = first; c != 0 && ok; c = Word())
      if (n < chars - 1) out[n++] = static_cast<wchar_t>(c);
    out[n] = L'\0';
  }
  void AlignDword() { p = base + ((static_cast<size_t>(p - base) + 3) & ~size_t{3}); }
};

struct TemplateItem {
  DWORD style, exStyle, id;
  int x, y, cx, cy;
};

void CheckTemplate(HWND dialog) {
  winecheck::g_step = "dialog template";
  DWORD processId = 0;
  GetWindowThreadProcessId(dialog, &processId);
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  wchar_t path[MAX_PATH];
  DWORD chars = MAX_PATH;
  bool named = process != nullptr && QueryFullProcessImageNameW(process, 0, path, &chars);
  if (process != nullptr) CloseHandle(process);
  Check(named, "the program's file is known", "error %lu", GetLastError());
  if (!named) return;
  Info("program file %s", Utf8(path).c());
  HMODULE module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  HRSRC found = module != nullptr ? FindResourceW(module, MAKEINTRESOURCEW(102), MAKEINTRESOURCEW(5) /* RT_DIALOG */)
                                  : nullptr;
  HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
  const BYTE* data = loaded != nullptr ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
  Check(data != nullptr, "the program holds dialog 102");
  if (data == nullptr) {
    if (module != nullptr) FreeLibrary(module);
    return;
  }
  TemplateReader in = {data, data, data + SizeofResource(module, found), true};
  WORD version = in.Word(), signature = in.Word();
  in.Dword();  // help id
  DWORD exStyle = in.Dword(), style = in.Dword();
  WORD count = in.Word();
  int x = static_cast<short>(in.Word()), y = static_cast<short>(in.Word());
  int cx = static_cast<short>(in.Word()), cy = static_cast<short>(in.Word());
  wchar_t menu[64], windowClass[64], caption[128], face[64] = L"";
  in.Name(menu, 64);
  in.Name(windowClass, 64);
  in.Name(caption, 128);
  int points = 0;
  if (style & DS_SETFONT) {
    points = in.Word();
    in.Word();  // weight
    in.Word();  // italic, character set
    in.Name(face, 64);
  }
  Check(version == 1 && signature == 0xFFFF, "dialog 102 is an extended template (DIALOGEX)");
  char what[200];
  Info("dialog 102 at %d,%d, style 0x%08lx, extended 0x%08lx", x, y, static_cast<unsigned long>(style),
       static_cast<unsigned long>(exStyle));
  Check(cx == 322 && cy == 143, "dialog 102 is 322 x 143 dialog units", "%d x %d", cx, cy);
  CheckText("dialog 102 caption", caption, kTitle);
  snprintf(what, sizeof what, "dialog 102 font \"MS Shell Dlg\" 8 pt");
  Check((style & DS_SETFONT) != 0 && points == 8 && wcscmp(face, L"MS Shell Dlg") == 0, what, "\"%s\" %d pt",
        Utf8(face).c(), points);

  TemplateItem items[32];
  int itemCount = 0;
  for (int i = 0; i < count && in.ok; ++i) {
    in.AlignDword();
    TemplateItem item;
    in.Dword();  // help id
    item.exStyle = in.Dword();
    item.style = in.Dword();
    item.x = static_cast<short>(in.Word());
    item.y = static_cast<short>(in.Word());
    item.cx = static_cast<short>(in.Word());
    item.cy = static_cast<short>(in.Word());
    item.id = in.Dword();
    wchar_t name[128];
    in.Name(name, 128);  // class
    in.Name(name, 128);  // text
    WORD extra = in.Word();
    in.p += extra;
    if (itemCount < 32) items[itemCount++] = item;
  }
  Check(in.ok, "dialog 102's controls can be read", "%d of %u", itemCount, count);
  Check(count == sizeof kLayout / sizeof kLayout[0], "dialog 102 has the layout's 11 controls and no others", "%u",
        count);
  for (const LayoutRow& row : kLayout) {
    const TemplateItem* item = nullptr;
    for (int i = 0; i < itemCount; ++i)
      if (items[i].id == static_cast<DWORD>(row.id)) item = &items[i];
    snprintf(what, sizeof what, "dialog 102: control %d (%s) at %d,%d size %dx%d", row.id, row.name, row.x, row.y,
             row.cx, row.cy);
    if (item == nullptr) {
      Check(false, what, "not in the template");
      continue;
    }
    Check(item->x == row.x && item->y == row.y && item->cx == row.cx && item->cy == row.cy, what,
          "it is at %d,%d size %dx%d", item->x, item->y, item->cx, item->cy);
    if (row.kind == kListBox) {
      snprintf(what, sizeof what, "dialog 102: control %d (%s) has a vertical scroll bar and a border", row.id,
               row.name);
      Check((item->style & WS_VSCROLL) != 0 &&
                ((item->style & WS_BORDER) != 0 || (item->exStyle & WS_EX_CLIENTEDGE) != 0),
            what, "style 0x%08lx, extended 0x%08lx", static_cast<unsigned long>(item->style),
            static_cast<unsigned long>(item->exStyle));
    }
  }
  FreeLibrary(module);
}

void CheckCombo(HWND dialog, int id, const char* name, const wchar_t* const* texts, int count,
                const wchar_t* selected) {
  char what[200];
  HWND combo = GetDlgItem(dialog, id);
  if (combo == nullptr) return;  // reported by the layout checks
  LRESULT rows = Ask(combo, CB_GETCOUNT);
  snprintf(what, sizeof what, "%s lists %d rows", name, count);
  Check(rows == count, what, "%ld rows", static_cast<long>(rows));
  for (int i = 0; i < count && i < rows; ++i) {
    wchar_t text[64] = L"";
    if (Ask(combo, CB_GETLBTEXTLEN, i) < 64) Ask(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
    snprintf(what, sizeof what, "%s row %d", name, i);
    CheckText(what, text, texts[i]);
  }
  LRESULT row = Ask(combo, CB_GETCURSEL);
  snprintf(what, sizeof what, "%s shows \"%s\"", name, Utf8(selected).c());
  Check(row >= 0 && row < count && wcscmp(texts[row], selected) == 0, what, "selected row %ld",
        static_cast<long>(row));
}

int CheckLayout(long expectedBufferSize, const wchar_t* expectedRate, const wchar_t* expectedDepth) {
  winecheck::g_step = "find the window";
  HWND dialog = FindPanel();
  Check(dialog != nullptr, "the window \"Velmora USB Audio Driver\" exists");
  if (dialog == nullptr) return winecheck::Result();

  winecheck::g_step = "dialog window";
  wchar_t text[512];
  GetWindowTextW(dialog, text, 512);
  CheckText("window", text, kTitle);
  wchar_t className[64];
  ClassName(dialog, className, 64);
  Info("window class %s", Utf8(className).c());
  DWORD style = static_cast<DWORD>(GetWindowLongW(dialog, GWL_STYLE));
  DWORD exStyle = static_cast<DWORD>(GetWindowLongW(dialog, GWL_EXSTYLE));
  CheckStyle("window", style, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_VISIBLE,
             WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_VISIBLE,
             "caption, system menu, minimise box, no maximise box, visible");
  CheckStyle("window", exStyle, WS_EX_APPWINDOW, WS_EX_APPWINDOW, "WS_EX_APPWINDOW (extended)");

  winecheck::g_step = "measure dialog units";
  HWND measure = CreateMeasuringDialog();
  Check(measure != nullptr, "a measuring dialog with MS Shell Dlg 8 pt", "error %lu", GetLastError());
  if (measure == nullptr) return winecheck::Result();
  RECT size = {0, 0, 322, 143};
  MapDialogRect(measure, &size);
  RECT base = {0, 0, 4, 8};
  MapDialogRect(measure, &base);
  Info("dialog base units %ld x %ld pixels", base.right, base.bottom);
  RECT client;
  GetClientRect(dialog, &client);
  char what[200];
  snprintf(what, sizeof what, "client area 322 x 143 dialog units = %ld x %ld pixels", size.right, size.bottom);
  Check(client.right == size.right && client.bottom == size.bottom, what, "it is %ld x %ld", client.right,
        client.bottom);

  for (const LayoutRow& row : kLayout) {
    winecheck::g_step = row.name;
    CheckControl(dialog, measure, row);
  }
  DestroyWindow(measure);

  CheckTemplate(dialog);

  winecheck::g_step = "device list and group box";
  HWND list = GetDlgItem(dialog, 1000);
  HWND group = GetDlgItem(dialog, 1002);
  if (list != nullptr && group != nullptr) {
    LRESULT rows = Ask(list, LB_GETCOUNT);
    LRESULT current = Ask(list, LB_GETCURSEL);
    wchar_t caption[256];
    WindowText(group, caption, 256);
    Info("device list: %ld rows, row %ld selected", static_cast<long>(rows), static_cast<long>(current));
    if (rows <= 0) {
      Check(current == LB_ERR, "with no device no row is selected", "row %ld", static_cast<long>(current));
      CheckText("group box with no device", caption, L"Setting");
    } else {
      wchar_t device[256] = L"";
      if (current >= 0 && Ask(list, LB_GETTEXTLEN, current) < 256)
        Ask(list, LB_GETTEXT, current, reinterpret_cast<LPARAM>(device));
      Check(current >= 0, "with devices a row is selected");
      CheckText("group box caption (the chosen device)", caption, device);
    }
  }

  winecheck::g_step = "slider and label";
  HWND slider = GetDlgItem(dialog, 1001);
  HWND label = GetDlgItem(dialog, 1005);
  if (slider != nullptr && label != nullptr) {
    LRESULT low = Ask(slider, TBM_GETRANGEMIN), high = Ask(slider, TBM_GETRANGEMAX), pos = Ask(slider, TBM_GETPOS);
    Check(low == 2 && high == 120, "slider range 2 to 120", "%ld to %ld", static_cast<long>(low),
          static_cast<long>(high));
    long clamped = expectedBufferSize < 64 ? 64 : expectedBufferSize > 3840 ? 3840 : expectedBufferSize;
    snprintf(what, sizeof what, "slider at %ld for buffer size %ld", clamped / 32, expectedBufferSize);
    Check(pos == clamped / 32, what, "at %ld", static_cast<long>(pos));
    wchar_t expected[64], got[64];
    swprintf(expected, 64, L"%ld Samples", static_cast<long>(pos) * 32);
    WindowText(label, got, 64);
    CheckText("buffer size label (slider position x 32)", got, expected);
  }

  winecheck::g_step = "combo boxes";
  CheckCombo(dialog, 1006, "sampling rate box", kRateTexts, 11, expectedRate);
  CheckCombo(dialog, 1014, "bit depth box", kDepthTexts, 3, expectedDepth);

  winecheck::g_step = "information text";
  HWND information = GetDlgItem(dialog, 1009);
  if (information != nullptr) {
    WindowText(information, text, 512);
    Info("information text \"%s\"", Utf8(text).c());
    const wchar_t head[] = L"Velmora ASIO Device\r\nVersion 1.0.0.0  built 12/12/2012\r\n";
    const wchar_t tail[] = L"\r\nASIO Technology by Steinberg\r\n";
    size_t length = wcslen(text), headLength = wcslen(head), tailLength = wcslen(tail);
    bool shaped = length > headLength + tailLength && wcsncmp(text, head, headLength) == 0 &&
                  wcscmp(text + length - tailLength, tail) == 0;
    if (shaped) {  // exactly one line between them, not empty
      const wchar_t* third = text + headLength;
      size_t thirdLength = length - headLength - tailLength;
      for (size_t i = 0; i < thirdLength; ++i) shaped = shaped && third[i] != L'\r' && third[i] != L'\n';
    }
    Check(shaped, "information text: name, version line, one more line, \"ASIO Technology by Steinberg\"");
  }
  return winecheck::Result();
}

// ---- Page Down on the slider ------------------------------------------

bool ReadBufferSize(HKEY key, DWORD* value) {
  DWORD type = 0, bytes = sizeof *value;
  return RegQueryValueExW(key, L"buffer_size", nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes) ==
             ERROR_SUCCESS &&
         type == REG_DWORD && bytes == sizeof *value;
}

int PageDown() {
  winecheck::g_step = "find the slider";
  HWND dialog = FindPanel();
  HWND slider = dialog != nullptr ? GetDlgItem(dialog, 1001) : nullptr;
  Check(slider != nullptr, "the window and its slider exist");
  if (slider == nullptr) return winecheck::Result();
  LRESULT before = Ask(slider, TBM_GETPOS), page = Ask(slider, TBM_GETPAGESIZE), high = Ask(slider, TBM_GETRANGEMAX);
  long after = static_cast<long>(before + page > high ? high : before + page);
  Info("slider at %ld, page size %ld, maximum %ld: Page Down moves it to %ld", static_cast<long>(before),
       static_cast<long>(page), static_cast<long>(high), after);
  Check(after != before, "the slider can move a page");
  printf("expect-buffer-size: %ld\n", after * 32);
  fflush(stdout);

  winecheck::g_step = "watch the settings key";
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE | KEY_NOTIFY | KEY_WOW64_64KEY,
                                 &key);
  Check(status == ERROR_SUCCESS, "the settings key opens", "status %ld", static_cast<long>(status));
  if (status != ERROR_SUCCESS) return winecheck::Result();
  DWORD stored = 0;
  Check(ReadBufferSize(key, &stored) && stored == static_cast<DWORD>(before) * 32,
        "buffer_size before matches the slider", "%lu", static_cast<unsigned long>(stored));
  // As if an ASIO driver ran: its presence event exists, and the change
  // must be signalled on the settings-changed event.
  HANDLE presence = CreateEventW(nullptr, TRUE, TRUE, kPresenceEvent);
  HANDLE changed = CreateEventW(nullptr, FALSE, FALSE, kChangedEvent);
  HANDLE written = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  Check(presence != nullptr && changed != nullptr && written != nullptr, "events for the check");
  if (changed == nullptr || written == nullptr) return winecheck::Result();
  RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, written, TRUE);

  // The key itself, as a user presses it on the focused slider: the real
  // trackbar turns it into WM_HSCROLL TB_PAGEDOWN (and TB_ENDTRACK on the
  // key's release) to the dialog.
  winecheck::g_step = "press Page Down";
  PostMessageW(slider, WM_KEYDOWN, VK_NEXT, 0x01510001);
  PostMessageW(slider, WM_KEYUP, VK_NEXT, 0xC1510001);

  winecheck::g_step = "wait for buffer_size";
  DWORD start = GetTickCount();
  bool reached = false;
  while (!reached) {
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= kWaitMs || WaitForSingleObject(written, kWaitMs - elapsed) != WAIT_OBJECT_0) break;
    RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, written, TRUE);
    reached = ReadBufferSize(key, &stored) && stored == static_cast<DWORD>(after) * 32;
  }
  char what[160];
  snprintf(what, sizeof what, "Page Down writes buffer_size %ld at once", after * 32);
  Check(reached, what, "buffer_size %lu after %lu ms", static_cast<unsigned long>(stored),
        static_cast<unsigned long>(GetTickCount() - start));
  Check(WaitForSingleObject(changed, kWaitMs) == WAIT_OBJECT_0,
        "the change is signalled to the running ASIO driver (settings-changed event)");
  LRESULT pos = Ask(slider, TBM_GETPOS);
  snprintf(what, sizeof what, "slider at %ld", after);
  Check(pos == after, what, "at %ld", static_cast<long>(pos));
  wchar_t expected[64], got[64];
  swprintf(expected, 64, L"%ld Samples", after * 32);
  WindowText(GetDlgItem(dialog, 1005), got, 64);
  CheckText("buffer size label after Page Down", got, expected);
  RegCloseKey(key);
  return winecheck::Result();
}

// ---- Dragging the slider's thumb ---------------------------------------

// A rectangle the program's trackbar fills in its own address space
// (TBM_GETTHUMBRECT and TBM_GETCHANNELRECT carry a pointer no system
// copies across processes).
bool AskRect(HANDLE process, void* remote, HWND control, UINT message, RECT* out) {
  SIZE_T read = 0;
  Ask(control, message, 0, reinterpret_cast<LPARAM>(remote));
  return ReadProcessMemory(process, remote, out, sizeof *out, &read) && read == sizeof *out;
}

// The mouse, as the user moves it: absolute screen coordinates.
void Mouse(DWORD flags, POINT at) {
  INPUT input = {};
  input.type = INPUT_MOUSE;
  int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
  input.mi.dx = MulDiv(at.x, 65536, width) + 1;
  input.mi.dy = MulDiv(at.y, 65536, height) + 1;
  input.mi.dwFlags = flags | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  SendInput(1, &input, sizeof input);
}

int Drag() {
  winecheck::g_step = "find the slider";
  HWND dialog = FindPanel();
  HWND slider = dialog != nullptr ? GetDlgItem(dialog, 1001) : nullptr;
  HWND label = dialog != nullptr ? GetDlgItem(dialog, 1005) : nullptr;
  Check(slider != nullptr && label != nullptr, "the window, its slider and its label exist");
  if (slider == nullptr || label == nullptr) return winecheck::Result();
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE | KEY_NOTIFY | KEY_WOW64_64KEY,
                                 &key);
  Check(status == ERROR_SUCCESS, "the settings key opens", "status %ld", static_cast<long>(status));
  if (status != ERROR_SUCCESS) return winecheck::Result();

  winecheck::g_step = "locate the thumb";
  DWORD processId = 0;
  GetWindowThreadProcessId(dialog, &processId);
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_QUERY_INFORMATION, FALSE, processId);
  void* remote = process != nullptr ? VirtualAllocEx(process, nullptr, sizeof(RECT), MEM_COMMIT | MEM_RESERVE,
                                                     PAGE_READWRITE)
                                    : nullptr;
  RECT thumb = {}, channel = {};
  bool located = remote != nullptr && AskRect(process, remote, slider, TBM_GETTHUMBRECT, &thumb) &&
                 AskRect(process, remote, slider, TBM_GETCHANNELRECT, &channel);
  if (remote != nullptr) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  if (process != nullptr) CloseHandle(process);
  Check(located && thumb.right > thumb.left && channel.right > channel.left, "the thumb and the channel are found",
        "error %lu", GetLastError());
  if (!located) return winecheck::Result();
  LRESULT low = Ask(slider, TBM_GETRANGEMIN), high = Ask(slider, TBM_GETRANGEMAX), before = Ask(slider, TBM_GETPOS);
  DWORD stored = 0;
  ReadBufferSize(key, &stored);
  // Twelve positions towards the nearer end's far side, in pixels.
  long steps = before - low >= 12 ? -12 : 12;
  long pixels = MulDiv(steps, channel.right - channel.left, static_cast<int>(high - low));
  POINT grab = {(thumb.left + thumb.right) / 2, (thumb.top + thumb.bottom) / 2};
  ClientToScreen(slider, &grab);
  POINT to = {grab.x + pixels, grab.y};
  Info("slider at %ld, buffer_size %lu; thumb %ld..%ld, channel %ld..%ld; dragging %ld pixels", static_cast<long>(before),
       static_cast<unsigned long>(stored), thumb.left, thumb.right, channel.left, channel.right, pixels);

  winecheck::g_step = "drag the thumb";
  wchar_t labelBefore[64], text[64];
  WindowText(label, labelBefore, 64);
  HANDLE written = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, written, TRUE);
  Mouse(0, grab);
  Mouse(MOUSEEVENTF_LEFTDOWN, grab);
  for (int i = 1; i <= 4; ++i) Mouse(0, POINT{grab.x + pixels * i / 4, grab.y});
  // The label follows the thumb (TB_THUMBTRACK): polled until it shows the
  // slider's position once the moves are handled. By the time the label
  // answers with a new text, the notification that set it is handled, and
  // nothing may be stored yet.
  LRESULT dragged = before;
  wchar_t expected[64];
  bool moved = PollUntil(kWaitMs, [&] {
    WindowText(label, text, 64);
    dragged = Ask(slider, TBM_GETPOS);
    swprintf(expected, 64, L"%ld Samples", static_cast<long>(dragged) * 32);
    return dragged != before && wcscmp(text, expected) == 0;
  });
  Check(moved, "dragging moves the thumb and the label shows its position", "slider at %ld, label \"%s\"",
        static_cast<long>(dragged), Utf8(text).c());
  DWORD during = 0;
  ReadBufferSize(key, &during);
  Check(during == stored, "dragging stores nothing", "buffer_size %lu", static_cast<unsigned long>(during));

  winecheck::g_step = "release the thumb";
  Mouse(MOUSEEVENTF_LEFTUP, to);
  DWORD start = GetTickCount();
  bool reached = false;
  DWORD after = during;
  while (!reached) {
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= kWaitMs || WaitForSingleObject(written, kWaitMs - elapsed) != WAIT_OBJECT_0) break;
    RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, written, TRUE);
    reached = ReadBufferSize(key, &after) && after == static_cast<DWORD>(dragged) * 32;
  }
  char what[120];
  snprintf(what, sizeof what, "releasing the thumb stores buffer_size %ld", static_cast<long>(dragged) * 32);
  Check(reached, what, "buffer_size %lu", static_cast<unsigned long>(after));
  printf("expect-buffer-size: %ld\n", static_cast<long>(dragged) * 32);
  CloseHandle(written);
  RegCloseKey(key);
  return winecheck::Result();
}

// ---- Single instance, closing ------------------------------------------

struct WindowCount {
  int count;
  HWND windows[8];
};

BOOL CALLBACK CountTitled(HWND window, LPARAM context) {
  auto* found = reinterpret_cast<WindowCount*>(context);
  wchar_t text[128];
  if (GetWindowTextW(window, text, 128) > 0 && wcscmp(text, kTitle) == 0) {
    if (found->count < 8) found->windows[found->count] = window;
    ++found->count;
  }
  return TRUE;
}

void CheckOneWindow(HWND expected) {
  WindowCount found = {};
  EnumWindows(CountTitled, reinterpret_cast<LPARAM>(&found));
  for (int i = 0; i < found.count && i < 8; ++i)
    Info("window 0x%llx titled \"Velmora USB Audio Driver\"",
         static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(found.windows[i])));
  Check(found.count == 1, "exactly one window titled \"Velmora USB Audio Driver\"", "%d", found.count);
  Check(found.count >= 1 && found.windows[0] == expected, "it is the first program's window");
}

int CountWindows(HWND expected) {
  winecheck::g_step = "count windows";
  CheckOneWindow(expected);
  return winecheck::Result();
}

int SecondStart(const wchar_t* exe) {
  winecheck::g_step = "find the first window";
  HWND first = FindPanel();
  Check(first != nullptr, "the first program's window exists");
  if (first == nullptr) return winecheck::Result();
  DWORD firstProcess = 0;
  GetWindowThreadProcessId(first, &firstProcess);

  // The first window minimised and another window in front: the second
  // start must show it normally and bring it forward.
  winecheck::g_step = "minimise the first window";
  ShowWindow(first, SW_MINIMIZE);
  Check(PollUntil(kWaitMs, [&] { return IsIconic(first) != FALSE; }), "the first window can be minimised");
  winecheck::g_step = "a window of ours in front";
  HWND mine = CreateWindowExW(WS_EX_TOPMOST, L"STATIC", L"panel_wine_check foreground", WS_POPUP | WS_VISIBLE, 0, 0,
                              64, 64, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  SetForegroundWindow(mine);
  bool ours = PollUntil(kWaitMs, [&] { return GetForegroundWindow() == mine; });
  Check(ours, "a window of this program is in the foreground before the second start");

  winecheck::g_step = "second start";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  DWORD start = GetTickCount();
  BOOL created = CreateProcessW(exe, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
  Check(created != FALSE, "the second program starts", "CreateProcessW error %lu", GetLastError());
  if (!created) return winecheck::Result();
  bool ended = WaitPumping(process.hProcess, kWaitMs);
  DWORD took = GetTickCount() - start;
  DWORD status = STILL_ACTIVE;
  GetExitCodeProcess(process.hProcess, &status);
  Info("the second program ran %lu ms", static_cast<unsigned long>(took));
  Check(ended, "the second program ends on its own");
  Check(ended && status == 0, "the second program ends with status 0", "status 0x%lx",
        static_cast<unsigned long>(status));
  if (!ended) TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);

  winecheck::g_step = "the first window comes forward";
  Check(PollUntil(kWaitMs, [&] { return IsIconic(first) == FALSE && IsWindowVisible(first) != FALSE; }),
        "the first window is shown normally again (not minimised)");
  Check(PollUntil(kWaitMs, [&] { return GetForegroundWindow() == first; }), "the first window is in the foreground",
        "foreground %p", static_cast<void*>(GetForegroundWindow()));
  DWORD stillProcess = 0;
  GetWindowThreadProcessId(first, &stillProcess);
  Check(IsWindow(first) && stillProcess == firstProcess, "the first program still runs its window");
  CheckOneWindow(first);
  DestroyWindow(mine);
  return winecheck::Result();
}

int Close() {
  winecheck::g_step = "find the window";
  HWND window = FindPanel();
  Check(window != nullptr, "the window exists");
  if (window == nullptr) return winecheck::Result();
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  Check(process != nullptr, "the program's process opens", "error %lu", GetLastError());
  if (process == nullptr) return winecheck::Result();
  winecheck::g_step = "WM_CLOSE";
  PostMessageW(window, WM_CLOSE, 0, 0);
  bool ended = WaitForSingleObject(process, kWaitMs) == WAIT_OBJECT_0;
  DWORD status = STILL_ACTIVE;
  GetExitCodeProcess(process, &status);
  CloseHandle(process);
  Check(ended, "WM_CLOSE closes the dialog and the program ends (its watcher threads stop)");
  Check(ended && status == 0, "the program ends with status 0", "status 0x%lx", static_cast<unsigned long>(status));
  Check(!IsWindow(window), "the window is gone");
  return winecheck::Result();
}

int WaitWindow(DWORD timeoutMs) {
  winecheck::g_step = "wait for the window";
  HWND window = nullptr;
  DWORD start = GetTickCount();
  bool shown = PollUntil(timeoutMs, [&] {
    window = FindPanel();
    return window != nullptr && IsWindowVisible(window);
  });
  char what[120];
  snprintf(what, sizeof what, "the window \"Velmora USB Audio Driver\" is shown within %lu ms",
           static_cast<unsigned long>(timeoutMs));
  Check(shown, what);
  if (shown) {
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    Info("shown after %lu ms, process %lu", static_cast<unsigned long>(GetTickCount() - start),
         static_cast<unsigned long>(processId));
    printf("window: 0x%llx\n", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)));
  }
  return winecheck::Result();
}

int Usage() {
  printf("usage: panel_wine_check.exe wait-window MS | check-layout SIZE RATE DEPTH | page-down | drag |\n"
         "       second-start EXE | count-windows HWND | close\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  winecheck::Guard(50000);
  if (argc < 2) return Usage();
  const wchar_t* command = argv[1];
  if (wcscmp(command, L"wait-window") == 0 && argc == 3) return WaitWindow(wcstoul(argv[2], nullptr, 10));
  if (wcscmp(command, L"check-layout") == 0 && argc == 5) return CheckLayout(wcstol(argv[2], nullptr, 10), argv[3], argv[4]);
  if (wcscmp(command, L"page-down") == 0 && argc == 2) return PageDown();
  if (wcscmp(command, L"drag") == 0 && argc == 2) return Drag();
  if (wcscmp(command, L"second-start") == 0 && argc == 3) return SecondStart(argv[2]);
  if (wcscmp(command, L"count-windows") == 0 && argc == 3) return CountWindows(ParseWindow(argv[2]));
  if (wcscmp(command, L"close") == 0 && argc == 2) return Close();
  return Usage();
}

// check-layout of the control panel's Wine checks: the window's title,
// styles and client size, and every control of the dialog layout (id,
// class, style bits, visible/enabled, text, position and size against the
// dialog units converted as the dialog manager does), the dialog template
// in the program file, the slider, the combo rows and the information text.
// The ids, texts and dialog units are written out here on purpose (not taken
// from the program's headers), so a wrong value there shows.
#include <windows.h>
#include <commctrl.h>

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "tests/wine/panel_window.h"

namespace panelcheck {

namespace {

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

}  // namespace

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

}  // namespace panelcheck

// Painting of the device list's rows.
#include "panel/win32/device_list_drawing.h"

#include <vector>

#include "panel/list_box_drawing.h"

namespace {

void FillRow(HDC dc, const RECT& rect, COLORREF colour) {
  const COLORREF previous = SetBkColor(dc, colour);
  ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &rect, nullptr, 0, nullptr);
  SetBkColor(dc, previous);
}

// The list font at the heavy weight; null when the font cannot be read.
HFONT CreateHeavyFont(HDC dc, HWND list) {
  HFONT base = reinterpret_cast<HFONT>(SendMessageW(list, WM_GETFONT, 0, 0));
  if (base == nullptr) base = static_cast<HFONT>(GetCurrentObject(dc, OBJ_FONT));
  LOGFONTW font{};
  if (base == nullptr || GetObjectW(base, sizeof(font), &font) != sizeof(font)) return nullptr;
  font.lfWeight = kHeavyRowWeight;
  return CreateFontIndirectW(&font);
}

}  // namespace

void MeasureDeviceListRow(HWND dialog, MEASUREITEMSTRUCT& item) {
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0));
  HDC dc = GetDC(dialog);
  if (dc == nullptr) return;
  HGDIOBJ previous = font != nullptr ? SelectObject(dc, font) : nullptr;
  TEXTMETRICW metrics{};
  if (GetTextMetricsW(dc, &metrics)) item.itemHeight = static_cast<UINT>(metrics.tmHeight + 4);
  if (previous != nullptr) SelectObject(dc, previous);
  ReleaseDC(dialog, dc);
}

void DrawDeviceListRow(const DRAWITEMSTRUCT& item, const LONG* activeIndex) {
  HDC dc = item.hDC;
  const bool focused = (item.itemState & ODS_FOCUS) != 0;
  // An empty list still shows where the focus is.
  if (item.itemID == static_cast<UINT>(-1)) {
    if (focused) DrawFocusRect(dc, &item.rcItem);
    return;
  }
  const LONG row = static_cast<LONG>(item.itemID);
  const ListRowLook look = DecideListRowLook(row, (item.itemState & ODS_SELECTED) != 0, focused, activeIndex);

  const COLORREF oldText = GetTextColor(dc);
  const COLORREF oldBackground = GetBkColor(dc);
  const int oldMode = SetBkMode(dc, TRANSPARENT);

  FillRow(dc, item.rcItem, look.highlightFill ? GetSysColor(COLOR_HIGHLIGHT) : oldBackground);
  if (look.highlightText) SetTextColor(dc, GetSysColor(COLOR_HIGHLIGHTTEXT));

  HFONT heavy = look.heavy ? CreateHeavyFont(dc, item.hwndItem) : nullptr;
  HGDIOBJ oldFont = heavy != nullptr ? SelectObject(dc, heavy) : nullptr;

  const LRESULT length = SendMessageW(item.hwndItem, LB_GETTEXTLEN, item.itemID, 0);
  if (length >= 0) {
    std::vector<WCHAR> text(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(item.hwndItem, LB_GETTEXT, item.itemID, reinterpret_cast<LPARAM>(text.data()));
    RECT textRect = item.rcItem;
    textRect.left += 2;
    DrawTextW(dc, text.data(), -1, &textRect, DT_SINGLELINE | DT_VCENTER | DT_LEFT | DT_NOPREFIX | DT_END_ELLIPSIS);
  }
  if (look.focusRect) DrawFocusRect(dc, &item.rcItem);

  if (oldFont != nullptr) SelectObject(dc, oldFont);
  if (heavy != nullptr) DeleteObject(heavy);
  SetBkMode(dc, oldMode);
  SetBkColor(dc, oldBackground);
  SetTextColor(dc, oldText);
}

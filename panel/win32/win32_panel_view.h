// The dialog logic's view over the real dialog: each call goes to the
// control with that id (list box 1000, combo boxes 1006 and 1014, trackbar
// 1001, statics and the group box by their text).
#pragma once

#include "panel/panel_view.h"

class Win32PanelView : public PanelView {
 public:
  // Loads icon 128 at the large and the small icon size.
  explicit Win32PanelView(HINSTANCE instance);
  ~Win32PanelView() override;
  Win32PanelView(const Win32PanelView&) = delete;
  Win32PanelView& operator=(const Win32PanelView&) = delete;

  // The dialog's window, known from WM_INITDIALOG on.
  void Attach(HWND dialog) { m_dialog = dialog; }
  HICON LargeIcon() const { return m_largeIcon; }

  HWND Window() const override { return m_dialog; }
  void SetWindowIcons() override;
  void SetWindowTitle(const WCHAR* title) override;
  void SetControlText(int id, const WCHAR* text) override;
  void EnableControl(int id, bool enable) override;
  void ResetRows(int id) override;
  void AddRow(int id, const WCHAR* text) override;
  void SelectRow(int id, LONG row) override;
  LONG SelectedRow(int id) const override;
  void GetRowText(int id, LONG row, WCHAR* text, size_t capacity) const override;
  void SetSliderRange(int id, int low, int high) override;
  void SetSliderPosition(int id, int position) override;
  int SliderPosition(int id) const override;
  void RedrawControl(int id) override;
  void RedrawWindow() override;

 private:
  LRESULT Send(int id, UINT message, WPARAM wParam, LPARAM lParam) const;

  HWND m_dialog = nullptr;
  HICON m_largeIcon = nullptr;
  HICON m_smallIcon = nullptr;
};

// What the control panel's dialog logic asks of its window, by control id
// (panel_resources.h): the Win32 dialog implements it over its controls,
// the host build over a model the tests read. Every call comes from the
// dialog's UI thread.
#pragma once

#include "kslib/user_prelude.h"

#include <cstddef>

class PanelView {
 public:
  virtual ~PanelView() = default;

  // The dialog's window: messages for the dialog are posted to it, device
  // notifications are registered to it.
  virtual HWND Window() const = 0;
  // Large and small window icon (icon resource 128) and the title.
  virtual void SetWindowIcons() = 0;
  virtual void SetWindowTitle(const WCHAR* title) = 0;

  virtual void SetControlText(int id, const WCHAR* text) = 0;
  virtual void EnableControl(int id, bool enable) = 0;

  // The list box (1000) and the two combo boxes (1006, 1014).
  virtual void ResetRows(int id) = 0;
  virtual void AddRow(int id, const WCHAR* text) = 0;
  // row -1: no selection.
  virtual void SelectRow(int id, LONG row) = 0;
  // -1 when no row is selected.
  virtual LONG SelectedRow(int id) const = 0;
  // The row's text cut to `capacity` characters with the terminator; empty
  // for a row that does not exist.
  virtual void GetRowText(int id, LONG row, WCHAR* text, size_t capacity) const = 0;

  // The trackbar (1001).
  virtual void SetSliderRange(int id, int low, int high) = 0;
  virtual void SetSliderPosition(int id, int position) = 0;
  virtual int SliderPosition(int id) const = 0;

  // Repaints one control, or the whole dialog.
  virtual void RedrawControl(int id) = 0;
  virtual void RedrawWindow() = 0;
};

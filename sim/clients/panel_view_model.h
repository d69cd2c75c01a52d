// A control panel dialog's controls as data, for the host build: the
// PanelView the dialog logic draws on when no window toolkit exists. Tests
// and tools read what a user would see (rows, selections, slider, texts,
// enabled states, heavy row) from a snapshot taken on any thread.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "panel/panel_view.h"

namespace sim {

struct PanelControlState {
  std::u16string text;
  bool enabled = true;
  std::vector<std::u16string> rows;
  LONG selectedRow = -1;
  int sliderLow = 0;
  int sliderHigh = 100;
  int sliderPosition = 0;
  unsigned redraws = 0;
};

struct PanelSnapshot {
  std::u16string title;
  bool iconsSet = false;
  unsigned windowRedraws = 0;
  std::map<int, PanelControlState> controls;  // by control id

  const PanelControlState& Control(int id) const;
};

class PanelViewModel : public PanelView {
 public:
  // The dialog's window: its messages go to this window's queue. Controls
  // start as the dialog template makes them (texts, enabled states).
  explicit PanelViewModel(HWND window);

  HWND Window() const override { return window_; }
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

  // What a user does with the mouse: picks a list row, or moves the slider
  // (clamped to its range, as a trackbar does).
  void UserSelectsRow(int id, LONG row);
  void UserMovesSlider(int id, int position);

  PanelSnapshot Snapshot() const;

 private:
  PanelControlState& At(int id);

  HWND window_;
  mutable std::mutex lock_;
  PanelSnapshot state_;
};

}  // namespace sim

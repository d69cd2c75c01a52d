#include "sim/clients/panel_view_model.h"

#include <algorithm>

#include "panel/panel_resources.h"

namespace sim {

namespace {

std::u16string Text(const WCHAR* text) {
  std::u16string out;
  if (text == nullptr) return out;
  for (; *text != 0; ++text) out.push_back(static_cast<char16_t>(*text));
  return out;
}

const PanelControlState& Missing() {
  static const PanelControlState none;
  return none;
}

}  // namespace

const PanelControlState& PanelSnapshot::Control(int id) const {
  auto it = controls.find(id);
  return it == controls.end() ? Missing() : it->second;
}

PanelViewModel::PanelViewModel(HWND window) : window_(window) {
  // The dialog template's texts and initial states.
  state_.controls[IDC_DEVICE_LIST];
  state_.controls[IDC_SETTING_GROUP].text = u"Setting";
  state_.controls[IDC_BUFFER_CAPTION].text = u"Buffer Size:";
  state_.controls[IDC_BUFFER_LABEL].text = u"---- Samples";
  state_.controls[IDC_BUFFER_SLIDER];
  state_.controls[IDC_RATE_CAPTION].text = u"Sampling Rate";
  state_.controls[IDC_RATE_CAPTION].enabled = false;
  state_.controls[IDC_RATE_COMBO].enabled = false;
  state_.controls[IDC_BIT_DEPTH_CAPTION].text = u"Bit Depth";
  state_.controls[IDC_BIT_DEPTH_CAPTION].enabled = false;
  state_.controls[IDC_BIT_DEPTH_COMBO].enabled = false;
  state_.controls[IDC_LOGO];
  state_.controls[IDC_INFORMATION];
}

PanelControlState& PanelViewModel::At(int id) { return state_.controls[id]; }

void PanelViewModel::SetWindowIcons() {
  std::lock_guard<std::mutex> hold(lock_);
  state_.iconsSet = true;
}

void PanelViewModel::SetWindowTitle(const WCHAR* title) {
  std::lock_guard<std::mutex> hold(lock_);
  state_.title = Text(title);
}

void PanelViewModel::SetControlText(int id, const WCHAR* text) {
  std::lock_guard<std::mutex> hold(lock_);
  At(id).text = Text(text);
}

void PanelViewModel::EnableControl(int id, bool enable) {
  std::lock_guard<std::mutex> hold(lock_);
  At(id).enabled = enable;
}

void PanelViewModel::ResetRows(int id) {
  std::lock_guard<std::mutex> hold(lock_);
  At(id).rows.clear();
  At(id).selectedRow = -1;
}

void PanelViewModel::AddRow(int id, const WCHAR* text) {
  std::lock_guard<std::mutex> hold(lock_);
  At(id).rows.push_back(Text(text));
}

void PanelViewModel::SelectRow(int id, LONG row) {
  std::lock_guard<std::mutex> hold(lock_);
  PanelControlState& control = At(id);
  // As LB_SETCURSEL / CB_SETCURSEL: a row outside the list clears the selection.
  control.selectedRow = (row >= 0 && static_cast<size_t>(row) < control.rows.size()) ? row : -1;
}

LONG PanelViewModel::SelectedRow(int id) const {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = state_.controls.find(id);
  return it == state_.controls.end() ? -1 : it->second.selectedRow;
}

void PanelViewModel::GetRowText(int id, LONG row, WCHAR* text, size_t capacity) const {
  if (capacity == 0) return;
  text[0] = 0;
  std::lock_guard<std::mutex> hold(lock_);
  auto it = state_.controls.find(id);
  if (it == state_.controls.end() || row < 0 || static_cast<size_t>(row) >= it->second.rows.size()) return;
  const std::u16string& source = it->second.rows[static_cast<size_t>(row)];
  size_t n = std::min(source.size(), capacity - 1);
  for (size_t i = 0; i < n; ++i) text[i] = source[i];
  text[n] = 0;
}

void PanelViewModel::SetSliderRange(int id, int low, int high) {
  std::lock_guard<std::mutex> hold(lock_);
  PanelControlState& control = At(id);
  control.sliderLow = low;
  control.sliderHigh = high;
  control.sliderPosition = std::clamp(control.sliderPosition, low, std::max(low, high));
}

void PanelViewModel::SetSliderPosition(int id, int position) {
  std::lock_guard<std::mutex> hold(lock_);
  PanelControlState& control = At(id);
  control.sliderPosition = std::clamp(position, control.sliderLow, std::max(control.sliderLow, control.sliderHigh));
}

int PanelViewModel::SliderPosition(int id) const {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = state_.controls.find(id);
  return it == state_.controls.end() ? 0 : it->second.sliderPosition;
}

void PanelViewModel::RedrawControl(int id) {
  std::lock_guard<std::mutex> hold(lock_);
  ++At(id).redraws;
}

void PanelViewModel::RedrawWindow() {
  std::lock_guard<std::mutex> hold(lock_);
  ++state_.windowRedraws;
}

void PanelViewModel::UserSelectsRow(int id, LONG row) { SelectRow(id, row); }

void PanelViewModel::UserMovesSlider(int id, int position) { SetSliderPosition(id, position); }

PanelSnapshot PanelViewModel::Snapshot() const {
  std::lock_guard<std::mutex> hold(lock_);
  return state_;
}

}  // namespace sim

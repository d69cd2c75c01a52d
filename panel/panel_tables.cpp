// Placeholder; its owner rewrites it.
#include "panel/panel_tables.h"

const PanelRateRow kPanelRateRows[] = {{32000, L"32000 Hz"}};
const PanelBitDepthRow kPanelBitDepthRows[] = {{24, 0, L"24 bits"}};
LONG FindRateRow(DWORD) { return -1; }
LONG FindBitDepthRow(DWORD, BYTE) { return -1; }
int SliderPositionForBufferSize(DWORD) { return kSliderLow; }
void FormatBufferSizeLabel(int, WCHAR* text, size_t capacity) {
  if (capacity > 0) text[0] = 0;
}
void FormatInformationText(WCHAR* text, size_t capacity) {
  if (capacity > 0) text[0] = 0;
}

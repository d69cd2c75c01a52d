// The control panel's fixed tables, the slider's scale and its texts.
#include "panel/panel_tables.h"

const PanelRateRow kPanelRateRows[kPanelRateRowCount] = {
    {32000, L"32000 Hz"},   {44100, L"44100 Hz"},   {48000, L"48000 Hz"},     {88200, L"88200 Hz"},
    {96000, L"96000 Hz"},   {176400, L"176400 Hz"}, {192000, L"192000 Hz"},   {352800, L"352800 Hz"},
    {384000, L"384000 Hz"}, {2822400, L"2.8224MHz"}, {5644800, L"5.6448MHz"},
};

const PanelBitDepthRow kPanelBitDepthRows[kPanelBitDepthRowCount] = {
    {24, 0, L"24 bits"},
    {32, 0, L"32 bits"},
    {8, 2, L"DSD"},
};

LONG FindRateRow(DWORD rate) {
  for (LONG row = 0; row < kPanelRateRowCount; ++row) {
    if (kPanelRateRows[row].rate == rate) return row;
  }
  return -1;
}

LONG FindBitDepthRow(DWORD bitDepth, BYTE format) {
  for (LONG row = 0; row < kPanelBitDepthRowCount; ++row) {
    if (kPanelBitDepthRows[row].bitDepth == bitDepth && kPanelBitDepthRows[row].format == format) return row;
  }
  return -1;
}

int SliderPositionForBufferSize(DWORD size) {
  if (size < kMinBufferSize) size = kMinBufferSize;
  if (size > kMaxBufferSize) size = kMaxBufferSize;
  return static_cast<int>(size / kSliderStep);
}

void FormatBufferSizeLabel(int position, WCHAR* text, size_t capacity) {
  if (text == nullptr || capacity == 0) return;
  StringCchPrintfW(text, capacity, L"%lu Samples", static_cast<DWORD>(position) * kSliderStep);
}

void FormatInformationText(WCHAR* text, size_t capacity) {
  if (text == nullptr || capacity == 0) return;
  WCHAR version[96];
  StringCchPrintfW(version, 96, L"Version %s  built %02d/%02d/%04d\r\n", L"1.0.0.0", 12, 12, 2012);
  StringCchCopyW(text, capacity, L"Velmora ASIO Device\r\n");
  StringCchCatW(text, capacity, version);
  StringCchCatW(text, capacity, L"Buffer size and device for Velmora USB Audio\r\n");
  StringCchCatW(text, capacity, L"ASIO Technology by Steinberg\r\n");
}

// The control panel's fixed tables and texts: the sampling-rate and
// bit-depth rows of the two combo boxes, the buffer-size slider's scale,
// the window title and the information text.
#pragma once

#include "kslib/user_prelude.h"

#include <cstddef>

#define VM_PANEL_TITLE L"Velmora USB Audio Driver"

struct PanelRateRow {
  DWORD rate;
  const WCHAR* text;
};
struct PanelBitDepthRow {
  DWORD bitDepth;
  BYTE format;
  const WCHAR* text;
};

extern const PanelRateRow kPanelRateRows[];
constexpr LONG kPanelRateRowCount = 11;
extern const PanelBitDepthRow kPanelBitDepthRows[];
constexpr LONG kPanelBitDepthRowCount = 3;

// The first row with that rate / bit depth and format; -1 when none.
LONG FindRateRow(DWORD rate);
LONG FindBitDepthRow(DWORD bitDepth, BYTE format);

// Slider positions 2..120 stand for position x 32 samples.
constexpr int kSliderLow = 2;
constexpr int kSliderHigh = 120;
constexpr DWORD kSliderStep = 32;
constexpr DWORD kMinBufferSize = 64;
constexpr DWORD kMaxBufferSize = 3840;

// A stored buffer size clamped to 64..3840, as a slider position.
int SliderPositionForBufferSize(DWORD size);
// "%lu Samples" with position x 32.
void FormatBufferSizeLabel(int position, WCHAR* text, size_t capacity);

// The information text of control 1009 (four lines, each ending "\r\n").
void FormatInformationText(WCHAR* text, size_t capacity);
constexpr size_t kInformationTextChars = 512;

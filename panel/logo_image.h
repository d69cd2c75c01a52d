// The logo's pixels as the dialog paints them: 32-bit top-down rows in
// memory order B, G, R, A, with colours pre-multiplied by alpha as
// AlphaBlend's per-pixel mode expects.
#pragma once

#include <cstddef>
#include <cstdint>

// Each colour of a pixel whose alpha is not 255 becomes
// (colour x alpha + 127) / 255 in integer arithmetic.
void PremultiplyAlpha(uint8_t* bgra, size_t pixelCount);

struct PanelPoint {
  long x;
  long y;
};

// Where an icon of `iconWidth` x `iconHeight` goes to sit centred in a
// client area of `clientWidth` x `clientHeight` (minimised painting).
PanelPoint CentredIconOrigin(long clientWidth, long clientHeight, long iconWidth, long iconHeight);

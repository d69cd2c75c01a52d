// The logo's pixel preparation and the minimised icon's placement.
#include "panel/logo_image.h"

void PremultiplyAlpha(uint8_t* bgra, size_t pixelCount) {
  if (bgra == nullptr) return;
  for (size_t i = 0; i < pixelCount; ++i) {
    uint8_t* pixel = bgra + 4 * i;
    const unsigned alpha = pixel[3];
    if (alpha == 255) continue;
    for (int c = 0; c < 3; ++c) pixel[c] = static_cast<uint8_t>((pixel[c] * alpha + 127) / 255);
  }
}

PanelPoint CentredIconOrigin(long clientWidth, long clientHeight, long iconWidth, long iconHeight) {
  // Rounds up on an odd difference, as the classic minimised-dialog painting does.
  return PanelPoint{(clientWidth - iconWidth + 1) / 2, (clientHeight - iconHeight + 1) / 2};
}

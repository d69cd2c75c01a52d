// How the device list draws one row.
#include "panel/list_box_drawing.h"

ListRowLook DecideListRowLook(LONG row, bool selected, bool focused, const LONG* activeIndex) {
  ListRowLook look{};
  look.highlightFill = selected;
  look.highlightText = selected;
  look.focusRect = focused;
  // The stored device stays heavy whichever row the user highlights.
  look.heavy = activeIndex != nullptr && row >= 0 && row == *activeIndex;
  return look;
}

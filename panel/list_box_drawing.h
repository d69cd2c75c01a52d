// How the device list draws a row: selection colours, focus rectangle, and
// heavy type for the row of the device the settings name.
#pragma once

#include "kslib/user_prelude.h"

struct ListRowLook {
  bool highlightFill;  // fill with the highlight colour (else the background colour)
  bool highlightText;  // text in the highlight text colour
  bool focusRect;      // draw a focus rectangle
  bool heavy;          // text in the list font at weight kHeavyRowWeight
};

constexpr int kHeavyRowWeight = 900;

// `activeIndex` is the dialog's active index (the list control holds a
// pointer to it); null draws no row heavy.
ListRowLook DecideListRowLook(LONG row, bool selected, bool focused, const LONG* activeIndex);

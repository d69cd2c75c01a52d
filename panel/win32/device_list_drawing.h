// The owner-drawn device list (control 1000): row height and row painting
// after the list's rules (DecideListRowLook).
#pragma once

#include "kslib/user_prelude.h"

// WM_MEASUREITEM: the fixed row height from the dialog's font (the list box
// asks while it is being created, before it has a font of its own).
void MeasureDeviceListRow(HWND dialog, MEASUREITEMSTRUCT& item);

// WM_DRAWITEM: highlight fill and text colour for the selected row, the
// background colour otherwise, a focus rectangle on the focused row, the
// row at *activeIndex in the list font at heavy weight; one line,
// vertically centred. The device context's colours, mode and font are
// restored afterwards.
void DrawDeviceListRow(const DRAWITEMSTRUCT& item, const LONG* activeIndex);

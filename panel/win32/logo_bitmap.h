// The dialog's logo: PNG resource 131 (type "PNG") decoded with GDI+ into a
// 32-bit top-down DIB section with pre-multiplied alpha, ready for
// AlphaBlend's per-pixel mode.
#pragma once

#include "kslib/user_prelude.h"

class LogoBitmap {
 public:
  // Decodes the resource; on any failure the logo stays empty and the
  // dialog paints without it.
  explicit LogoBitmap(HINSTANCE instance);
  ~LogoBitmap();
  LogoBitmap(const LogoBitmap&) = delete;
  LogoBitmap& operator=(const LogoBitmap&) = delete;

  bool Loaded() const { return m_bitmap != nullptr; }
  // Blends the whole logo at its own pixel size with (x, y) as top-left.
  void Draw(HDC target, int x, int y) const;

  int Width() const { return m_width; }
  int Height() const { return m_height; }

 private:
  HBITMAP m_bitmap = nullptr;
  int m_width = 0;
  int m_height = 0;
};

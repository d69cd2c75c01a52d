// Decodes the logo resource with GDI+'s flat API into a DIB section.
#include "panel/win32/logo_bitmap.h"

#include <gdiplus.h>

#include <cstring>

#include "panel/logo_image.h"
#include "panel/panel_resources.h"

namespace {

// GDI+ starts once per process, under a lock (the decode may run on any
// thread); it stays up until the process ends.
bool StartGdiplusOnce() {
  static SRWLOCK lock = SRWLOCK_INIT;
  static bool started = false;
  static ULONG_PTR token = 0;
  AcquireSRWLockExclusive(&lock);
  if (!started) {
    Gdiplus::GdiplusStartupInput input;
    started = Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok;
  }
  const bool result = started;
  ReleaseSRWLockExclusive(&lock);
  return result;
}

// The PNG resource copied into movable global memory and wrapped in a
// stream that frees the memory when released.
IStream* OpenLogoStream(HINSTANCE instance) {
  HRSRC resource = FindResourceW(instance, MAKEINTRESOURCEW(IDR_PANEL_LOGO), L"PNG");
  if (resource == nullptr) return nullptr;
  const DWORD size = SizeofResource(instance, resource);
  HGLOBAL loaded = LoadResource(instance, resource);
  const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (bytes == nullptr || size == 0) return nullptr;

  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, size);
  if (memory == nullptr) return nullptr;
  void* copy = GlobalLock(memory);
  if (copy == nullptr) {
    GlobalFree(memory);
    return nullptr;
  }
  std::memcpy(copy, bytes, size);
  GlobalUnlock(memory);

  IStream* stream = nullptr;
  if (FAILED(CreateStreamOnHGlobal(memory, TRUE, &stream))) {
    GlobalFree(memory);
    return nullptr;
  }
  return stream;
}

}  // namespace

LogoBitmap::LogoBitmap(HINSTANCE instance) {
  namespace gp = Gdiplus::DllExports;
  if (!StartGdiplusOnce()) return;
  IStream* stream = OpenLogoStream(instance);
  if (stream == nullptr) return;

  Gdiplus::GpBitmap* image = nullptr;
  UINT width = 0;
  UINT height = 0;
  if (gp::GdipCreateBitmapFromStream(stream, &image) == Gdiplus::Ok &&
      gp::GdipGetImageWidth(image, &width) == Gdiplus::Ok &&
      gp::GdipGetImageHeight(image, &height) == Gdiplus::Ok && width > 0 && height > 0) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = static_cast<LONG>(width);
    info.bmiHeader.biHeight = -static_cast<LONG>(height);  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap != nullptr && bits != nullptr) {
      // GDI+ writes the pixels straight into the DIB: 32bpp ARGB is B, G,
      // R, A in memory, the DIB's layout.
      Gdiplus::GpRect all(0, 0, static_cast<INT>(width), static_cast<INT>(height));
      Gdiplus::BitmapData data{};
      data.Width = width;
      data.Height = height;
      data.Stride = static_cast<INT>(width * 4);
      data.PixelFormat = PixelFormat32bppARGB;
      data.Scan0 = bits;
      if (gp::GdipBitmapLockBits(image, &all, Gdiplus::ImageLockModeRead | Gdiplus::ImageLockModeUserInputBuf,
                                 PixelFormat32bppARGB, &data) == Gdiplus::Ok) {
        gp::GdipBitmapUnlockBits(image, &data);
        GdiFlush();
        PremultiplyAlpha(static_cast<uint8_t*>(bits), static_cast<size_t>(width) * height);
        m_bitmap = bitmap;
        m_width = static_cast<int>(width);
        m_height = static_cast<int>(height);
        bitmap = nullptr;
      }
    }
    if (bitmap != nullptr) DeleteObject(bitmap);
  }
  if (image != nullptr) gp::GdipDisposeImage(image);
  stream->Release();
}

LogoBitmap::~LogoBitmap() {
  if (m_bitmap != nullptr) DeleteObject(m_bitmap);
}

void LogoBitmap::Draw(HDC target, int x, int y) const {
  if (m_bitmap == nullptr) return;
  HDC source = CreateCompatibleDC(target);
  if (source == nullptr) return;
  HGDIOBJ previous = SelectObject(source, m_bitmap);
  BLENDFUNCTION blend{};
  blend.BlendOp = AC_SRC_OVER;
  blend.BlendFlags = 0;
  blend.SourceConstantAlpha = 255;
  blend.AlphaFormat = AC_SRC_ALPHA;
  AlphaBlend(target, x, y, m_width, m_height, source, 0, 0, m_width, m_height, blend);
  SelectObject(source, previous);
  DeleteDC(source);
}

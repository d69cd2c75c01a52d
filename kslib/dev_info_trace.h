// Diagnostic lines of the device list, grouped by a trace mask and written
// to the debugger (each formatted into a 1024-character buffer).
#pragma once

#include "kslib/user_prelude.h"

inline constexpr ULONG kDevInfoTraceError = 0x02;
inline constexpr ULONG kDevInfoTraceEntryExit = 0x08;
inline constexpr ULONG kDevInfoTraceListDump = 0x10;
// The ASIO driver's build writes error lines only; the control panel's all.
inline constexpr ULONG kDevInfoTraceAsioDriver = 7;
inline constexpr ULONG kDevInfoTraceControlPanel = 0xFFFFFFFF;

class DevInfoTrace {
 public:
  static constexpr ULONG kBufferChars = 1024;

  explicit DevInfoTrace(ULONG mask) : mask_(mask) {}
  ULONG Mask() const { return mask_; }
  // Writes the formatted line when the mask has the group.
  void Line(ULONG group, LPCWSTR format, ...) const;

 private:
  ULONG mask_;
};

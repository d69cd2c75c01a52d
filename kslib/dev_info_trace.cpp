#include "kslib/dev_info_trace.h"

#include <cstdarg>

void DevInfoTrace::Line(ULONG group, LPCWSTR format, ...) const {
  if ((mask_ & group) == 0) return;
  WCHAR buffer[kBufferChars];
  buffer[0] = 0;
  va_list args;
  va_start(args, format);
  // A line cut at the buffer's end is still written.
  ::StringCchVPrintfW(buffer, kBufferChars, format, args);
  va_end(args);
  ::OutputDebugStringW(buffer);
}

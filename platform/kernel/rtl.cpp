// Run-time library helpers. Wide strings are handled here, never by the
// host C library (its wchar_t is not our WCHAR).
#include "platform/kernel/internal.h"

namespace {
size_t WideLength(PCWSTR s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}
WCHAR Fold(WCHAR c) { return (c >= 'a' && c <= 'z') ? static_cast<WCHAR>(c - 'a' + 'A') : c; }
}  // namespace

extern "C" {

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  const UCHAR* a = static_cast<const UCHAR*>(Source1);
  const UCHAR* b = static_cast<const UCHAR*>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (SourceString) {
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > 0xfffc) bytes = 0xfffc;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  } else {
    DestinationString->Length = DestinationString->MaximumLength = 0;
  }
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
  if (SourceString) {
    size_t n = strlen(SourceString);
    if (n > 0xfffe) n = 0xfffe;
    DestinationString->Length = static_cast<USHORT>(n);
    DestinationString->MaximumLength = static_cast<USHORT>(n + 1);
  } else {
    DestinationString->Length = DestinationString->MaximumLength = 0;
  }
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  for (size_t i = 0; i < String1->Length / sizeof(WCHAR); ++i) {
    WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
    if (CaseInSensitive ? Fold(a) != Fold(b) : a != b) return FALSE;
  }
  return TRUE;
}

}  // extern "C"

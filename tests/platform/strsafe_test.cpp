// <ntstrsafe.h>: truncation, invalid sizes and the kernel's format rules
// (LLP64 sizes, wide/narrow string conversions).
#include <wdm.h>
#include <ntstrsafe.h>

#include <string>
#include <vector>

#include "tests/support/verifier_test.h"

namespace {

// Our own UTF-16 comparison: the host's wchar_t functions are off limits.
std::u16string W(const WCHAR* s) {
  std::u16string out;
  while (*s) out.push_back(static_cast<char16_t>(*s++));
  return out;
}

class StrSafeTest : public VerifiedTest {};

TEST_F(StrSafeTest, PrintfFitsOrTruncatesWithTerminator) {
  char buffer[8];
  EXPECT_EQ(RtlStringCchPrintfA(buffer, sizeof buffer, "%d-%s", 42, "ab"), STATUS_SUCCESS);
  EXPECT_STREQ(buffer, "42-ab");
  EXPECT_EQ(RtlStringCchPrintfA(buffer, sizeof buffer, "%s", "exactly"), STATUS_SUCCESS) << "7 chars + NUL fit";
  EXPECT_EQ(RtlStringCchPrintfA(buffer, sizeof buffer, "%s!", "exactly"), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(buffer, "exactly");
  EXPECT_EQ(RtlStringCbPrintfA(buffer, 4, "%u", 123456u), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(buffer, "123");
}

TEST_F(StrSafeTest, ZeroOrHugeDestinationIsInvalidAndUntouched) {
  char buffer[4] = {'x', 'y', 'z', 0};
  EXPECT_EQ(RtlStringCchPrintfA(buffer, 0, "a"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCchCopyA(buffer, 0, "a"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCchPrintfA(buffer, size_t{NTSTRSAFE_MAX_CCH} + 1, "a"), STATUS_INVALID_PARAMETER);
  EXPECT_STREQ(buffer, "xyz");
  WCHAR wide[2] = {'q', 0};
  EXPECT_EQ(RtlStringCbPrintfW(wide, 1, L"a"), STATUS_INVALID_PARAMETER) << "one byte holds no WCHAR";
  EXPECT_EQ(RtlStringCbCopyW(wide, 1, L"a"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(wide[0], 'q');
}

TEST_F(StrSafeTest, IntegerSizesAreThoseOfWindowsX64) {
  char buffer[128];
  LONG negative = -5;
  ULONG big = 0xFFFFFFFFu;
  ULONGLONG wide = 0x123456789ABCDEF0ull;
  SIZE_T size = 0x100000000ull;
  EXPECT_EQ(RtlStringCchPrintfA(buffer, sizeof buffer, "%ld %lu %lx|%I64X|%llu|%Iu|%hd|%08X", negative, big, big,
                                wide, wide, size, 70000, 0xBEEFu),
            STATUS_SUCCESS);
  EXPECT_STREQ(buffer, "-5 4294967295 ffffffff|123456789ABCDEF0|1311768467463790320|4294967296|4464|0000BEEF");
  EXPECT_EQ(RtlStringCchPrintfA(buffer, sizeof buffer, "[%5d|%-5d|%+d|%.3d|%*d|%%]", 42, 42, 42, 7, 4, 9),
            STATUS_SUCCESS);
  EXPECT_STREQ(buffer, "[   42|42   |+42|007|   9|%]");
  EXPECT_EQ(RtlStringCchPrintfA(buffer, sizeof buffer, "%p", reinterpret_cast<void*>(0xABCDull)), STATUS_SUCCESS);
  EXPECT_STREQ(buffer, "000000000000ABCD");
}

TEST_F(StrSafeTest, NarrowOutputTakesWideArgumentsThroughWSAndCapitalS) {
  char buffer[64];
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"Speakers");
  EXPECT_EQ(name.Length, 16);
  EXPECT_EQ(RtlStringCchPrintfA(buffer, sizeof buffer, "%ws|%S|%wZ|%ls|%hs|%c%C", L"wide", L"caps", &name, L"l",
                                "narrow", 'n', L'W'),
            STATUS_SUCCESS);
  EXPECT_STREQ(buffer, "wide|caps|Speakers|l|narrow|nW");
  EXPECT_EQ(RtlStringCchPrintfA(buffer, sizeof buffer, "%s|%ws", static_cast<char*>(nullptr), L"\u00e9\u4e2d"),
            STATUS_SUCCESS);
  EXPECT_STREQ(buffer, "(null)|\xe9?") << "Latin-1 passes, the rest becomes '?'";
}

TEST_F(StrSafeTest, WideOutputTakesWideStringsThroughS) {
  WCHAR buffer[64];
  EXPECT_EQ(RtlStringCchPrintfW(buffer, 64, L"%s/%S/%hs/%d/%04x/%.2s", L"wide", "narrow", "h", -3, 0xab, L"xyz"),
            STATUS_SUCCESS);
  EXPECT_EQ(W(buffer), u"wide/narrow/h/-3/00ab/xy");
  EXPECT_EQ(RtlStringCbPrintfW(buffer, 8, L"%s", L"abcdef"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(W(buffer), u"abc") << "8 bytes hold three WCHARs and the terminator";
}

TEST_F(StrSafeTest, CopyCatAndLength) {
  char buffer[6];
  EXPECT_EQ(RtlStringCchCopyA(buffer, sizeof buffer, "hello"), STATUS_SUCCESS);
  EXPECT_EQ(RtlStringCchCopyA(buffer, sizeof buffer, "hello!"), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(buffer, "hello");
  EXPECT_EQ(RtlStringCchCopyA(buffer, sizeof buffer, "ab"), STATUS_SUCCESS);
  EXPECT_EQ(RtlStringCchCatA(buffer, sizeof buffer, "cd"), STATUS_SUCCESS);
  EXPECT_EQ(RtlStringCchCatA(buffer, sizeof buffer, "ef"), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(buffer, "abcde");
  EXPECT_EQ(RtlStringCchCopyNA(buffer, sizeof buffer, "wxyz", 2), STATUS_SUCCESS);
  EXPECT_STREQ(buffer, "wx");

  size_t length = 99;
  EXPECT_EQ(RtlStringCchLengthA("four", 5, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(RtlStringCchLengthA("four", 4, &length), STATUS_INVALID_PARAMETER) << "no terminator within the limit";
  EXPECT_EQ(length, 0u);

  WCHAR wide[4];
  EXPECT_EQ(RtlStringCbCopyW(wide, sizeof wide, L"abcd"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(W(wide), u"abc");
  EXPECT_EQ(RtlStringCbLengthW(wide, sizeof wide, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 6u) << "in bytes";
}

TEST_F(StrSafeTest, DebugPrintFormatsLikeTheKernelAndReachesTheSink) {
  std::vector<std::string> seen;
  platform::SetDebugPrintSink([&seen](const char* text) { seen.push_back(text); });
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"Pdo");
  KdPrint(("start %ws %wZ %ld %I64u\n", L"usb", &name, static_cast<LONG>(-1), 5ull));
  DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_ERROR_LEVEL, "error: %s 0x%08X\n", "start", 0xC00000BBu);
  platform::SetDebugPrintSink(nullptr);
  DbgPrint("not seen\n");
  EXPECT_EQ(seen, (std::vector<std::string>{"start usb Pdo -1 5\n", "error: start 0xC00000BB\n"}));
}

}  // namespace

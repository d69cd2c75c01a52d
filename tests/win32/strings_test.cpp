// lstr* comparison and copying, LocalAlloc, strsafe's truncation contract and
// formatting, COM initialisation and GUID strings.
#include <objbase.h>
#include <strsafe.h>

#include <cstring>
#include <string>
#include <thread>

#include "tests/win32/system_fixture.h"

namespace {

using StringsTest = SystemStandInTest;

std::u16string Str(const WCHAR* s) {
  std::u16string out;
  while (*s) out += static_cast<char16_t>(*s++);
  return out;
}

TEST_F(StringsTest, LstrcmpiWFoldsLatinGreekAndCyrillicLetters) {
  const WCHAR* pairs[][2] = {
      {L"USB\\VID_1FA7&PID_4D02&MI_00", L"usb\\vid_1fa7&pid_4d02&mi_00"},
      {L"\x00C4\x00D6\x00DC\x00C9\x00DE", L"\x00E4\x00F6\x00FC\x00E9\x00FE"},  // Latin-1
      {L"\x0178\x0100\x0141\x017D", L"\x00FF\x0101\x0142\x017E"},              // Latin Extended-A
      {L"\x0391\x0392\x0393\x03A3\x0386", L"\x03B1\x03B2\x03B3\x03C3\x03AC"},    // Greek
      {L"\x041F\x0420\x0418\x0401\x0404", L"\x043F\x0440\x0438\x0451\x0454"},    // Cyrillic
      {L"\xFF21\xFF3A", L"\xFF41\xFF5A"},                                        // full-width
  };
  for (const auto& p : pairs) {
    EXPECT_EQ(lstrcmpiW(p[0], p[1]), 0) << Str(p[1]).size();
    EXPECT_EQ(lstrcmpiW(p[1], p[0]), 0);
    EXPECT_NE(lstrcmpW(p[0], p[1]), 0);
  }
  // Not letters: the multiplication and division signs stay apart.
  EXPECT_NE(lstrcmpiW(L"\x00D7", L"\x00F7"), 0);
  EXPECT_NE(lstrcmpiW(L"a_", L"a\x007F"), 0);

  // Order: consistent signs, a prefix first, null first.
  EXPECT_LT(lstrcmpiW(L"abc", L"ABD"), 0);
  EXPECT_GT(lstrcmpiW(L"ABD", L"abc"), 0);
  EXPECT_LT(lstrcmpiW(L"ab", L"AB c"), 0);
  EXPECT_GT(lstrcmpiW(L"b", L"Ab"), 0);
  EXPECT_LT(lstrcmpiW(nullptr, L""), 0);
  EXPECT_EQ(lstrcmpiW(nullptr, nullptr), 0);
  // The case-sensitive one sorts lower case first but keeps letter order.
  EXPECT_LT(lstrcmpW(L"a", L"A"), 0);
  EXPECT_LT(lstrcmpW(L"A", L"b"), 0);
  EXPECT_LT(lstrcmpW(L"a", L"b"), 0);
  EXPECT_GT(lstrcmpW(L"Ab", L"ab"), 0);
  EXPECT_EQ(lstrcmpW(L"same", L"same"), 0);
}

TEST_F(StringsTest, LstrcpynWAndLocalAllocStayInsideTheirBuffers) {
  WCHAR buffer[8];
  for (auto& c : buffer) c = L'#';
  EXPECT_EQ(lstrcpynW(buffer, L"abcdefg", 5), buffer);
  EXPECT_EQ(Str(buffer), u"abcd");
  EXPECT_EQ(buffer[5], L'#');
  EXPECT_EQ(lstrlenW(buffer), 4);
  EXPECT_EQ(lstrlenW(nullptr), 0);
  lstrcpynW(buffer, L"xyz", 0);  // nothing written
  EXPECT_EQ(buffer[0], L'a');

  auto* zeroed = static_cast<unsigned char*>(LocalAlloc(LPTR, 64));
  ASSERT_NE(zeroed, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(zeroed[i], 0) << i;
  EXPECT_EQ(LocalFree(zeroed), nullptr);
  SetLastError(0);
  EXPECT_EQ(LocalAlloc(0x0002 /* LMEM_MOVEABLE */, 16), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(StringsTest, StrsafeTruncatesTerminatesAndRejectsBadSizes) {
  WCHAR dest[8];
  for (auto& c : dest) c = L'#';
  EXPECT_EQ(StringCchCopyW(dest, 6, L"abcdefgh"), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(Str(dest), u"abcde");
  EXPECT_EQ(dest[6], L'#');
  EXPECT_EQ(StringCchCopyW(dest, 6, L"abcde"), S_OK);

  for (auto& c : dest) c = L'#';
  EXPECT_EQ(StringCchCopyW(dest, 0, L"a"), STRSAFE_E_INVALID_PARAMETER);
  EXPECT_EQ(dest[0], L'#');
  EXPECT_EQ(StringCchCopyW(dest, size_t{STRSAFE_MAX_CCH} + 1, L"a"), STRSAFE_E_INVALID_PARAMETER);
  EXPECT_EQ(dest[0], 0);

  EXPECT_EQ(StringCchCopyNW(dest, 8, L"abcdef", 3), S_OK);
  EXPECT_EQ(Str(dest), u"abc");
  EXPECT_EQ(StringCchCatW(dest, 6, L"defgh"), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(Str(dest), u"abcde");
  WCHAR unterminated[3] = {L'x', L'y', L'z'};
  EXPECT_EQ(StringCchCatW(unterminated, 3, L"a"), STRSAFE_E_INVALID_PARAMETER);
  EXPECT_EQ(unterminated[2], L'z');

  size_t length = 99;
  EXPECT_EQ(StringCchLengthW(L"abc", 4, &length), S_OK);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(StringCchLengthW(L"abc", 3, &length), STRSAFE_E_INVALID_PARAMETER);
  EXPECT_EQ(length, 0u);

  // Byte sizes: 7 bytes hold three WCHARs.
  EXPECT_EQ(StringCbCopyW(dest, 7, L"abcd"), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(Str(dest), u"ab");

  char narrow[6];
  EXPECT_EQ(StringCchCopyA(narrow, sizeof narrow, "abcdefg"), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_STREQ(narrow, "abcde");
  EXPECT_EQ(StringCchCopyNA(narrow, sizeof narrow, "xyz", 2), S_OK);
  EXPECT_EQ(StringCchCatA(narrow, sizeof narrow, "1234"), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_STREQ(narrow, "xy123");
  EXPECT_EQ(StringCchLengthA(narrow, sizeof narrow, &length), S_OK);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(StringCbCopyA(narrow, 3, "abc"), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_STREQ(narrow, "ab");
}

TEST_F(StringsTest, StrsafePrintfUsesTheWindowsConventions) {
  WCHAR out[160];
  int anchor = 0;
  char pointerText[24];
  snprintf(pointerText, sizeof pointerText, "%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&anchor)));
  EXPECT_EQ(StringCchPrintfW(out, 160, L"[%ws|%ls|%s|%hs] %ld %u %x %08X %I64x %p", L"ws", L"ls", L"s", "hs", -5L, 7u,
                             0xBEEFu, 0xABCu, 0x123456789ABull, &anchor),
            S_OK);
  const std::string expected = std::string("[ws|ls|s|hs] -5 7 beef 00000ABC 123456789ab ") + pointerText;
  EXPECT_EQ(Str(out), std::u16string(expected.begin(), expected.end()));

  WCHAR small[8];
  for (auto& c : small) c = L'#';
  EXPECT_EQ(StringCchPrintfW(small, 5, L"%d-%d", 123, 456), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(Str(small), u"123-");
  EXPECT_EQ(small[5], L'#');
  EXPECT_EQ(StringCchPrintfW(small, 5, L"%d", 1234), S_OK);  // exactly fits

  char narrow[32];
  EXPECT_EQ(StringCchPrintfA(narrow, sizeof narrow, "%s/%S/%ld", "a", L"b", -1L), S_OK);
  EXPECT_STREQ(narrow, "a/b/-1");
  EXPECT_EQ(StringCchPrintfA(narrow, 0, "x"), STRSAFE_E_INVALID_PARAMETER);
}

TEST_F(StringsTest, GuidStringsRoundTripInRegistryForm) {
  const GUID audio = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
  const std::u16string text = u"{6994AD04-93EF-11D0-A3CC-00A0C9223196}";

  WCHAR buffer[40];
  EXPECT_EQ(StringFromGUID2(audio, buffer, 40), 39);
  EXPECT_EQ(Str(buffer), text);
  for (auto& c : buffer) c = L'#';
  EXPECT_EQ(StringFromGUID2(audio, buffer, 38), 0);
  EXPECT_EQ(buffer[0], L'#');

  LPOLESTR allocated = nullptr;
  ASSERT_EQ(StringFromCLSID(audio, &allocated), S_OK);
  EXPECT_EQ(Str(allocated), text);
  GUID parsed;
  EXPECT_EQ(CLSIDFromString(allocated, &parsed), S_OK);
  EXPECT_TRUE(IsEqualGUID(parsed, audio));
  CoTaskMemFree(allocated);

  EXPECT_EQ(CLSIDFromString(L"{6994ad04-93ef-11d0-a3cc-00a0c9223196}", &parsed), S_OK);
  EXPECT_TRUE(IsEqualGUID(parsed, audio));
  const GUID zero = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
  for (const WCHAR* bad : {L"6994AD04-93EF-11D0-A3CC-00A0C9223196", L"{6994AD04-93EF-11D0-A3CC-00A0C922319}",
                           L"{6994AD04-93EF-11D0-A3CC-00A0C92231966}", L"{6994AD04-93EF-11D0-A3CC-00A0C922319G}",
                           L"{6994AD0493-EF-11D0-A3CC-00A0C9223196}", L"{6994AD04-93EF-11D0-A3CC-00A0C9223196}x", L""}) {
    parsed = audio;
    EXPECT_EQ(CLSIDFromString(bad, &parsed), CO_E_CLASSSTRING) << Str(bad).size();
    EXPECT_TRUE(IsEqualGUID(parsed, zero));
  }
}

TEST_F(StringsTest, CoInitializeExCountsPerThreadAndRefusesAChangedModel) {
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
  HRESULT elsewhere = E_FAIL;
  std::thread([&] {
    elsewhere = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CoUninitialize();
  }).join();
  EXPECT_EQ(elsewhere, S_OK);
  CoUninitialize();
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);  // one still counted
  CoUninitialize();
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  CoUninitialize();
}

}  // namespace

// The registry file of the tools: a save and a load give back every key
// (spelled the same, empty ones too), value name, type and byte, whatever
// the characters; a malformed file is refused with its line and changes
// nothing.
#include <cstdio>
#include <fstream>

#include "tests/win32/registry_fixture.h"

namespace {

using platform::win32::LoadRegistry;
using platform::win32::RegistryFromText;
using platform::win32::RegistryToText;
using platform::win32::SaveRegistry;

// "t<type>_<length>"
std::u16string Name(ULONG type, size_t length) {
  std::string ascii = "t" + std::to_string(type) + "_" + std::to_string(length);
  return std::u16string(ascii.begin(), ascii.end());
}

void Fill() {
  const std::u16string asio = u"\\Registry\\Machine\\SOFTWARE\\ASIO\\Velmora ASIO Device";
  platform::RegistrySetString(asio, u"CLSID", u"{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}");
  platform::RegistrySetString(asio, u"", u"unnamed");
  const uint8_t bytes[] = {0x00, 0xFF, 0x25, 0x22, 0x0A};
  // Every type, odd sizes, an unknown type, no data at all.
  const ULONG types[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD, 0xFFFFFFFFu};
  for (ULONG type : types)
    for (size_t length : {0, 1, 5})
      platform::RegistrySetValue(asio + u"\\Types", Name(type, length), type, bytes, length);
  // Names with the escape character, quotes, brackets, non-ASCII, a lone
  // surrogate, a line break; a key name with brackets and non-ASCII.
  const std::u16string odd = u"100% \"quoted\" [x] \u00e9\u4e2d\xD800\n=";
  platform::RegistrySetDword(u"\\Registry\\User\\Odd ]\u00e9[ Key", odd, 7);
  bool created = false;
  platform::RegistryCreateKey(u"\\Registry\\Machine\\SOFTWARE\\Empty Key", &created);
  ASSERT_TRUE(created);
}

TEST_F(RegistryTest, SaveAndLoadGiveBackEveryKeyValueTypeAndByte) {
  Fill();
  const std::string text = RegistryToText();
  const std::string path = ::testing::TempDir() + "w3_registry_round_trip.reg";
  std::string error;
  ASSERT_TRUE(SaveRegistry(path, &error)) << error;
  platform::win32::ResetRegistry();
  EXPECT_EQ(RegistryToText(), "; registry of the simulated machine\n");
  ASSERT_TRUE(LoadRegistry(path, &error)) << error;
  std::remove(path.c_str());
  EXPECT_EQ(RegistryToText(), text);

  // Spot checks through the Win32 side.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Velmora ASIO Device\\Types", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  BYTE data[8] = {};
  size = sizeof data;
  ASSERT_EQ(RegQueryValueExW(key, L"t4294967295_5", nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, 0xFFFFFFFFu);
  ASSERT_EQ(size, 5u);
  EXPECT_EQ(data[1], 0xFF);
  EXPECT_EQ(data[4], 0x0A);
  size = sizeof data;
  ASSERT_EQ(RegQueryValueExW(key, L"t3_0", nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Empty Key", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  platform::RegistryValue odd;
  ASSERT_TRUE(platform::RegistryGetValue(u"\\Registry\\User\\Odd ]\u00e9[ Key",
                                         u"100% \"QUOTED\" [X] \u00e9\u4e2d\xD800\n=", &odd));
  EXPECT_EQ(odd.type, static_cast<ULONG>(REG_DWORD));
  // The key keeps its spelling: the snapshot lists it as it was created.
  bool spelled = false;
  for (const auto& k : platform::RegistrySnapshot()) spelled |= k.path == u"\\Registry\\User\\Odd ]\u00e9[ Key";
  EXPECT_TRUE(spelled);

  // Loading adds to what is there and replaces values of the same name.
  ASSERT_TRUE(
      RegistryFromText("[\\Registry\\Machine\\SOFTWARE\\ASIO\\Velmora ASIO Device]\n"
                       "\"clsid\"=00000004:01000000\n",
                       &error))
      << error;
  platform::RegistryValue clsid;
  ASSERT_TRUE(
      platform::RegistryGetValue(u"\\Registry\\Machine\\SOFTWARE\\ASIO\\Velmora ASIO Device", u"CLSID", &clsid));
  EXPECT_EQ(clsid.type, static_cast<ULONG>(REG_DWORD));
  EXPECT_TRUE(platform::RegistryKeyExists(u"\\Registry\\Machine\\SOFTWARE\\Empty Key"));
}

TEST_F(RegistryTest, AMalformedFileIsRefusedWithItsLineAndChangesNothing) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"\"v\"=00000004:01000000\n", "line 1: "},                         // a value before any key
      {"; c\n[\\Registry\\A]\n\"v\"=0000000Z:00\n", "line 3: "},         // type not hex
      {"[\\Registry\\A]\n\"v\"=00000004:010\n", "line 2: "},             // odd number of digits
      {"[\\Registry\\A]\n\"v\"=00000004:0G\n", "line 2: "},              // data not hex
      {"[\\Registry\\A]\n\"v=00000004:00\n", "line 2: "},                // no closing quote
      {"[\\Registry\\A]\n\"v\":00000004:00\n", "line 2: "},              // no '='
      {"[\\Registry\\A]\n\"v\"=00000004\n", "line 2: "},                 // no ':'
      {"[\\Registry\\A]\r\n\r\n\"%00zz\"=00000004:00\r\n", "line 3: "},  // a bad escape
      {"[\\Registry\\A\n", "line 1: "},                                  // unterminated key
      {"[Registry\\A]\n", "line 1: "},                                   // not absolute
      {"[\\Registry\\\\A]\n", "line 1: "},                               // an empty component
      {"[\\Registry\\A]\nv=1\n", "line 2: "},                            // not a value line
      {"[\\Registry\\A]\n\"caf\xc3\xa9\"=00000004:00\n", "line 2: "},    // raw non-ASCII
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(RegistryFromText(c.text, &error)) << c.text;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << " -> " << error;
    EXPECT_FALSE(platform::RegistryKeyExists(u"\\Registry\\A")) << c.text;  // nothing applied
  }
  // From a file: the message names the file and the line.
  const std::string path = ::testing::TempDir() + "w3_registry_bad.reg";
  {
    std::ofstream out(path);
    out << "[\\Registry\\A]\n\"ok\"=00000004:01000000\n\nbroken\n";
  }
  std::string error;
  EXPECT_FALSE(LoadRegistry(path, &error));
  EXPECT_EQ(error.rfind(path + ":4: ", 0), 0u) << error;
  EXPECT_FALSE(platform::RegistryKeyExists(u"\\Registry\\A"));
  std::remove(path.c_str());
  EXPECT_FALSE(LoadRegistry(path, &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
}

}  // namespace

// The Win32 registry over the store the kernel shares: create and open with
// disposition and parents, the RegQueryValueExW size protocol, values stored
// as given, names case-insensitive with their case kept, enumeration order
// and short buffers, the delete rules, access rights, handles per process,
// the 32-bit view, and the kernel seeing what user mode wrote and back.
#include "tests/win32/registry_fixture.h"

#include <cstring>
#include <vector>

namespace {

const wchar_t kSettings[] = L"SOFTWARE\\Velmora\\Velmora ASIO Device";

LSTATUS SetDword(HKEY key, const wchar_t* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

std::u16string Text(const wchar_t* s) { return std::u16string(reinterpret_cast<const char16_t*>(s)); }

TEST_F(RegistryTest, CreateReportsTheDispositionAndMakesTheParents) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kSettings, 0, nullptr, 0, KEY_WRITE, nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kSettings, 0, nullptr, 0, KEY_WRITE, nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  // The intermediate key exists, under the current user's kernel path.
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Velmora", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_TRUE(platform::RegistryKeyExists(User(u"SOFTWARE\\Velmora\\Velmora ASIO Device")));
  // Opening a missing key fails and leaves no handle.
  key = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Missing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  EXPECT_FALSE(platform::RegistryKeyExists(User(u"SOFTWARE\\Missing")));
  // Malformed names and arguments.
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"\\SOFTWARE", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"A\\\\B", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
            ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, nullptr, 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE", 0, KEY_READ | KEY_WOW64_32KEY | KEY_WOW64_64KEY, &key),
            ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, QueryFollowsTheSizeProtocolAndValuesKeepTheirTypeAndBytes) {
  ScopedKey key(HKEY_CURRENT_USER, kSettings);
  ASSERT_EQ(key.status(), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key.get(), L"buffer_size", 2048), ERROR_SUCCESS);

  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueExW(key.get(), L"buffer_size", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(size, 4u);
  BYTE small[3] = {0xEE, 0xEE, 0xEE};
  size = sizeof small;
  type = 0;
  EXPECT_EQ(RegQueryValueExW(key.get(), L"buffer_size", nullptr, &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(small[0], 0xEE);  // nothing written into a buffer that is too small
  DWORD value = 0;
  size = 8;  // room to spare: the size returned is the value's
  ASSERT_EQ(RegQueryValueExW(key.get(), L"buffer_size", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 2048u);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(RegQueryValueExW(key.get(), L"missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExW(key.get(), L"buffer_size", &reserved, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);

  // Stored exactly as given: a REG_SZ without its terminator, of odd size;
  // a "DWORD" of two bytes; a string where a number belongs.
  const BYTE unterminated[3] = {'a', 0, 'b'};
  ASSERT_EQ(RegSetValueExW(key.get(), L"selected", 0, REG_SZ, unterminated, 3), ERROR_SUCCESS);
  BYTE back[8] = {};
  size = sizeof back;
  ASSERT_EQ(RegQueryValueExW(key.get(), L"selected", nullptr, &type, back, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  ASSERT_EQ(size, 3u);
  EXPECT_EQ(memcmp(back, unterminated, 3), 0);
  EXPECT_EQ(back[3], 0);  // no terminator added
  const BYTE twoBytes[2] = {1, 2};
  ASSERT_EQ(RegSetValueExW(key.get(), L"sampling_rate", 0, REG_DWORD, twoBytes, 2), ERROR_SUCCESS);
  size = sizeof back;
  ASSERT_EQ(RegQueryValueExW(key.get(), L"sampling_rate", nullptr, &type, back, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  // The unnamed value: null and empty name are the same value.
  const wchar_t text[] = L"x";
  ASSERT_EQ(RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
            ERROR_SUCCESS);
  size = 0;
  ASSERT_EQ(RegQueryValueExW(key.get(), L"", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, sizeof text);
  // A zero-length value, and a null buffer with a size.
  ASSERT_EQ(RegSetValueExW(key.get(), L"empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  size = 5;
  ASSERT_EQ(RegQueryValueExW(key.get(), L"empty", nullptr, &type, back, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(RegSetValueExW(key.get(), L"bad", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
  // Deleting a value.
  EXPECT_EQ(RegDeleteValueW(key.get(), L"BUFFER_SIZE"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key.get(), L"buffer_size"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(key.get(), L"buffer_size", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, NamesAreCaseInsensitiveAndKeepTheirCase) {
  ScopedKey key(HKEY_CURRENT_USER, L"Software\\MixedCase");
  ASSERT_EQ(key.status(), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key.get(), L"Buffer_Size", 7), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key.get(), L"BUFFER_SIZE", 9), ERROR_SUCCESS);  // the same value
  HKEY upper = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\MIXEDCASE", 0, KEY_READ, &upper), ERROR_SUCCESS);
  DWORD value = 0, size = sizeof value;
  ASSERT_EQ(RegQueryValueExW(upper, L"buffer_size", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 9u);
  WCHAR name[32];
  DWORD cch = 32;
  ASSERT_EQ(RegEnumValueW(upper, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(Text(name), u"Buffer_Size");  // the first spelling stays
  EXPECT_EQ(RegCloseKey(upper), ERROR_SUCCESS);
  HKEY software = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"software", 0, KEY_READ, &software), ERROR_SUCCESS);
  cch = 32;
  ASSERT_EQ(RegEnumKeyExW(software, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(Text(name), u"MixedCase");
  EXPECT_EQ(RegCloseKey(software), ERROR_SUCCESS);
}

TEST_F(RegistryTest, EnumerationIsOrderedAndReportsShortBuffers) {
  ScopedKey parent(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO");
  ASSERT_EQ(parent.status(), ERROR_SUCCESS);
  for (const wchar_t* name : {L"b device", L"A device", L"c", L"A device\\child"}) {
    ScopedKey child(parent.get(), name);
    ASSERT_EQ(child.status(), ERROR_SUCCESS);
  }
  std::vector<std::u16string> names;
  WCHAR name[64];
  DWORD index = 0;
  for (;; ++index) {
    DWORD cch = 64;
    LSTATUS status = RegEnumKeyExW(parent.get(), index, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(status, ERROR_SUCCESS);
    EXPECT_EQ(cch, lstrlenW(name));
    names.push_back(Text(name));
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"A device", u"b device", u"c"}));  // direct children, no case
  // "A device" needs 9 characters with its terminator.
  DWORD cch = 8;
  EXPECT_EQ(RegEnumKeyExW(parent.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  cch = 9;
  EXPECT_EQ(RegEnumKeyExW(parent.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(cch, 8u);

  // Values: name order, short name or data buffers, end of list.
  ASSERT_EQ(SetDword(parent.get(), L"zeta", 1), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(parent.get(), L"Alpha", 2), ERROR_SUCCESS);
  DWORD type = 0, value = 0, size = sizeof value;
  cch = 64;
  ASSERT_EQ(RegEnumValueW(parent.get(), 0, name, &cch, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(Text(name), u"Alpha");
  EXPECT_EQ(cch, 5u);
  EXPECT_EQ(value, 2u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  cch = 4;
  EXPECT_EQ(RegEnumValueW(parent.get(), 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  BYTE small[2];
  cch = 64;
  size = sizeof small;
  EXPECT_EQ(RegEnumValueW(parent.get(), 1, name, &cch, nullptr, nullptr, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 4u);
  cch = 64;
  EXPECT_EQ(RegEnumValueW(parent.get(), 2, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryTest, DeleteRules) {
  ScopedKey device(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Velmora ASIO Device\\Sub");
  ASSERT_EQ(device.status(), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(device.get(), L"v", 1), ERROR_SUCCESS);
  // A key with subkeys is refused as Windows refuses it.
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Velmora ASIO Device"), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(platform::RegistryKeyExists(u"\\Registry\\Machine\\SOFTWARE\\ASIO\\Velmora ASIO Device\\Sub"));
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L""), ERROR_ACCESS_DENIED);  // a root stays
  EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, L""), ERROR_ACCESS_DENIED);

  // The leaf goes; the open handle to it now names a deleted key, also after
  // a key of that name is created again.
  EXPECT_EQ(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Velmora ASIO Device\\SUB", KEY_WOW64_64KEY, 0),
            ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(device.get(), L"v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  ScopedKey again(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Velmora ASIO Device\\Sub");
  ASSERT_EQ(again.status(), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(device.get(), L"v", 2), ERROR_KEY_DELETED);
  EXPECT_EQ(RegQueryValueExW(again.get(), L"v", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);

  // A tree goes whole; without a subkey its content goes and the key stays.
  ASSERT_EQ(SetDword(again.get(), L"w", 3), ERROR_SUCCESS);
  ScopedKey asio(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO");
  ASSERT_EQ(SetDword(asio.get(), L"top", 4), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeW(asio.get(), L"Velmora ASIO Device"), ERROR_SUCCESS);
  EXPECT_FALSE(platform::RegistryKeyExists(u"\\Registry\\Machine\\SOFTWARE\\ASIO\\Velmora ASIO Device"));
  EXPECT_EQ(RegDeleteTreeW(asio.get(), L"Velmora ASIO Device"), ERROR_FILE_NOT_FOUND);
  ScopedKey other(asio.get(), L"Other\\Deep");
  ASSERT_EQ(RegDeleteTreeW(asio.get(), nullptr), ERROR_SUCCESS);
  EXPECT_TRUE(platform::RegistryKeyExists(u"\\Registry\\Machine\\SOFTWARE\\ASIO"));
  EXPECT_FALSE(platform::RegistryKeyExists(u"\\Registry\\Machine\\SOFTWARE\\ASIO\\Other"));
  EXPECT_FALSE(platform::RegistryGetValue(u"\\Registry\\Machine\\SOFTWARE\\ASIO", u"top", nullptr));
}

TEST_F(RegistryTest, AHandleDoesOnlyWhatItsAccessAllows) {
  ScopedKey setup(HKEY_CURRENT_USER, kSettings);
  ASSERT_EQ(SetDword(setup.get(), L"buffer_size", 2048), ERROR_SUCCESS);
  HKEY reader = nullptr, writer = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kSettings, 0, KEY_READ | KEY_WOW64_64KEY, &reader), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kSettings, 0, KEY_WRITE, &writer), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(reader, L"buffer_size", 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueW(reader, L"buffer_size"), ERROR_ACCESS_DENIED);
  HKEY child = nullptr;
  EXPECT_EQ(RegCreateKeyExW(reader, L"child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTreeW(reader, nullptr), ERROR_ACCESS_DENIED);
  DWORD value = 0, size = sizeof value;
  EXPECT_EQ(RegQueryValueExW(writer, L"buffer_size", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_ACCESS_DENIED);
  WCHAR name[16];
  DWORD cch = 16;
  EXPECT_EQ(RegEnumKeyExW(writer, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
  HANDLE event = NewEvent();
  EXPECT_EQ(RegNotifyChangeKeyValue(writer, FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCloseKey(writer), ERROR_SUCCESS);
  // GENERIC_READ maps to KEY_READ.
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kSettings, 0, GENERIC_READ, &writer), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(writer, L"buffer_size", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(SetDword(writer, L"buffer_size", 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCloseKey(writer), ERROR_SUCCESS);
  EXPECT_EQ(value, 2048u);
  EXPECT_EQ(RegCloseKey(reader), ERROR_SUCCESS);
  EXPECT_EQ(platform::CloseClientHandle(process_, event), STATUS_SUCCESS);
}

TEST_F(RegistryTest, HandlesBelongToTheirProcess) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kSettings, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  platform::ClientProcess* other = platform::CreateClientProcess("other");
  {
    platform::ProcessScope in(other);
    EXPECT_EQ(SetDword(key, L"x", 1), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    // Predefined roots work in every process, and closing one does nothing.
    ScopedKey mine(HKEY_CURRENT_USER, kSettings);
    EXPECT_EQ(SetDword(mine.get(), L"x", 1), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
  }
  platform::EndClientProcess(other);
  EXPECT_EQ(SetDword(key, L"y", 2), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(SetDword(key, L"y", 2), ERROR_INVALID_HANDLE);
}

// HKLM\SOFTWARE seen by a 32-bit process goes to WOW6432Node unless it asks
// for the 64-bit view; HKCU\Software is shared; of HKCR, the class ids are
// kept apart.
TEST_F(RegistryTest, The32BitViewRedirectsMachineSoftwareAndClassIds) {
  const std::u16string machine = u"\\Registry\\Machine\\SOFTWARE\\";
  platform::ClientProcess* wow = platform::CreateClientProcess("32-bit", true);
  {
    platform::ProcessScope in(wow);
    ScopedKey asio(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Dev32");
    ASSERT_EQ(asio.status(), ERROR_SUCCESS);
    ScopedKey asio64(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Dev64", KEY_ALL_ACCESS | KEY_WOW64_64KEY);
    ASSERT_EQ(asio64.status(), ERROR_SUCCESS);
    ScopedKey clsid(HKEY_CLASSES_ROOT, L"CLSID\\{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}");
    ScopedKey shared(HKEY_CLASSES_ROOT, L".wav");
    ScopedKey user(HKEY_CURRENT_USER, kSettings);
    // Relative to a handle of HKLM\SOFTWARE the same rule applies.
    HKEY software = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_ALL_ACCESS, &software), ERROR_SUCCESS);
    ScopedKey relative(software, L"Velmora");
    EXPECT_EQ(RegCloseKey(software), ERROR_SUCCESS);
  }
  platform::EndClientProcess(wow);
  EXPECT_TRUE(platform::RegistryKeyExists(machine + u"WOW6432Node\\ASIO\\Dev32"));
  EXPECT_FALSE(platform::RegistryKeyExists(machine + u"ASIO\\Dev32"));
  EXPECT_TRUE(platform::RegistryKeyExists(machine + u"ASIO\\Dev64"));
  EXPECT_TRUE(platform::RegistryKeyExists(
      machine + u"Classes\\WOW6432Node\\CLSID\\{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}"));
  EXPECT_TRUE(platform::RegistryKeyExists(machine + u"Classes\\.wav"));
  EXPECT_TRUE(platform::RegistryKeyExists(User(u"SOFTWARE\\Velmora\\Velmora ASIO Device")));
  EXPECT_TRUE(platform::RegistryKeyExists(machine + u"WOW6432Node\\Velmora"));

  // A 64-bit process sees the 32-bit keys only through KEY_WOW64_32KEY.
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Dev32", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Dev32", 0, KEY_READ | KEY_WOW64_32KEY, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Dev64", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Dev32", KEY_WOW64_32KEY, 0), ERROR_SUCCESS);
  EXPECT_FALSE(platform::RegistryKeyExists(machine + u"WOW6432Node\\ASIO\\Dev32"));
}

// Deleting a tree as the COM registration does: collect the subkeys depth
// first with RegEnumKeyExW, delete them deepest first, the key last. (Paths
// as std::u16string: the host's wide-string library assumes 4-byte wchar_t.)
LPCWSTR W(const std::u16string& s) { return reinterpret_cast<LPCWSTR>(s.c_str()); }

void CollectDepthFirst(HKEY root, const std::u16string& path, std::vector<std::u16string>* out) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(root, W(path), 0, KEY_READ, &key), ERROR_SUCCESS);
  WCHAR name[256];
  for (DWORD i = 0;; ++i) {
    DWORD cch = 256;
    LSTATUS status = RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(status, ERROR_SUCCESS);
    std::u16string child = path + u"\\" + Text(name);
    out->push_back(child);
    CollectDepthFirst(root, child, out);
  }
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, TheRegistrationsTreeDeletionAndDefaultValues) {
  const std::u16string clsid = u"CLSID\\{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}";
  const wchar_t path[] = L"c:\\drivers\\vm_usbaudio_asio.dll";
  {
    ScopedKey server(HKEY_CLASSES_ROOT, W(clsid + u"\\InprocServer32"));
    ASSERT_EQ(RegSetValueExW(server.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path), sizeof path),
              ERROR_SUCCESS);
    ScopedKey deeper(server.get(), L"a\\b");
    ScopedKey sibling(HKEY_CLASSES_ROOT, L"CLSID\\{00000000-0000-0000-0000-000000000001}");
  }
  // The machine's classes: HKCR is HKLM\SOFTWARE\Classes.
  platform::RegistryValue stored;
  ASSERT_TRUE(platform::RegistryGetValue(
      u"\\Registry\\Machine\\SOFTWARE\\Classes\\" + clsid + u"\\InprocServer32", u"", &stored));
  EXPECT_EQ(stored.data.size(), sizeof path);

  std::vector<std::u16string> keys;
  CollectDepthFirst(HKEY_CLASSES_ROOT, clsid, &keys);
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, W(clsid)), ERROR_ACCESS_DENIED);  // subkeys first
  for (auto it = keys.rbegin(); it != keys.rend(); ++it)
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, W(*it)), ERROR_SUCCESS) << "deleting a key with subkeys left";
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, W(clsid)), ERROR_SUCCESS);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, W(clsid), 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\{00000000-0000-0000-0000-000000000001}", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// One store: what RegSetValueExW wrote under HKLM the driver reads with
// RtlQueryRegistryValues, and what the kernel wrote user mode reads.
TEST_F(RegistryTest, TheKernelSeesTheSameStore) {
  ScopedKey params(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\vm_usbaudio\\Parameters");
  ASSERT_EQ(params.status(), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(params.get(), L"Depth", 17), ERROR_SUCCESS);
  ULONG depth = 0;
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
  table[0].Name = const_cast<PWSTR>(L"depth");
  table[0].EntryContext = &depth;
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"VM_USBAUDIO\\Parameters", table, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(depth, 17u);

  ULONG kernelValue = 99;
  ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"vm_usbaudio\\Parameters", L"Written", REG_DWORD,
                                  &kernelValue, sizeof kernelValue),
            STATUS_SUCCESS);
  DWORD value = 0, size = sizeof value;
  ASSERT_EQ(RegQueryValueExW(params.get(), L"written", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 99u);
  // A key the kernel side deletes is gone for the open handle too.
  ASSERT_TRUE(platform::RegistryDeleteKey(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vm_usbaudio"));
  EXPECT_EQ(SetDword(params.get(), L"Depth", 1), ERROR_KEY_DELETED);
}

}  // namespace

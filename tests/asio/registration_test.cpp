// DllRegisterServer / DllUnregisterServer of the driver DLL: the class key
// under HKEY_CLASSES_ROOT, the ASIO entry under HKEY_LOCAL_MACHINE, what a
// re-registration keeps and replaces, what unregistration removes, the
// errors, and the tree deletion they use. The DLL is the linked-in code,
// made known to the loader under its file name and loaded by the test's
// process as regsvr32 loads it.
#include "tests/kslib/kslib_fixture.h"

#include "asio/com/dll_entry.h"
#include "asio/com/registration.h"
#include "platform/win32/registry_host.h"

#include <string>
#include <vector>

namespace {

const WCHAR kClassKey[] = L"CLSID\\{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}";
const WCHAR kServerKey[] = L"CLSID\\{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}\\InprocServer32";
const WCHAR kAsioEntry[] = L"SOFTWARE\\ASIO\\Velmora ASIO Device";
const char kInstallPath[] = "C:\\Program Files\\Velmora\\VM_USBAUDIO_ASIO.DLL";
const char kInstallPathLower[] = "c:\\program files\\velmora\\vm_usbaudio_asio.dll";
constexpr HRESULT kFailed = static_cast<HRESULT>(0xFFFFFFFFu);

template <typename Fn>
FARPROC AsProc(Fn* fn) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(fn));
}

// UTF-16 bytes of an ASCII string, with or without its terminator.
std::vector<BYTE> Utf16(const std::string& text, bool terminator) {
  std::vector<BYTE> bytes;
  for (char c : text) {
    bytes.push_back(static_cast<BYTE>(c));
    bytes.push_back(0);
  }
  if (terminator) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

struct Value {
  bool present = false;
  DWORD type = 0;
  std::vector<BYTE> bytes;
};

Value ReadValue(HKEY root, const WCHAR* subKey, const WCHAR* name) {
  Value v;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return v;
  BYTE data[2048];
  DWORD bytes = sizeof data;
  v.present = RegQueryValueExW(key, name, nullptr, &v.type, data, &bytes) == ERROR_SUCCESS;
  if (v.present) v.bytes.assign(data, data + bytes);
  RegCloseKey(key);
  return v;
}

void WriteValue(HKEY root, const WCHAR* subKey, const WCHAR* name, DWORD type, const std::vector<BYTE>& bytes) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(root, subKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size())), ERROR_SUCCESS);
  RegCloseKey(key);
}

void CreateKey(HKEY root, const WCHAR* subKey) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(root, subKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), ERROR_SUCCESS);
  RegCloseKey(key);
}

bool KeyExists(HKEY root, const WCHAR* subKey) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Names of the key's subkeys and the number of its values.
std::vector<std::string> SubKeys(HKEY root, const WCHAR* subKey, DWORD* values = nullptr) {
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD chars = 256;
    if (RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.push_back(kslibtest::Utf8(kslibtest::Text(name)));
  }
  if (values != nullptr) {
    *values = 0;
    for (;; ++*values) {
      WCHAR name[256];
      DWORD chars = 256;
      if (RegEnumValueW(key, *values, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    }
  }
  RegCloseKey(key);
  return names;
}

class RegistrationTest : public kslibtest::ClientTest {
 protected:
  void SetUp() override {
    platform::win32::ResetRegistry();
    kslibtest::ClientTest::SetUp();
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
    kslibtest::ClientTest::TearDown();
    platform::win32::ResetRegistry();
  }

  // The DLL installed at `path` (again: the same module, moved there).
  HMODULE Install(const std::string& path) {
    return platform::win32::RegisterModule("vm_usbaudio_asio.dll",
                                           {{"DllGetClassObject", AsProc(&DllGetClassObject)},
                                            {"DllCanUnloadNow", AsProc(&DllCanUnloadNow)},
                                            {"DllRegisterServer", AsProc(&DllRegisterServer)},
                                            {"DllUnregisterServer", AsProc(&DllUnregisterServer)}},
                                           path, &DllMain);
  }
  // Installed and loaded by this process, as regsvr32 loads it.
  void InstallAndLoad(const std::string& path = kInstallPath) {
    HMODULE installed = Install(path);
    if (module_ == nullptr) module_ = LoadLibraryW(L"vm_usbaudio_asio.dll");
    ASSERT_EQ(module_, installed);
  }

  void ExpectRegistered(const std::string& lowerPath) {
    Value name = ReadValue(HKEY_CLASSES_ROOT, kClassKey, nullptr);
    EXPECT_EQ(name.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(name.bytes, Utf16("Velmora ASIO Device", true));
    Value server = ReadValue(HKEY_CLASSES_ROOT, kServerKey, nullptr);
    EXPECT_EQ(server.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(server.bytes, Utf16(lowerPath, true));
    Value model = ReadValue(HKEY_CLASSES_ROOT, kServerKey, L"ThreadingModel");
    EXPECT_EQ(model.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(model.bytes, Utf16("Apartment", true));

    // The ASIO entry's strings carry their terminator, so a host that
    // reads them into an uncleared buffer still gets exactly the text.
    Value clsid = ReadValue(HKEY_LOCAL_MACHINE, kAsioEntry, L"CLSID");
    EXPECT_EQ(clsid.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(clsid.bytes, Utf16("{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}", true));
    Value description = ReadValue(HKEY_LOCAL_MACHINE, kAsioEntry, L"Description");
    EXPECT_EQ(description.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(description.bytes, Utf16("Velmora ASIO Device", true));
  }

  HMODULE module_ = nullptr;
};

TEST_F(RegistrationTest, FirstRegistrationWritesTheClassKeyAndTheAsioEntry) {
  InstallAndLoad();
  ASSERT_EQ(DllRegisterServer(), S_OK);
  ExpectRegistered(kInstallPathLower);

  // Nothing besides.
  DWORD values = 0;
  EXPECT_EQ(SubKeys(HKEY_CLASSES_ROOT, kClassKey, &values), std::vector<std::string>{"InprocServer32"});
  EXPECT_EQ(values, 1u);
  EXPECT_TRUE(SubKeys(HKEY_CLASSES_ROOT, kServerKey, &values).empty());
  EXPECT_EQ(values, 2u);
  EXPECT_EQ(SubKeys(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO"), std::vector<std::string>{"Velmora ASIO Device"});
  EXPECT_TRUE(SubKeys(HKEY_LOCAL_MACHINE, kAsioEntry, &values).empty());
  EXPECT_EQ(values, 2u);
}

TEST_F(RegistrationTest, ReRegistrationFromTheSamePathKeepsTheClassKeyAndRenewsTheAsioEntry) {
  InstallAndLoad();
  ASSERT_EQ(DllRegisterServer(), S_OK);
  // The same file spelled in other case and stored without a terminator
  // (as another tool may have left it), planted values under both keys.
  WriteValue(HKEY_CLASSES_ROOT, kServerKey, nullptr, REG_SZ, Utf16(kInstallPath, false));
  WriteValue(HKEY_CLASSES_ROOT, kClassKey, L"Planted", REG_DWORD, {1, 0, 0, 0});
  WriteValue(HKEY_LOCAL_MACHINE, kAsioEntry, L"Planted", REG_DWORD, {1, 0, 0, 0});
  WriteValue(HKEY_LOCAL_MACHINE, kAsioEntry, L"Description", REG_SZ, Utf16("Old name", true));
  CreateKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Velmora ASIO Device\\Old\\Older");

  ASSERT_EQ(DllRegisterServer(), S_OK);
  // The class key as it was.
  EXPECT_TRUE(ReadValue(HKEY_CLASSES_ROOT, kClassKey, L"Planted").present);
  EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, kServerKey, nullptr).bytes, Utf16(kInstallPath, false));
  // The ASIO entry made afresh.
  EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, kAsioEntry, L"Planted").present);
  EXPECT_TRUE(SubKeys(HKEY_LOCAL_MACHINE, kAsioEntry).empty());
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kAsioEntry, L"Description").bytes, Utf16("Velmora ASIO Device", true));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kAsioEntry, L"CLSID").bytes,
            Utf16("{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}", true));
}

TEST_F(RegistrationTest, RegistrationFromAnotherPathReplacesTheWholeClassKey) {
  InstallAndLoad();
  ASSERT_EQ(DllRegisterServer(), S_OK);
  WriteValue(HKEY_CLASSES_ROOT, kClassKey, L"Planted", REG_DWORD, {1, 0, 0, 0});
  CreateKey(HKEY_CLASSES_ROOT, L"CLSID\\{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}\\Deep\\Deeper\\Deepest");
  CreateKey(HKEY_CLASSES_ROOT, L"CLSID\\{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}\\InprocServer32\\Below");
  // Another class and another driver stay as they are.
  WriteValue(HKEY_CLASSES_ROOT, L"CLSID\\{00000000-1111-2222-3333-444455556666}", nullptr, REG_SZ,
             Utf16("Other", true));
  WriteValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Other Driver", L"Description", REG_SZ, Utf16("Other", true));

  InstallAndLoad("D:\\Audio\\Drivers\\vm_usbaudio_asio.dll");
  ASSERT_EQ(DllRegisterServer(), S_OK);
  ExpectRegistered("d:\\audio\\drivers\\vm_usbaudio_asio.dll");
  DWORD values = 0;
  EXPECT_EQ(SubKeys(HKEY_CLASSES_ROOT, kClassKey, &values), std::vector<std::string>{"InprocServer32"});
  EXPECT_EQ(values, 1u);
  EXPECT_TRUE(SubKeys(HKEY_CLASSES_ROOT, kServerKey).empty());
  EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, L"CLSID\\{00000000-1111-2222-3333-444455556666}", nullptr).bytes,
            Utf16("Other", true));
  EXPECT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Other Driver", L"Description").present);

  // A class key without a server path is not this DLL's either.
  ASSERT_EQ(DeleteRegistryTree(HKEY_CLASSES_ROOT, kServerKey), ERROR_SUCCESS);
  WriteValue(HKEY_CLASSES_ROOT, kClassKey, L"Planted", REG_DWORD, {1, 0, 0, 0});
  ASSERT_EQ(DllRegisterServer(), S_OK);
  EXPECT_FALSE(ReadValue(HKEY_CLASSES_ROOT, kClassKey, L"Planted").present);
  ExpectRegistered("d:\\audio\\drivers\\vm_usbaudio_asio.dll");
}

TEST_F(RegistrationTest, UnregistrationRemovesBothKeysAndNothingElse) {
  InstallAndLoad();
  // Nothing registered yet: nothing to remove, no error.
  EXPECT_EQ(DllUnregisterServer(), S_OK);
  ASSERT_EQ(DllRegisterServer(), S_OK);
  CreateKey(HKEY_CLASSES_ROOT, L"CLSID\\{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}\\Deep\\Deeper");
  CreateKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Velmora ASIO Device\\Below");
  WriteValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Other Driver", L"Description", REG_SZ, Utf16("Other", true));
  WriteValue(HKEY_CLASSES_ROOT, L"CLSID\\{00000000-1111-2222-3333-444455556666}", nullptr, REG_SZ,
             Utf16("Other", true));

  EXPECT_EQ(DllUnregisterServer(), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kAsioEntry));
  EXPECT_EQ(SubKeys(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO"), std::vector<std::string>{"Other Driver"});
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\{00000000-1111-2222-3333-444455556666}"));
  EXPECT_EQ(DllUnregisterServer(), S_OK);
}

TEST_F(RegistrationTest, WithoutTheLoadedModuleBothFailAndTouchNothing) {
  Install(kInstallPath);  // installed, not loaded by this process
  EXPECT_EQ(DllRegisterServer(), kFailed);
  EXPECT_EQ(RegisterAsioDriver(CLSID_KelAsioDriver, VM_ASIO_MODULE_NAME, VM_ASIO_DRIVER_NAME, VM_ASIO_DRIVER_NAME,
                               VM_ASIO_THREADING_MODEL),
            kRegisterNoModule);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kAsioEntry));

  // Registered, then unloaded: unregistration fails and the keys stay.
  InstallAndLoad();
  ASSERT_EQ(DllRegisterServer(), S_OK);
  ASSERT_TRUE(FreeLibrary(module_));
  module_ = nullptr;
  EXPECT_EQ(DllUnregisterServer(), kFailed);
  EXPECT_EQ(UnregisterAsioDriver(CLSID_KelAsioDriver, VM_ASIO_MODULE_NAME, VM_ASIO_DRIVER_NAME), kRegisterNoModule);
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kAsioEntry));
}

TEST_F(RegistrationTest, APathLongerThanThePathBufferIsRefusedNotCut) {
  // 359 characters fit the 360-character buffer with its terminator.
  const std::string dir = "C:\\" + std::string(346, 'D') + "\\";
  const std::string longest = dir + "vm_as.dll";
  ASSERT_EQ(longest.size(), 359u);
  InstallAndLoad(longest);
  ASSERT_EQ(DllRegisterServer(), S_OK);
  std::string lower = longest;
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  ExpectRegistered(lower);
  ASSERT_EQ(DllUnregisterServer(), S_OK);

  // One more: a cut path would name a file that does not exist.
  InstallAndLoad(dir + "vm_asi.dll");
  EXPECT_EQ(DllRegisterServer(), kFailed);
  EXPECT_EQ(RegisterAsioDriver(CLSID_KelAsioDriver, VM_ASIO_MODULE_NAME, VM_ASIO_DRIVER_NAME, VM_ASIO_DRIVER_NAME,
                               VM_ASIO_THREADING_MODEL),
            kRegisterNoModulePath);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kAsioEntry));
}

TEST_F(RegistrationTest, TreeDeletionRemovesEveryLevelAndOnlyTheTree) {
  for (const WCHAR* key : {L"SOFTWARE\\Tree\\A\\A1\\A11", L"SOFTWARE\\Tree\\A\\A2", L"SOFTWARE\\Tree\\B",
                           L"SOFTWARE\\Tree\\B\\B1\\B11\\B111", L"SOFTWARE\\TreeSibling"}) {
    CreateKey(HKEY_LOCAL_MACHINE, key);
  }
  WriteValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree\\A\\A1", L"Value", REG_DWORD, {1, 0, 0, 0});
  EXPECT_EQ(DeleteRegistryTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree"), ERROR_SUCCESS);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TreeSibling"));
  EXPECT_NE(DeleteRegistryTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree"), ERROR_SUCCESS);
}

}  // namespace

// The simulated ASIO host's search for the driver, as hosts search: the
// HKLM "SOFTWARE\ASIO" subkeys, their "CLSID" and "Description" (stored
// without a terminator by the registration), the class key's
// InprocServer32 path, LoadLibraryW of that path and DllGetClassObject with
// the class identifier. A stand-in DLL at the path records what it was asked.
#include "tests/asio/settings_fixture.h"

#include <string>

#include "asio/com/dll_entry.h"
#include "platform/win32/system_host.h"
#include "sim/clients/asio_host.h"

namespace {

struct Asked {
  int calls = 0;
  CLSID clsid{};
  IID iid{};
};
Asked g_asked;

HRESULT STDAPICALLTYPE RecordingGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
  g_asked.calls++;
  g_asked.clsid = clsid;
  g_asked.iid = iid;
  *out = nullptr;
  return CLASS_E_CLASSNOTAVAILABLE;
}

const char kPath[] = "D:\\Audio\\Drivers\\vm_usbaudio_asio.dll";

class AsioHostSearchTest : public SettingsTest {
 protected:
  void SetUp() override {
    SettingsTest::SetUp();
    platform::win32::ResetSystemStandIns();
    g_asked = Asked{};
    platform::win32::RegisterModule(
        "vm_usbaudio_asio.dll",
        {{"DllGetClassObject", reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&RecordingGetClassObject))}},
        kPath);
  }
  void TearDown() override {
    platform::win32::ResetSystemStandIns();
    SettingsTest::TearDown();
  }

  // A REG_SZ value; `terminated` false stores the characters only, as the
  // driver's registration does.
  static void SetString(HKEY root, const std::u16string& key, const WCHAR* name, const std::u16string& text,
                        bool terminated) {
    HKEY k = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(root, reinterpret_cast<const WCHAR*>(key.c_str()), 0, nullptr, 0, KEY_WRITE, nullptr, &k,
                              &disposition),
              ERROR_SUCCESS);
    const DWORD bytes = static_cast<DWORD>((text.size() + (terminated ? 1 : 0)) * 2);
    EXPECT_EQ(RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes), ERROR_SUCCESS);
    RegCloseKey(k);
  }

  static std::string Search() {
    sim::AsioHostOptions options;
    options.recordCapacity = 16;
    sim::AsioHost host(options);
    EXPECT_FALSE(host.Start());
    host.Finish();
    return host.Error();
  }
};

TEST_F(AsioHostSearchTest, FindsTheDriverByItsDescriptionAndAsksItsFactoryForTheClassIdentifier) {
  // Nothing installed.
  EXPECT_NE(Search().find("SOFTWARE\\ASIO is missing"), std::string::npos);
  EXPECT_EQ(g_asked.calls, 0);

  const std::u16string clsid = u"{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}";
  // Another driver listed first, and ours with unterminated values.
  SetString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\Another Device", L"CLSID", u"{00000000-1111-2222-3333-444444444444}",
            false);
  SetString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\Another Device", L"Description", u"Another Device", false);
  SetString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\Velmora ASIO Device", L"CLSID", clsid, false);
  SetString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\Velmora ASIO Device", L"Description", u"Velmora ASIO Device", false);
  // The class key is missing: the host says which.
  EXPECT_NE(Search().find("InprocServer32 is missing"), std::string::npos);

  const std::u16string path(kPath, kPath + sizeof kPath - 1);
  SetString(HKEY_CLASSES_ROOT, u"CLSID\\" + clsid + u"\\InprocServer32", nullptr, path, true);
  const std::string error = Search();
  EXPECT_NE(error.find("DllGetClassObject failed: 0x80040111"), std::string::npos) << error;
  ASSERT_EQ(g_asked.calls, 1);
  EXPECT_TRUE(IsEqualGUID(g_asked.clsid, CLSID_KelAsioDriver));
  EXPECT_TRUE(IsEqualGUID(g_asked.iid, IID_IClassFactory));

  // A path the loader does not know.
  SetString(HKEY_CLASSES_ROOT, u"CLSID\\" + clsid + u"\\InprocServer32", nullptr, u"C:\\gone\\missing.dll", true);
  EXPECT_NE(Search().find("LoadLibraryW(C:\\gone\\missing.dll) failed"), std::string::npos);
  EXPECT_EQ(g_asked.calls, 1);
}

}  // namespace

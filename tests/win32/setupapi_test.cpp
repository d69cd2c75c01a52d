// SetupAPI and cfgmgr32 over the device database, against the driver's
// interfaces on the simulated machine: what a client enumerating audio
// filters finds, with the buffer-size rules it must meet.
#include <gtest/gtest.h>

#include <cfgmgr32.h>

#include "tests/win32/machine_fixture.h"

namespace {

using win32test::Text;

class SetupApiTest : public win32test::MachineTest {
 protected:
  HDEVINFO AudioSet() {
    return SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  }

  // The paths of a set's interfaces of the class, in enumeration order,
  // read into the 528-byte detail buffer a client uses.
  std::vector<std::u16string> Paths(HDEVINFO set, const GUID& cls) {
    std::vector<std::u16string> paths;
    for (DWORD i = 0;; ++i) {
      SP_DEVICE_INTERFACE_DATA data{};
      data.cbSize = sizeof data;
      if (!SetupDiEnumDeviceInterfaces(set, NULL, &cls, i, &data)) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        break;
      }
      EXPECT_EQ(data.Flags, static_cast<DWORD>(SPINT_ACTIVE));
      alignas(8) BYTE buffer[528] = {};
      auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer);
      detail->cbSize = 8;
      EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, sizeof buffer, NULL, NULL));
      paths.push_back(Text(detail->DevicePath));
    }
    return paths;
  }

  // The first interface of the set, with its device.
  void First(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data, SP_DEVINFO_DATA* device) {
    data->cbSize = sizeof *data;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, NULL, &KSCATEGORY_AUDIO, 0, data));
    device->cbSize = sizeof *device;
    DWORD needed = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, data, NULL, 0, &needed, device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  }

  platform::PhysicalDeviceInfo DeviceInDatabase() {
    platform::PhysicalDeviceInfo info;
    EXPECT_TRUE(platform::GetPhysicalDeviceInfo(machine_->Pdo(), &info));
    return info;
  }
};

TEST_F(SetupApiTest, PresentInterfacesOfEachClassAreTheDriversInRegistrationOrderWithWin32Paths) {
  for (const GUID* cls : {&KSCATEGORY_AUDIO, &KSCATEGORY_RENDER, &KSCATEGORY_CAPTURE}) {
    HDEVINFO set = SetupDiGetClassDevsW(cls, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    std::vector<std::u16string> expected;
    for (const platform::DeviceInterface& i : platform::GetDeviceInterfaces(*cls))
      expected.push_back(u"\\\\?\\" + i.symbolicLink.substr(4));
    const std::vector<std::u16string> paths = Paths(set, *cls);
    EXPECT_EQ(paths, expected);
    // The class's link of the "Wave" filter (each class has its own link).
    bool wave = false;
    for (const std::u16string& p : paths)
      wave = wave || (p.size() > 5 && platform::EqualNoCase(p.substr(p.size() - 5), u"\\Wave"));
    EXPECT_TRUE(wave) << "no Wave filter in the class";
    if (cls == &KSCATEGORY_AUDIO) {
      EXPECT_NE(std::find(paths.begin(), paths.end(), userPath_), paths.end());
    }
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  }
  // The set is a snapshot: a set made after the device left is empty, one
  // made before still lists the interfaces but the device has no properties.
  HDEVINFO before = AudioSet();
  machine_->Shutdown();
  HDEVINFO after = AudioSet();
  ASSERT_NE(after, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Paths(after, KSCATEGORY_AUDIO).empty());
  SP_DEVICE_INTERFACE_DATA data{};
  SP_DEVINFO_DATA device{};
  First(before, &data, &device);
  BYTE buffer[512];
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(before, &device, SPDRP_HARDWAREID, NULL, buffer, sizeof buffer, NULL));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  WCHAR id[201];
  EXPECT_EQ(CM_Get_Device_IDW(device.DevInst, id, 201, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(before));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(after));
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(after));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SetupApiTest, DetailTakesOnlyTheX64HeaderSizeAndReportsTheSizeItNeeds) {
  HDEVINFO set = AudioSet();
  SP_DEVICE_INTERFACE_DATA data{};
  SP_DEVINFO_DATA device{};
  ASSERT_NO_FATAL_FAILURE(First(set, &data, &device));
  DWORD needed = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, NULL, 0, &needed, NULL));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_GT(needed, 8u);
  alignas(8) BYTE buffer[1024];
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer);
  // The header size, not the buffer's: 6 (the 32-bit value) and the buffer
  // size are both refused.
  for (DWORD wrong : {DWORD{6}, DWORD{4}, needed}) {
    detail->cbSize = wrong;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, NULL, NULL)) << wrong;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER)) << wrong;
  }
  detail->cbSize = 8;
  DWORD reported = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed - 1, &reported, NULL));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(reported, needed);
  memset(buffer + 4, 0xCC, sizeof buffer - 4);
  SP_DEVINFO_DATA filled{};
  filled.cbSize = sizeof filled;
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, NULL, &filled));
  const std::u16string path = Text(detail->DevicePath);
  EXPECT_EQ(4 + (path.size() + 1) * sizeof(WCHAR), needed);  // header offset + path + terminator
  EXPECT_EQ(path.substr(0, 4), u"\\\\?\\");
  EXPECT_EQ(filled.DevInst, device.DevInst);
  EXPECT_NE(filled.DevInst, 0u);
  // A device record must be of the structure's size.
  filled.cbSize = sizeof filled + 4;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, NULL, &filled));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  SP_DEVICE_INTERFACE_DATA badData{};
  badData.cbSize = sizeof badData - 4;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, NULL, &KSCATEGORY_AUDIO, 0, &badData));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SetupApiTest, HardwareIdsDescriptionAndInstanceIdAreTheDevicesWithTheSizeQueryProtocol) {
  const platform::PhysicalDeviceInfo info = DeviceInDatabase();
  HDEVINFO set = AudioSet();
  SP_DEVICE_INTERFACE_DATA data{};
  SP_DEVINFO_DATA device{};
  ASSERT_NO_FATAL_FAILURE(First(set, &data, &device));

  DWORD type = 0, needed = 0;
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, &type, NULL, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_GT(needed, 4u);
  std::vector<BYTE> ids(needed);
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, &type, ids.data(), needed - 2, NULL));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, &type, ids.data(), needed, NULL));
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  // Strings one after the other, each terminated, and one more terminator.
  const auto* w = reinterpret_cast<const WCHAR*>(ids.data());
  const size_t chars = needed / sizeof(WCHAR);
  ASSERT_GE(chars, 2u);
  EXPECT_EQ(w[chars - 1], 0);
  EXPECT_EQ(w[chars - 2], 0);
  std::vector<std::u16string> strings;
  for (size_t at = 0; at < chars && w[at]; at += strings.back().size() + 1) strings.push_back(Text(w + at));
  EXPECT_EQ(strings, info.hardwareIds);
  EXPECT_NE(std::find(strings.begin(), strings.end(), u"USB\\VID_1FA7&PID_4D02&MI_00"), strings.end());

  needed = 0;
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_DEVICEDESC, &type, NULL, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  std::vector<BYTE> description(needed);
  ASSERT_TRUE(
      SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_DEVICEDESC, &type, description.data(), needed, NULL));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(Text(reinterpret_cast<const WCHAR*>(description.data())), info.description);
  EXPECT_EQ(needed, (info.description.size() + 1) * sizeof(WCHAR));
  BYTE unused[64];
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_FRIENDLYNAME, &type, unused, sizeof unused, NULL));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));

  // The device instance path, in characters with the terminator.
  const std::u16string path = platform::DeviceInstancePath(info);
  EXPECT_EQ(path.substr(0, 28), u"USB\\VID_1FA7&PID_4D02&MI_00\\");
  WCHAR id[201];
  DWORD required = 0;
  EXPECT_FALSE(SetupDiGetDeviceInstanceIdW(set, &device, id, static_cast<DWORD>(path.size()), &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, path.size() + 1);
  ASSERT_TRUE(SetupDiGetDeviceInstanceIdW(set, &device, id, 201, &required));
  EXPECT_EQ(Text(id), path);

  // cfgmgr32 resolves the node handle the record carries; a buffer without
  // room for the terminator gets the id unterminated.
  ULONG length = 0;
  ASSERT_EQ(CM_Get_Device_ID_Size(&length, device.DevInst, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(length, path.size());
  std::vector<WCHAR> cm(path.size() + 1, 0x7777);
  EXPECT_EQ(CM_Get_Device_IDW(device.DevInst, cm.data(), length - 1, 0), static_cast<CONFIGRET>(CR_BUFFER_SMALL));
  EXPECT_EQ(cm[length - 1], 0x7777);
  ASSERT_EQ(CM_Get_Device_IDW(device.DevInst, cm.data(), length + 1, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(Text(cm.data()), path);
  EXPECT_EQ(CM_Get_Device_IDW(device.DevInst + 1000, cm.data(), length + 1, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));

  // A record of another set is refused.
  SP_DEVINFO_DATA foreign = device;
  foreign.Reserved = 99;
  EXPECT_FALSE(SetupDiGetDeviceInstanceIdW(set, &foreign, id, 201, NULL));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SetupApiTest, SetsOtherThanPresentInterfacesOfOneClassAreRefused) {
  EXPECT_EQ(SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, NULL, NULL, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  EXPECT_EQ(SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE | DIGCF_ALLCLASSES),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  EXPECT_EQ(SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // The device instance id as the enumerator narrows the set to that device.
  const std::vector<WCHAR> other = win32test::Wide(u"USB\\VID_0000&PID_0000\\1");
  HDEVINFO none = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, other.data(), NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(none, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(none, NULL, &KSCATEGORY_AUDIO, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(none));
}

}  // namespace

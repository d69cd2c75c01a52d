// Fixtures of the kernel-streaming client library tests: a client process
// for the Win32 calls, and optionally the kernel driver on a simulated
// machine with one device of a given profile. Every request the library
// sends reaches the driver through CreateFileW / DeviceIoControl /
// KsCreatePin, as on Windows.
#pragma once

#include <wdm.h>

#include "kslib/user_prelude.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kslib/ks_alloc.h"
#include "kslib/ks_create_pin.h"
#include "platform/kernel/client_process.h"
#include "platform/kernel/device_interfaces.h"
#include "platform/win32/device_io_host.h"
#include "platform/win32/system_host.h"
#include "sim/clients/simulated_machine.h"
#include "sim/uac/audio_function_layout.h"
#include "sim/usb/hub_port.h"
#include "sim/usb/sim_usb_device.h"
#include "sim/profiles/device_profile.h"
#include "tests/support/verifier_test.h"

namespace kslibtest {

inline std::vector<WCHAR> Wide(const std::u16string& s) {
  std::vector<WCHAR> w(s.begin(), s.end());
  w.push_back(0);
  return w;
}

inline std::u16string Text(const WCHAR* s) { return platform::ToU16(s); }

inline std::string Utf8(const std::u16string& s) { return std::string(s.begin(), s.end()); }

inline WAVEFORMATEX Pcm(WORD channels, WORD bits, DWORD rate) {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = bits;
  f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  return f;
}

inline WAVEFORMATEXTENSIBLE Extensible(WORD channels, WORD bits, DWORD rate, const GUID& subFormat) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format = Pcm(channels, bits, rate);
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.cbSize = 22;
  f.Samples.wValidBitsPerSample = bits;
  f.dwChannelMask = 3;
  f.SubFormat = subFormat;
  return f;
}

// A client process around the test body; no device.
class ClientTest : public VerifiedTest {
 protected:
  void SetUp() override {
    VerifiedTest::SetUp();
    platform::win32::ResetSystemStandIns();
    kslib::testing::ForgetKsCreatePin();
    kslib::testing::FailNthAllocation(0);
    process_ = platform::CreateClientProcess("kslib test");
    scope_ = std::make_unique<platform::ProcessScope>(process_);
  }

  void TearDown() override {
    kslib::testing::FailNthAllocation(0);
    LeaveProcess();
    kslib::testing::ForgetKsCreatePin();
    platform::win32::ResetSystemStandIns();
    VerifiedTest::TearDown();
  }

  // Ends the client process (its handles close).
  void LeaveProcess() {
    scope_.reset();
    if (process_ != nullptr) platform::EndClientProcess(process_);
    process_ = nullptr;
  }

  platform::ClientProcess* process_ = nullptr;
  std::unique_ptr<platform::ProcessScope> scope_;
};

// The driver on a simulated machine with one device, and a client process.
class MachineTest : public ClientTest {
 protected:
  void SetUp() override { ClientTest::SetUp(); }

  void TearDown() override {
    for (int id : filters_) platform::win32::RemoveKsReplyFilter(id);
    filters_.clear();
    LeaveProcess();
    // Devices beside a machine's own go first, while its driver is loaded.
    while (!extra_.empty()) {
      ExtraDevice& e = *extra_.back();
      if (platform::PnpManager::FunctionalDevice(e.hub->Pdo()) != nullptr) e.pnp->RemoveDevice(e.hub->Pdo());
      extra_.pop_back();
    }
    for (auto& m : machines_) m->Shutdown();
    machines_.clear();
    ClientTest::TearDown();
  }

  // Plugs in a device of the profile and starts the driver for it;
  // `beforeStart` may change what the bus reports about the device.
  sim::SimulatedMachine* Plug(const char* profileName,
                              const std::function<void(platform::PhysicalDeviceInfo&)>& beforeStart = nullptr) {
    sim::DeviceProfile profile;
    EXPECT_TRUE(sim::MakeProfile(profileName, profile)) << profileName;
    machines_.push_back(std::make_unique<sim::SimulatedMachine>(profile.descriptors, profile.audio));
    sim::SimulatedMachine* machine = machines_.back().get();
    if (beforeStart) ChangeDeviceInfo(machine, beforeStart);
    EXPECT_EQ(machine->Start(), STATUS_SUCCESS) << profileName;
    return machine;
  }

  // Another device of the profile on the first machine's bus, served by
  // its driver (one driver, several devices, as plug and play does it).
  PDEVICE_OBJECT PlugAnother(const char* profileName,
                             const std::function<void(platform::PhysicalDeviceInfo&)>& beforeStart = nullptr) {
    sim::DeviceProfile profile;
    EXPECT_TRUE(sim::MakeProfile(profileName, profile)) << profileName;
    if (machines_.empty()) return nullptr;
    auto e = std::make_unique<ExtraDevice>();
    e->pnp = &machines_.front()->Pnp();
    e->model = std::make_unique<sim::AudioFunctionModel>(profile.descriptors, profile.audio);
    e->device = std::make_unique<sim::SimUsbDevice>(profile.descriptors, e->model.get());
    const std::vector<uint8_t>& d = profile.descriptors.device;
    auto word = [&d](size_t at) { return d.size() >= at + 2 ? static_cast<uint16_t>(d[at] | (d[at + 1] << 8)) : 0; };
    const sim::AudioFunctionLayout layout = sim::ReadAudioFunctionLayout(profile.descriptors.configuration);
    e->hub = std::make_unique<sim::HubPort>(e->device->Pdo(), word(8), word(10), word(12),
                                            layout.hasAudioControl ? layout.acInterface : 0);
    PDEVICE_OBJECT pdo = e->hub->Pdo();
    if (beforeStart) {
      platform::PhysicalDeviceInfo info;
      EXPECT_TRUE(platform::GetPhysicalDeviceInfo(pdo, &info));
      beforeStart(info);
      platform::RegisterPhysicalDevice(pdo, info);
    }
    EXPECT_EQ(e->pnp->AddDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(e->pnp->StartDevice(pdo), STATUS_SUCCESS);
    extra_.push_back(std::move(e));
    return pdo;
  }

  // The "Wave" filter path of a device as a Win32 client names it.
  static std::u16string UserPathOf(PDEVICE_OBJECT pdo) {
    for (const platform::DeviceInterface& i : platform::GetDeviceInterfaces(kCategoryAudioGuid())) {
      if (i.pdo == pdo && platform::EqualNoCase(i.referenceString, u"Wave")) return u"\\\\?\\" + i.symbolicLink.substr(4);
    }
    return std::u16string();
  }

  static platform::PhysicalDeviceInfo DeviceInfoOf(PDEVICE_OBJECT pdo) {
    platform::PhysicalDeviceInfo info;
    EXPECT_TRUE(platform::GetPhysicalDeviceInfo(pdo, &info));
    return info;
  }

  // Changes what the bus reports about a machine's device.
  static void ChangeDeviceInfo(sim::SimulatedMachine* machine,
                               const std::function<void(platform::PhysicalDeviceInfo&)>& change) {
    platform::PhysicalDeviceInfo info;
    ASSERT_TRUE(platform::GetPhysicalDeviceInfo(machine->Pdo(), &info));
    change(info);
    platform::RegisterPhysicalDevice(machine->Pdo(), info);
  }

  static platform::PhysicalDeviceInfo DeviceInfo(sim::SimulatedMachine* machine) {
    platform::PhysicalDeviceInfo info;
    EXPECT_TRUE(platform::GetPhysicalDeviceInfo(machine->Pdo(), &info));
    return info;
  }

  // The "Wave" filter path of a machine as a Win32 client names it.
  static std::u16string UserPath(sim::SimulatedMachine* machine) {
    const std::u16string kernelPath = machine->WaveFilterPath();
    if (kernelPath.size() < 4) return std::u16string();
    return u"\\\\?\\" + kernelPath.substr(4);
  }

  void FilterReplies(const std::u16string& path, platform::win32::KsReplyFilter filter) {
    filters_.push_back(platform::win32::InstallKsReplyFilter(path, std::move(filter)));
  }

  struct ExtraDevice {
    platform::PnpManager* pnp = nullptr;
    std::unique_ptr<sim::AudioFunctionModel> model;
    std::unique_ptr<sim::SimUsbDevice> device;
    std::unique_ptr<sim::HubPort> hub;
  };
  static const GUID& kCategoryAudioGuid() {
    static const GUID audio = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
    return audio;
  }

  std::vector<std::unique_ptr<sim::SimulatedMachine>> machines_;
  std::vector<std::unique_ptr<ExtraDevice>> extra_;
  std::vector<int> filters_;
};

}  // namespace kslibtest

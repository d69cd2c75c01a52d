// Fixtures of the kernel-streaming client library tests: a client process
// for the Win32 calls, and optionally the kernel driver on a simulated
// machine with one device of a given profile. Every request the library
// sends reaches the driver through CreateFileW / DeviceIoControl /
// KsCreatePin, as on Windows.
#pragma once

#include <wdm.h>

#include "kslib/user_prelude.h"

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
    for (auto& m : machines_) m->Shutdown();
    machines_.clear();
    ClientTest::TearDown();
  }

  // Plugs in a device of the profile and starts the driver for it.
  sim::SimulatedMachine* Plug(const char* profileName) {
    sim::DeviceProfile profile;
    EXPECT_TRUE(sim::MakeProfile(profileName, profile)) << profileName;
    machines_.push_back(std::make_unique<sim::SimulatedMachine>(profile.descriptors, profile.audio));
    EXPECT_EQ(machines_.back()->Start(), STATUS_SUCCESS) << profileName;
    return machines_.back().get();
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

  std::vector<std::unique_ptr<sim::SimulatedMachine>> machines_;
  std::vector<int> filters_;
};

}  // namespace kslibtest

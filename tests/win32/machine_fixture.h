// The driver on the simulated machine (profile "default") and a client
// process for the Win32 calls of a test, with the kernel-streaming requests
// the tests send through DeviceIoControl.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

#include <windows.h>
#include <setupapi.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/client_process.h"
#include "platform/kernel/device_interfaces.h"
#include "platform/kernel/io_manager.h"
#include "sim/clients/ks_client.h"
#include "sim/clients/simulated_machine.h"
#include "sim/profiles/device_profile.h"
#include "platform/kernel/verifier.h"
#include "tests/support/verifier_test.h"

namespace win32test {

inline std::u16string Text(const WCHAR* s) { return platform::ToU16(s); }
inline std::vector<WCHAR> Wide(const std::u16string& s) {
  std::vector<WCHAR> w(s.begin(), s.end());
  w.push_back(0);
  return w;
}

inline KSP_PIN PinRequest(ULONG property, ULONG pinId) {
  KSP_PIN r{};
  r.Property.Set = KSPROPSETID_Pin;
  r.Property.Id = property;
  r.Property.Flags = KSPROPERTY_TYPE_GET;
  r.PinId = pinId;
  return r;
}

inline KSPROPERTY StateRequest(ULONG flags) {
  KSPROPERTY r{};
  r.Set = KSPROPSETID_Connection;
  r.Id = KSPROPERTY_CONNECTION_STATE;
  r.Flags = flags;
  return r;
}

// A KSPIN_CONNECT for the pin followed by a 2 ch / 24 bit / 48000 Hz format.
inline std::vector<uint8_t> ConnectBuffer(ULONG pinId) {
  const std::vector<uint8_t> format = sim::KsFilter::PcmFormat(2, 24, 48000);
  std::vector<uint8_t> connect(sizeof(KSPIN_CONNECT) + format.size());
  KSPIN_CONNECT header{};
  header.Interface.Set = KSINTERFACESETID_Standard;
  header.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
  header.Medium.Set = KSMEDIUMSETID_Standard;
  header.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
  header.PinId = pinId;
  header.Priority.PriorityClass = KSPRIORITY_NORMAL;
  header.Priority.PrioritySubClass = 1;
  std::memcpy(connect.data(), &header, sizeof header);
  std::memcpy(connect.data() + sizeof header, format.data(), format.size());
  return connect;
}

class MachineTest : public VerifiedTest {
 protected:
  void SetUp() override {
    VerifiedTest::SetUp();
    sim::DeviceProfile profile;
    ASSERT_TRUE(sim::MakeProfile("default", profile));
    machine_ = std::make_unique<sim::SimulatedMachine>(profile.descriptors, profile.audio);
    ASSERT_EQ(machine_->Start(), STATUS_SUCCESS);
    wavePath_ = machine_->WaveFilterPath();
    ASSERT_FALSE(wavePath_.empty());
    userPath_ = u"\\\\?\\" + wavePath_.substr(4);  // "\??\x" as a Win32 client names it
    process_ = platform::CreateClientProcess("win32 test");
    scope_ = std::make_unique<platform::ProcessScope>(process_);
  }

  void TearDown() override {
    LeaveProcess();
    if (machine_) machine_->Shutdown();
    machine_.reset();
    // No kernel reference left on the client's events (the overlapped
    // requests' references), no thread, MDL, pool block or IRP.
    platform::VerifyNoLeaks("win32 machine test");
    VerifiedTest::TearDown();
  }

  // Ends the client process (its handles close) before the machine goes.
  void LeaveProcess() {
    scope_.reset();
    if (process_) platform::EndClientProcess(process_);
    process_ = nullptr;
  }

  HANDLE OpenWave(bool overlapped) {
    const std::vector<WCHAR> path = Wide(userPath_);
    return CreateFileW(path.data(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | (overlapped ? FILE_FLAG_OVERLAPPED : 0), NULL);
  }

  // A pin property of the filter through a synchronous DeviceIoControl.
  ULONG PinValue(HANDLE filter, ULONG property, ULONG pinId) {
    KSP_PIN request = PinRequest(property, pinId);
    ULONG value = 0xDEADBEEF;
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof request, &value, sizeof value, &bytes, NULL));
    return value;
  }

  // The first pin of the filter with this data flow and sink communication.
  ULONG SinkPin(HANDLE filter, KSPIN_DATAFLOW flow) {
    const ULONG count = PinValue(filter, KSPROPERTY_PIN_CTYPES, 0);
    for (ULONG id = 0; id < count; ++id) {
      if (PinValue(filter, KSPROPERTY_PIN_DATAFLOW, id) == static_cast<ULONG>(flow) &&
          PinValue(filter, KSPROPERTY_PIN_COMMUNICATION, id) == KSPIN_COMMUNICATION_SINK)
        return id;
    }
    ADD_FAILURE() << "no sink pin with data flow " << flow;
    return 0;
  }

  std::unique_ptr<sim::SimulatedMachine> machine_;
  std::u16string wavePath_;  // kernel form
  std::u16string userPath_;  // "\\?\" form
  platform::ClientProcess* process_ = nullptr;
  std::unique_ptr<platform::ProcessScope> scope_;
};

}  // namespace win32test

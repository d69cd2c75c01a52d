// A Windows machine with several simulated USB audio devices, each on a
// hub port of its own with its own device instance id, and one copy of the
// driver package installed on all of them: plug and play loads the driver
// once and adds and starts each device in the order they were plugged in.
// The machine counts the filter opens (create IRPs without a parent file)
// each device's stack receives, so a test can tell which devices a client
// opened.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <wdm.h>

#include "platform/kernel/pnp_manager.h"
#include "sim/profiles/device_profile.h"
#include "sim/uac/audio_function_model.h"
#include "sim/uac/audio_streaming.h"
#include "sim/usb/hub_port.h"
#include "sim/usb/sim_usb_device.h"

namespace sim {

class MultiDeviceMachine {
 public:
  MultiDeviceMachine();
  ~MultiDeviceMachine();  // removes the devices and unloads the driver
  MultiDeviceMachine(const MultiDeviceMachine&) = delete;
  MultiDeviceMachine& operator=(const MultiDeviceMachine&) = delete;

  // Plugs a device into the next port (before Start); returns its index.
  size_t Attach(const DescriptorSet& descriptors, const AudioFunctionConfig& audio,
                const StreamingOptions& streaming = {});
  // Loads the driver (DriverEntry), then adds and starts every device in
  // attach order; a device that fails to start does not stop the others
  // (StartStatus). Returns DriverEntry's status.
  NTSTATUS Start();
  // Removes the devices (last plugged first) and unloads the driver; the
  // verifier then checks for leaks.
  void Shutdown();

  // The accessors below but FilterOpens are valid until Shutdown.
  size_t DeviceCount() const { return devices_.size(); }
  NTSTATUS StartStatus(size_t index) const { return devices_[index]->startStatus; }
  PDEVICE_OBJECT Pdo(size_t index) { return devices_[index]->hub->Pdo(); }
  AudioFunctionModel& Function(size_t index) { return *devices_[index]->function; }
  // "<device id>\<instance id>" as SetupAPI reports it.
  std::u16string InstancePath(size_t index) const;
  // The device path of the device's "Wave" filter, empty when none is registered.
  std::u16string WaveFilterPath(size_t index) const;
  // Filter opens the device's stack received since Start.
  unsigned FilterOpens(size_t index) const { return devices_[index]->filterOpens.load(); }

 private:
  struct Device {
    std::unique_ptr<AudioFunctionModel> function;
    std::unique_ptr<AudioStreaming> streaming;
    std::unique_ptr<SimUsbDevice> device;
    std::unique_ptr<HubPort> hub;
    NTSTATUS startStatus = STATUS_DEVICE_NOT_READY;
    PDEVICE_OBJECT functional = nullptr;
    std::atomic<unsigned> filterOpens{0};
  };

  static NTSTATUS NTAPI CountingCreate(PDEVICE_OBJECT device, PIRP irp);

  std::vector<std::unique_ptr<Device>> devices_;
  std::unique_ptr<platform::PnpManager> pnp_;
  PDRIVER_DISPATCH driverCreate_ = nullptr;
  bool loaded_ = false;
};

}  // namespace sim

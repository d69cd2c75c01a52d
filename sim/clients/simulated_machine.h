// A Windows machine with one simulated USB audio device plugged in: the
// audio function, its streaming side (device clock, FIFO, feedback, capture
// signal, everything it played), the device on its hub port, and the
// plug-and-play manager that loads the driver, adds, starts, powers and
// removes the device.
#pragma once

#include <memory>
#include <string>

#include <wdm.h>

#include "platform/kernel/pnp_manager.h"
#include "sim/profiles/device_profile.h"
#include "sim/uac/audio_function_model.h"
#include "sim/uac/audio_streaming.h"
#include "sim/usb/hub_port.h"
#include "sim/usb/sim_usb_device.h"

namespace sim {

class SimulatedMachine {
 public:
  SimulatedMachine(const DescriptorSet& descriptors, const AudioFunctionConfig& audio,
                   const StreamingOptions& streaming = {});
  ~SimulatedMachine();  // removes the device and unloads the driver
  SimulatedMachine(const SimulatedMachine&) = delete;
  SimulatedMachine& operator=(const SimulatedMachine&) = delete;

  // Loads the driver (DriverEntry), adds and starts the device.
  NTSTATUS Start();
  // Removes the device and unloads the driver; the verifier then checks for leaks.
  void Shutdown();

  PDEVICE_OBJECT Pdo() { return hub_->Pdo(); }
  AudioFunctionModel& Function() { return *function_; }
  AudioStreaming& Streaming() { return *streaming_; }
  SimUsbDevice& Device() { return *device_; }
  platform::PnpManager& Pnp() { return *pnp_; }
  // The device path of the "Wave" filter, empty when none is registered.
  std::u16string WaveFilterPath() const;

 private:
  std::unique_ptr<AudioFunctionModel> function_;
  std::unique_ptr<AudioStreaming> streaming_;
  std::unique_ptr<SimUsbDevice> device_;
  std::unique_ptr<HubPort> hub_;
  std::unique_ptr<platform::PnpManager> pnp_;
  bool loaded_ = false;
};

}  // namespace sim

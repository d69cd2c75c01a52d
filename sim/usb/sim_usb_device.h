// A simulated USB device on a simulated bus: its physical device object
// executes every URB the driver sends (IOCTL_INTERNAL_USB_SUBMIT_URB) and
// answers the USB bus interface query, as the Windows USB stack would.
#pragma once

#include <wdm.h>
#include <usb.h>
#include <usbioctl.h>
#include <usbbusif.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/usb/descriptor_set.h"
#include "sim/usb/endpoint_data.h"
#include "sim/usb/frame_clock.h"
#include "sim/usb/iso_scheduler.h"

namespace sim {

struct SetupPacket {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
  bool IsIn() const { return (bmRequestType & 0x80) != 0; }
};

// The device's function behind the default pipe: class and vendor requests.
class UsbFunction {
 public:
  virtual ~UsbFunction() = default;
  // IN: fill up to setup.wLength bytes of data and set transferred.
  // OUT: data holds setup.wLength bytes. Return false to stall.
  virtual bool HandleControl(const SetupPacket& setup, uint8_t* data, uint32_t& transferred) = 0;
  virtual void OnAlternateSelected(uint8_t /*interfaceNumber*/, uint8_t /*alternate*/) {}
};

// How the PDO completes requests: inline, or later on the bus thread (the
// caller then sees STATUS_PENDING), or a deterministic mix of both.
enum class CompletionMode { Synchronous, Asynchronous, Mixed };

struct ControlLogEntry {
  SetupPacket setup;
  std::vector<uint8_t> data;  // OUT data, or the IN answer
  bool stalled = false;
};

// A test's hook in front of URB execution: return true to complete the URB
// with *irpStatus (and whatever the hook wrote into the URB) instead.
using UrbHook = std::function<bool(PURB urb, NTSTATUS* irpStatus)>;

class SimUsbDevice {
 public:
  explicit SimUsbDevice(DescriptorSet descriptors, UsbFunction* function = nullptr);
  ~SimUsbDevice();
  SimUsbDevice(const SimUsbDevice&) = delete;
  SimUsbDevice& operator=(const SimUsbDevice&) = delete;

  PDEVICE_OBJECT Pdo() { return &pdo_; }
  const DescriptorSet& Descriptors() const { return descriptors_; }
  void SetFunction(UsbFunction* function);
  void SetCompletionMode(CompletionMode mode) { mode_ = mode; }
  void SetUrbHook(UrbHook hook);

  // Observations for tests.
  std::vector<ControlLogEntry> ControlLog() const;
  void ClearControlLog();
  size_t UrbCount(uint16_t function) const;
  size_t AsyncCompletions() const { return asyncCompletions_.load(); }
  int BusInterfaceReferences() const { return busReferences_.load(); }
  bool IsConfigured() const;
  int CurrentAlternate(uint8_t interfaceNumber) const;  // -1 when unknown
  uint32_t CurrentFrame() const;
  // Waits until no request is queued for asynchronous completion.
  void Drain();

  // Data endpoints: the function that sends and receives their packets.
  void SetEndpointHandler(EndpointDataHandler* handler);
  const FrameClock& Clock() const { return *clock_; }
  TransferCounters DataTransferCounters() const { return scheduler_->Counters(); }
  size_t PendingDataTransfers() const { return scheduler_->Pending(); }
  // Blocks until the bus has served frame `frame` (64-bit) completely (its
  // packets went out, or were not accessed). Waiting for the clock alone is not enough on a loaded machine, where the bus thread
  // serves the frames it missed late.
  bool WaitForFrameServed(uint64_t frame, std::chrono::milliseconds timeout) {
    return scheduler_->WaitForServed((frame + 1) * clock_->UnitsPerFrame(), timeout);
  }

  // Isochronous scheduling strictness (start-frame lead, ASAP after a gap).
  void SetIsoPolicy(const IsoPolicy& policy) { scheduler_->SetPolicy(policy); }

  // Faults on data endpoints (by endpoint address); see IsoScheduler.
  // Stalling applies to bulk and interrupt endpoints only.
  void StallEndpoint(uint8_t endpoint);
  bool IsEndpointStalled(uint8_t endpoint) const { return scheduler_->IsStalled(endpoint); }
  void FailNextTransfers(uint8_t endpoint, uint32_t count) { scheduler_->FailNextTransfers(endpoint, count); }
  void FailNextPackets(uint8_t endpoint, uint32_t count, USBD_STATUS status) {
    scheduler_->FailNextPackets(endpoint, count, status);
  }
  void HoldTransfers(uint8_t endpoint, bool hold) { scheduler_->HoldTransfers(endpoint, hold); }
  // The next SELECT_CONFIGURATION or SELECT_INTERFACE fails as a bus out of
  // isochronous bandwidth fails it: URB USBD_STATUS_NO_BANDWIDTH, IRP
  // STATUS_UNSUCCESSFUL (the USB stack's status for USBD errors without an
  // NTSTATUS of their own; the URB status says why). Nothing changes on the
  // device and the old pipe handles stay valid.
  void FailNextSelection() { failNextSelection_.store(true); }
  void SetCompletionDelay(std::chrono::milliseconds delay) { scheduler_->SetCompletionDelay(delay); }
  // Surprise removal: pending transfers complete with STATUS_DEVICE_NOT_CONNECTED
  // / USBD_STATUS_DEVICE_GONE, and so does every URB from now on.
  void Unplug();
  bool IsUnplugged() const { return unplugged_.load(); }
  // The start of an unplug as a host controller sees it: until Unplug(),
  // every pending and new data transfer fails with transfer errors
  // (isochronous packets USBD_STATUS_XACT_ERROR, bulk and interrupt
  // USBD_STATUS_DEV_NOT_RESPONDING) and control requests time out
  // (USBD_STATUS_DEV_NOT_RESPONDING).
  void BeginUnplug();
  bool IsDying() const { return dying_.load(); }

 private:
  struct Pipe {
    uint8_t interfaceNumber;
    uint8_t endpointAddress;
    PipeConfig config;
    bool open = false;  // the endpoint exists in the interface's current alternate
    USBD_PIPE_HANDLE handle = nullptr;  // new at every selection
  };

  static NTSTATUS DispatchInternalIoctl(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
  static SimUsbDevice* FromDevice(PDEVICE_OBJECT device);

  NTSTATUS Submit(PIRP irp, PURB urb);
  // The verifier's checks of a request in its sender's context.
  void CheckRequest(PURB urb);
  bool TakeSelectionFailure(PURB urb);
  NTSTATUS Execute(PIRP irp, PURB urb);
  NTSTATUS DataTransfer(PIRP irp, PURB urb);
  void AbortInterfacePipes(int interfaceNumber);  // -1: every interface
  NTSTATUS GetDescriptor(PURB urb);
  NTSTATUS SelectConfiguration(PURB urb);
  NTSTATUS SelectInterface(PURB urb);
  NTSTATUS FillInterface(PUSBD_INTERFACE_INFORMATION info, ULONG room);
  NTSTATUS ClassOrVendor(PURB urb);
  NTSTATUS PipeRequest(PURB urb);
  NTSTATUS QueryInterface(PIO_STACK_LOCATION stack);
  void BusThread();
  void CompleteAtDispatch(PIRP irp, NTSTATUS status);
  const uint8_t* FindInterfaceDescriptor(uint8_t number, uint8_t alternate) const;

  static NTSTATUS Fail(PURB urb, USBD_STATUS usbdStatus, NTSTATUS status);

  // Bus interface entry points (BusContext = the device).
  static VOID USB_BUSIFFN BusReference(PVOID context);
  static VOID USB_BUSIFFN BusDereference(PVOID context);
  static VOID USB_BUSIFFN BusGetUsbdiVersion(PVOID context, PUSBD_VERSION_INFORMATION info, PULONG hcdCapabilities);
  static NTSTATUS USB_BUSIFFN BusQueryBusTime(PVOID context, PULONG currentFrame);
  static NTSTATUS USB_BUSIFFN BusSubmitIsoOutUrb(PVOID context, PURB urb);
  static NTSTATUS USB_BUSIFFN BusQueryBusInformation(PVOID context, ULONG level, PVOID buffer, PULONG bufferLength,
                                                    PULONG actualLength);
  static BOOLEAN USB_BUSIFFN BusIsDeviceHighSpeed(PVOID context);
  static NTSTATUS USB_BUSIFFN BusEnumLogEntry(PVOID context, ULONG driverTag, ULONG enumTag, ULONG p1, ULONG p2);
  static NTSTATUS USB_BUSIFFN BusQueryBusTimeEx(PVOID context, PULONG highSpeedFrameCounter);
  static NTSTATUS USB_BUSIFFN BusQueryControllerType(PVOID context, PULONG hcdiOptionFlags, PUSHORT pciVendorId,
                                                    PUSHORT pciDeviceId, PUCHAR pciClass, PUCHAR pciSubClass,
                                                    PUCHAR pciRevisionId, PUCHAR pciProgIf);

  DescriptorSet descriptors_;
  UsbFunction* function_;
  DRIVER_OBJECT driver_{};
  DEVICE_OBJECT pdo_{};
  std::atomic<CompletionMode> mode_{CompletionMode::Synchronous};
  std::atomic<uint32_t> mixCounter_{0};
  std::atomic<int> busReferences_{0};
  std::atomic<size_t> asyncCompletions_{0};
  std::atomic<bool> unplugged_{false};
  std::atomic<bool> dying_{false};
  std::atomic<bool> failNextSelection_{false};
  uintptr_t handleGeneration_ = 0;  // guarded by mutex_
  std::unique_ptr<FrameClock> clock_;
  std::unique_ptr<IsoScheduler> scheduler_;
  EndpointDataHandler* handler_ = nullptr;  // guarded by mutex_

  mutable std::mutex mutex_;
  UrbHook hook_;
  bool configured_ = false;
  std::map<uint8_t, uint8_t> alternates_;
  std::map<uint16_t, std::unique_ptr<Pipe>> pipes_;  // key: interface << 8 | endpoint
  std::vector<ControlLogEntry> controlLog_;
  std::map<uint16_t, size_t> urbCounts_;

  std::mutex queueMutex_;
  std::condition_variable queueChanged_;
  std::deque<PIRP> queue_;
  bool stopping_ = false;
  bool busy_ = false;
  std::thread busThread_;
};

}  // namespace sim

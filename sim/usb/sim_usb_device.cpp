#include "sim/usb/sim_usb_device.h"

#include <algorithm>
#include <cstring>

#include "platform/kernel/dispatch_time.h"
#include "platform/kernel/host_timing.h"
#include "platform/kernel/verifier.h"

namespace sim {

namespace {

constexpr uint8_t kDescriptorDevice = 1;
constexpr uint8_t kDescriptorConfiguration = 2;
constexpr uint8_t kDescriptorString = 3;
constexpr uint8_t kDescriptorInterface = 4;
constexpr uint8_t kDescriptorEndpoint = 5;

ULONG InterfaceInfoSize(ULONG pipes) {
  return (ULONG)FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) + pipes * (ULONG)sizeof(USBD_PIPE_INFORMATION);
}

USBD_PIPE_TYPE PipeTypeOf(uint8_t attributes) {
  switch (attributes & 0x03) {
    case 0: return UsbdPipeTypeControl;
    case 1: return UsbdPipeTypeIsochronous;
    case 2: return UsbdPipeTypeBulk;
    default: return UsbdPipeTypeInterrupt;
  }
}

}  // namespace

SimUsbDevice::SimUsbDevice(DescriptorSet descriptors, UsbFunction* function)
    : descriptors_(std::move(descriptors)), function_(function) {
  clock_ = std::make_unique<FrameClock>(descriptors_.highSpeed);
  scheduler_ = std::make_unique<IsoScheduler>(
      *clock_, [this](PIRP irp, NTSTATUS status) { CompleteAtDispatch(irp, status); });
  driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &SimUsbDevice::DispatchInternalIoctl;
  driver_.MajorFunction[IRP_MJ_PNP] = &SimUsbDevice::DispatchPnp;
  driver_.Type = IO_TYPE_DRIVER;
  driver_.Size = sizeof(driver_);
  pdo_.Type = IO_TYPE_DEVICE;
  pdo_.Size = sizeof(pdo_);
  pdo_.DriverObject = &driver_;
  pdo_.StackSize = 1;
  pdo_.DeviceExtension = this;
  busThread_ = std::thread([this] { BusThread(); });
}

SimUsbDevice::~SimUsbDevice() {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    stopping_ = true;
  }
  queueChanged_.notify_all();
  busThread_.join();
  scheduler_.reset();  // completes leftovers as cancelled
}

void SimUsbDevice::SetEndpointHandler(EndpointDataHandler* handler) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = handler;
  }
  scheduler_->SetHandler(handler);
}

void SimUsbDevice::StallEndpoint(uint8_t endpoint) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : pipes_) {
      // Isochronous endpoints have no handshake to stall with.
      if (entry.second->endpointAddress == endpoint && entry.second->config.type == UsbdPipeTypeIsochronous) return;
    }
  }
  scheduler_->Stall(endpoint);
}

void SimUsbDevice::BeginUnplug() {
  dying_.store(true);
  scheduler_->FailEverything(true);
}

void SimUsbDevice::Unplug() {
  unplugged_.store(true);
  scheduler_->AbortAll(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
}

void SimUsbDevice::AbortInterfacePipes(int interfaceNumber) {
  std::vector<const void*> keys;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : pipes_) {
      if (interfaceNumber < 0 || entry.second->interfaceNumber == interfaceNumber) keys.push_back(entry.second.get());
    }
  }
  for (const void* key : keys) scheduler_->Abort(key);
}

void SimUsbDevice::SetFunction(UsbFunction* function) {
  std::lock_guard<std::mutex> lock(mutex_);
  function_ = function;
}

void SimUsbDevice::SetUrbHook(UrbHook hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  hook_ = std::move(hook);
}

std::vector<ControlLogEntry> SimUsbDevice::ControlLog() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return controlLog_;
}

void SimUsbDevice::ClearControlLog() {
  std::lock_guard<std::mutex> lock(mutex_);
  controlLog_.clear();
}

size_t SimUsbDevice::UrbCount(uint16_t function) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = urbCounts_.find(function);
  return it == urbCounts_.end() ? 0 : it->second;
}

bool SimUsbDevice::IsConfigured() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return configured_;
}

int SimUsbDevice::CurrentAlternate(uint8_t interfaceNumber) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = alternates_.find(interfaceNumber);
  return it == alternates_.end() ? -1 : it->second;
}

uint32_t SimUsbDevice::CurrentFrame() const { return clock_->FrameNumber(); }

void SimUsbDevice::Drain() {
  std::unique_lock<std::mutex> lock(queueMutex_);
  queueChanged_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

SimUsbDevice* SimUsbDevice::FromDevice(PDEVICE_OBJECT device) {
  return static_cast<SimUsbDevice*>(device->DeviceExtension);
}

NTSTATUS SimUsbDevice::Fail(PURB urb, USBD_STATUS usbdStatus, NTSTATUS status) {
  urb->UrbHeader.Status = usbdStatus;
  return status;
}

// Dispatch ------------------------------------------------------------------------

NTSTATUS SimUsbDevice::DispatchInternalIoctl(PDEVICE_OBJECT device, PIRP irp) {
  SimUsbDevice* self = FromDevice(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB ||
      stack->Parameters.Others.Argument1 == nullptr) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return self->Submit(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
}

void SimUsbDevice::CheckRequest(PURB urb) {
  const USHORT function = urb->UrbHeader.Function;
  const char* name = nullptr;
  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: name = "SELECT_CONFIGURATION"; break;
    case URB_FUNCTION_SELECT_INTERFACE: name = "SELECT_INTERFACE"; break;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: name = "SYNC_RESET_PIPE_AND_CLEAR_STALL"; break;
    case URB_FUNCTION_SYNC_RESET_PIPE: name = "SYNC_RESET_PIPE"; break;
    case URB_FUNCTION_SYNC_CLEAR_STALL: name = "SYNC_CLEAR_STALL"; break;
    case URB_FUNCTION_ABORT_PIPE: name = "ABORT_PIPE"; break;
    default: return;
  }
  // The USB stack waits inside these requests: PASSIVE_LEVEL only.
  const KIRQL irql = KeGetCurrentIrql();
  if (irql > PASSIVE_LEVEL) {
    platform::BugCheck("USB_REQUEST_ABOVE_PASSIVE", "URB_FUNCTION_%s sent at IRQL %u; it must be sent at PASSIVE_LEVEL",
                       name, static_cast<unsigned>(irql));
  }
  if (function != URB_FUNCTION_SELECT_CONFIGURATION && function != URB_FUNCTION_SELECT_INTERFACE) return;
  // Selecting closes the pipes: the driver must have aborted its transfers
  // and seen them complete first.
  const bool all = function == URB_FUNCTION_SELECT_CONFIGURATION;
  if (!all && urb->UrbHeader.Length < FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface) +
                                            FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) {
    return;
  }
  const int number = all ? -1 : urb->UrbSelectInterface.Interface.InterfaceNumber;
  std::vector<std::pair<const Pipe*, uint8_t>> open;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : pipes_) {
      if (entry.second->open && (all || entry.second->interfaceNumber == number)) {
        open.emplace_back(entry.second.get(), entry.second->endpointAddress);
      }
    }
  }
  for (const auto& [pipe, endpoint] : open) {
    const size_t pending = scheduler_->PendingOn(pipe);
    if (pending != 0) {
      platform::BugCheck("USB_SELECT_WITH_PENDING_TRANSFERS",
                         "URB_FUNCTION_%s while endpoint 0x%02x still has %zu transfer(s) pending: abort the pipe "
                         "and wait for its transfers to complete first",
                         name, static_cast<unsigned>(endpoint), pending);
    }
  }
}

bool SimUsbDevice::TakeSelectionFailure(PURB urb) {
  const USHORT function = urb->UrbHeader.Function;
  if (function != URB_FUNCTION_SELECT_INTERFACE &&
      !(function == URB_FUNCTION_SELECT_CONFIGURATION && urb->UrbSelectConfiguration.ConfigurationDescriptor != nullptr)) {
    return false;
  }
  return failNextSelection_.exchange(false);
}

NTSTATUS SimUsbDevice::Submit(PIRP irp, PURB urb) {
  CheckRequest(urb);
  bool async = false;
  switch (mode_.load()) {
    case CompletionMode::Synchronous: async = false; break;
    case CompletionMode::Asynchronous: async = true; break;
    case CompletionMode::Mixed: {
      // Inline only while nothing submitted before waits for the bus thread:
      // the USB stack runs a caller's requests in the order it sent them (an
      // ASAP transfer overtaking an earlier one would reorder the audio).
      std::lock_guard<std::mutex> lock(queueMutex_);
      async = (mixCounter_.fetch_add(1) % 3) != 0 || !queue_.empty() || busy_;
      break;
    }
  }
  if (async) {
    IoMarkIrpPending(irp);
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      queue_.push_back(irp);
    }
    queueChanged_.notify_all();
    return STATUS_PENDING;
  }
  NTSTATUS status = Execute(irp, urb);
  if (status == STATUS_PENDING) return STATUS_PENDING;  // the bus completes it
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void SimUsbDevice::BusThread() {
  for (;;) {
    PIRP irp = nullptr;
    {
      std::unique_lock<std::mutex> lock(queueMutex_);
      queueChanged_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) {
        return;
      }
      irp = queue_.front();
      queue_.pop_front();
      busy_ = true;
    }
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    const NTSTATUS status = Execute(irp, urb);
    if (status != STATUS_PENDING) {
      platform::detail::InjectLatency();
      CompleteAtDispatch(irp, status);
    }
    asyncCompletions_.fetch_add(1);
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      busy_ = false;
    }
    queueChanged_.notify_all();
  }
}

void SimUsbDevice::CompleteAtDispatch(PIRP irp, NTSTATUS status) {
  // The USB stack completes from its DPC: completion routines run at DISPATCH_LEVEL.
  platform::detail::NoteDispatchSite(reinterpret_cast<const void*>(IoGetCurrentIrpStackLocation(irp)->CompletionRoutine),
                                     "completion");
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KeLowerIrql(old);
}

NTSTATUS SimUsbDevice::Execute(PIRP irp, PURB urb) {
  UrbHook hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    urbCounts_[urb->UrbHeader.Function]++;
    hook = hook_;
  }
  NTSTATUS hooked = STATUS_SUCCESS;
  if (hook && hook(urb, &hooked)) {
    return hooked;
  }
  if (unplugged_.load()) {
    return Fail(urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
  }
  if (TakeSelectionFailure(urb)) {
    return Fail(urb, USBD_STATUS_NO_BANDWIDTH, STATUS_UNSUCCESSFUL);
  }
  if (dying_.load() && urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER &&
      urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
      urb->UrbHeader.Function != URB_FUNCTION_ABORT_PIPE) {
    // Control transfers to a device going away time out.
    return Fail(urb, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL);
  }
  urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_ISOCH_TRANSFER:
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return DataTransfer(irp, urb);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return GetDescriptor(urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return SelectConfiguration(urb);
    case URB_FUNCTION_SELECT_INTERFACE:
      return SelectInterface(urb);
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
      return ClassOrVendor(urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
      return PipeRequest(urb);
    default:
      return Fail(urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
  }
}

// Standard requests ---------------------------------------------------------------------

NTSTATUS SimUsbDevice::GetDescriptor(PURB urb) {
  auto& request = urb->UrbControlDescriptorRequest;
  if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) ||
      (request.TransferBuffer == nullptr && request.TransferBufferLength != 0)) {
    return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  std::vector<uint8_t> answer;
  switch (request.DescriptorType) {
    case kDescriptorDevice:
      answer = descriptors_.device;
      break;
    case kDescriptorConfiguration:
      if (request.Index == 0) answer = descriptors_.configuration;
      break;
    case kDescriptorString:
      answer = descriptors_.StringDescriptor(request.Index);
      break;
    default:
      break;
  }
  if (answer.empty()) {
    request.TransferBufferLength = 0;
    return Fail(urb, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
  }
  const ULONG length = std::min<ULONG>(request.TransferBufferLength, static_cast<ULONG>(answer.size()));
  if (length != 0) std::memcpy(request.TransferBuffer, answer.data(), length);
  request.TransferBufferLength = length;
  return STATUS_SUCCESS;
}

const uint8_t* SimUsbDevice::FindInterfaceDescriptor(uint8_t number, uint8_t alternate) const {
  const std::vector<uint8_t>& config = descriptors_.configuration;
  size_t offset = 0;
  while (offset + 2 <= config.size()) {
    const uint8_t length = config[offset];
    if (length < 2 || offset + length > config.size()) break;
    if (config[offset + 1] == kDescriptorInterface && length >= 9 && config[offset + 2] == number &&
        config[offset + 3] == alternate) {
      return &config[offset];
    }
    offset += length;
  }
  return nullptr;
}

NTSTATUS SimUsbDevice::FillInterface(PUSBD_INTERFACE_INFORMATION info, ULONG room) {
  if (room < InterfaceInfoSize(0) || info->Length < InterfaceInfoSize(0) || info->Length > room) {
    return STATUS_INVALID_PARAMETER;
  }
  const uint8_t* descriptor = FindInterfaceDescriptor(info->InterfaceNumber, info->AlternateSetting);
  if (descriptor == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  const uint8_t endpoints = descriptor[4];
  if (info->Length < InterfaceInfoSize(endpoints)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  info->Class = descriptor[5];
  info->SubClass = descriptor[6];
  info->Protocol = descriptor[7];
  info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(static_cast<uintptr_t>(0x1000 + info->InterfaceNumber));
  info->NumberOfPipes = endpoints;

  // Endpoint descriptors follow the interface descriptor up to the next interface.
  const std::vector<uint8_t>& config = descriptors_.configuration;
  size_t offset = static_cast<size_t>(descriptor - config.data()) + descriptor[0];
  ULONG filled = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : pipes_) {
    if (entry.second->interfaceNumber == info->InterfaceNumber) entry.second->open = false;
  }
  while (filled < endpoints && offset + 2 <= config.size()) {
    const uint8_t length = config[offset];
    if (length < 2 || offset + length > config.size() || config[offset + 1] == kDescriptorInterface) break;
    if (config[offset + 1] == kDescriptorEndpoint && length >= 7) {
      USBD_PIPE_INFORMATION& pipe = info->Pipes[filled];
      const uint16_t maxPacket = static_cast<uint16_t>(config[offset + 4] | (config[offset + 5] << 8));
      const uint16_t transactions = static_cast<uint16_t>(((maxPacket >> 11) & 0x3) + 1);
      pipe.MaximumPacketSize = static_cast<USHORT>((maxPacket & 0x7FF) * (descriptors_.highSpeed ? transactions : 1));
      pipe.EndpointAddress = config[offset + 2];
      pipe.Interval = config[offset + 6];
      pipe.PipeType = PipeTypeOf(config[offset + 3]);
      const uint16_t key = static_cast<uint16_t>((info->InterfaceNumber << 8) | pipe.EndpointAddress);
      auto& slot = pipes_[key];
      if (!slot) slot.reset(new Pipe{info->InterfaceNumber, pipe.EndpointAddress, PipeConfig{}, false});
      // Every selection hands out new handles; the old ones are dead.
      slot->handle = reinterpret_cast<USBD_PIPE_HANDLE>((++handleGeneration_ << 16) | key);
      pipe.PipeHandle = slot->handle;
      slot->open = true;
      slot->config.endpoint = pipe.EndpointAddress;
      slot->config.type = pipe.PipeType;
      slot->config.maxPacket = pipe.MaximumPacketSize;
      // Periodic endpoints are served every 2^(bInterval-1) units (bInterval of
      // full-speed interrupt endpoints counts frames directly).
      const uint8_t interval = pipe.Interval == 0 ? 1 : pipe.Interval;
      if (pipe.PipeType == UsbdPipeTypeInterrupt && !descriptors_.highSpeed) {
        slot->config.unitsPerPacket = interval;
      } else if (pipe.PipeType == UsbdPipeTypeIsochronous || pipe.PipeType == UsbdPipeTypeInterrupt) {
        slot->config.unitsPerPacket = 1u << (std::min<uint8_t>(interval, 16) - 1);
      } else {
        slot->config.unitsPerPacket = 1;
      }
      if (pipe.MaximumTransferSize == 0) pipe.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      ++filled;
    }
    offset += length;
  }
  info->NumberOfPipes = filled;
  alternates_[info->InterfaceNumber] = info->AlternateSetting;
  return STATUS_SUCCESS;
}

NTSTATUS SimUsbDevice::SelectConfiguration(PURB urb) {
  auto& request = urb->UrbSelectConfiguration;
  if (urb->UrbHeader.Length < FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface)) {
    return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  AbortInterfacePipes(-1);
  if (request.ConfigurationDescriptor == nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    configured_ = false;
    alternates_.clear();
    for (auto& entry : pipes_) entry.second->open = false;
    return STATUS_SUCCESS;
  }
  uint8_t* position = reinterpret_cast<uint8_t*>(&request.Interface);
  uint8_t* end = reinterpret_cast<uint8_t*>(urb) + urb->UrbHeader.Length;
  while (position + InterfaceInfoSize(0) <= end) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
    if (info->Length == 0) break;
    NTSTATUS status = FillInterface(info, static_cast<ULONG>(end - position));
    if (!NT_SUCCESS(status)) {
      return Fail(urb, USBD_STATUS_INVALID_PARAMETER, status);
    }
    position += info->Length;
  }
  request.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(this);
  std::map<uint8_t, uint8_t> selected;
  EndpointDataHandler* handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    configured_ = true;
    selected = alternates_;
    handler = handler_;
  }
  if (handler != nullptr) {
    for (const auto& entry : selected) handler->OnAlternateSelected(entry.first, entry.second);
  }
  return STATUS_SUCCESS;
}

NTSTATUS SimUsbDevice::SelectInterface(PURB urb) {
  auto& request = urb->UrbSelectInterface;
  const ULONG headerBytes = FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface);
  if (urb->UrbHeader.Length < headerBytes + InterfaceInfoSize(0) ||
      request.ConfigurationHandle != reinterpret_cast<USBD_CONFIGURATION_HANDLE>(this) || !IsConfigured()) {
    return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  // The interface's pipes close: what is pending on them is cancelled.
  AbortInterfacePipes(request.Interface.InterfaceNumber);
  NTSTATUS status = FillInterface(&request.Interface, urb->UrbHeader.Length - headerBytes);
  if (!NT_SUCCESS(status)) {
    return Fail(urb, USBD_STATUS_INVALID_PARAMETER, status);
  }
  UsbFunction* function;
  EndpointDataHandler* handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    function = function_;
    handler = handler_;
  }
  if (function != nullptr) function->OnAlternateSelected(request.Interface.InterfaceNumber, request.Interface.AlternateSetting);
  if (handler != nullptr) handler->OnAlternateSelected(request.Interface.InterfaceNumber, request.Interface.AlternateSetting);
  return STATUS_SUCCESS;
}

NTSTATUS SimUsbDevice::PipeRequest(PURB urb) {
  if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) {
    return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  const Pipe* pipe = nullptr;
  uint8_t endpoint = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : pipes_) {
      if (entry.second->open && entry.second->handle == urb->UrbPipeRequest.PipeHandle) {
        pipe = entry.second.get();
        endpoint = pipe->endpointAddress;
      }
    }
  }
  if (pipe == nullptr) return Fail(urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
  // Outside the lock: cancelled transfers' completion routines may submit again.
  if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
    scheduler_->Abort(pipe);
  } else {
    scheduler_->Reset(pipe);
    if (urb->UrbHeader.Function != URB_FUNCTION_SYNC_RESET_PIPE) scheduler_->ClearStall(endpoint);
  }
  return STATUS_SUCCESS;
}

NTSTATUS SimUsbDevice::DataTransfer(PIRP irp, PURB urb) {
  if (urb->UrbHeader.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
    return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  // Both layouts start with the pipe handle.
  const USBD_PIPE_HANDLE handle = urb->UrbBulkOrInterruptTransfer.PipeHandle;
  const Pipe* pipe = nullptr;
  PipeConfig config;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : pipes_) {
      if (entry.second->open && entry.second->handle == handle) {
        pipe = entry.second.get();
        config = pipe->config;
      }
    }
  }
  if (pipe == nullptr) return Fail(urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
  return scheduler_->Submit(irp, urb, pipe, config);
}

// Class and vendor requests -------------------------------------------------------------

NTSTATUS SimUsbDevice::ClassOrVendor(PURB urb) {
  auto& request = urb->UrbControlVendorClassRequest;
  if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) ||
      (request.TransferBuffer == nullptr && request.TransferBufferLength != 0) ||
      request.TransferBufferLength > 0xFFFF) {
    return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  uint8_t type = 0;
  uint8_t recipient = 0;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_CLASS_DEVICE: type = 1; recipient = 0; break;
    case URB_FUNCTION_CLASS_INTERFACE: type = 1; recipient = 1; break;
    case URB_FUNCTION_CLASS_ENDPOINT: type = 1; recipient = 2; break;
    case URB_FUNCTION_CLASS_OTHER: type = 1; recipient = 3; break;
    case URB_FUNCTION_VENDOR_DEVICE: type = 2; recipient = 0; break;
    case URB_FUNCTION_VENDOR_INTERFACE: type = 2; recipient = 1; break;
    case URB_FUNCTION_VENDOR_ENDPOINT: type = 2; recipient = 2; break;
    default: type = 2; recipient = 3; break;
  }
  SetupPacket setup;
  const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  setup.bmRequestType = static_cast<uint8_t>((in ? 0x80 : 0x00) | (type << 5) | recipient);
  setup.bRequest = request.Request;
  setup.wValue = request.Value;
  setup.wIndex = request.Index;
  setup.wLength = static_cast<uint16_t>(request.TransferBufferLength);

  std::vector<uint8_t> data(setup.wLength);
  if (!in && setup.wLength != 0) std::memcpy(data.data(), request.TransferBuffer, setup.wLength);
  UsbFunction* function;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    function = function_;
  }
  uint32_t transferred = in ? 0 : setup.wLength;
  const bool handled = function != nullptr && function->HandleControl(setup, data.data(), transferred);
  if (transferred > setup.wLength) transferred = setup.wLength;

  ControlLogEntry entry;
  entry.setup = setup;
  entry.stalled = !handled;
  entry.data.assign(data.begin(), data.begin() + (handled ? transferred : (in ? 0 : setup.wLength)));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    controlLog_.push_back(entry);
  }
  if (!handled) {
    request.TransferBufferLength = 0;
    return Fail(urb, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
  }
  if (in && transferred != 0) std::memcpy(request.TransferBuffer, data.data(), transferred);
  request.TransferBufferLength = transferred;
  return STATUS_SUCCESS;
}

// Plug and play: the bus interface -----------------------------------------------------

NTSTATUS SimUsbDevice::DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  SimUsbDevice* self = FromDevice(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;  // a PDO leaves requests it does not handle as they are
  if (stack->MinorFunction == IRP_MN_QUERY_INTERFACE) {
    NTSTATUS answer = self->QueryInterface(stack);
    if (answer != STATUS_NOT_SUPPORTED || status == STATUS_NOT_SUPPORTED) status = answer;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS SimUsbDevice::QueryInterface(PIO_STACK_LOCATION stack) {
  const auto& query = stack->Parameters.QueryInterface;
  if (query.InterfaceType == nullptr || !IsEqualGUID(*query.InterfaceType, USB_BUS_INTERFACE_USBDI_GUID)) {
    return STATUS_NOT_SUPPORTED;
  }
  static const USHORT sizes[] = {sizeof(USB_BUS_INTERFACE_USBDI_V0), sizeof(USB_BUS_INTERFACE_USBDI_V1),
                                 sizeof(USB_BUS_INTERFACE_USBDI_V2), sizeof(USB_BUS_INTERFACE_USBDI_V3)};
  const USHORT version = query.Version;
  if (version > USB_BUSIF_USBDI_VERSION_3 || query.Interface == nullptr || query.Size < sizes[version]) {
    return STATUS_INVALID_PARAMETER;
  }
  USB_BUS_INTERFACE_USBDI_V3 full{};
  full.Size = sizes[version];
  full.Version = version;
  full.BusContext = this;
  full.InterfaceReference = &SimUsbDevice::BusReference;
  full.InterfaceDereference = &SimUsbDevice::BusDereference;
  full.GetUSBDIVersion = &SimUsbDevice::BusGetUsbdiVersion;
  full.QueryBusTime = &SimUsbDevice::BusQueryBusTime;
  full.SubmitIsoOutUrb = &SimUsbDevice::BusSubmitIsoOutUrb;
  full.QueryBusInformation = &SimUsbDevice::BusQueryBusInformation;
  full.IsDeviceHighSpeed = &SimUsbDevice::BusIsDeviceHighSpeed;
  full.EnumLogEntry = &SimUsbDevice::BusEnumLogEntry;
  full.QueryBusTimeEx = &SimUsbDevice::BusQueryBusTimeEx;
  full.QueryControllerType = &SimUsbDevice::BusQueryControllerType;
  std::memcpy(query.Interface, &full, sizes[version]);
  busReferences_.fetch_add(1);
  return STATUS_SUCCESS;
}

VOID USB_BUSIFFN SimUsbDevice::BusReference(PVOID context) {
  static_cast<SimUsbDevice*>(context)->busReferences_.fetch_add(1);
}

VOID USB_BUSIFFN SimUsbDevice::BusDereference(PVOID context) {
  static_cast<SimUsbDevice*>(context)->busReferences_.fetch_sub(1);
}

VOID USB_BUSIFFN SimUsbDevice::BusGetUsbdiVersion(PVOID, PUSBD_VERSION_INFORMATION info, PULONG hcdCapabilities) {
  if (info != nullptr) {
    info->USBDI_Version = 0x600;
    info->Supported_USB_Version = 0x200;
  }
  if (hcdCapabilities != nullptr) *hcdCapabilities = 0;
}

NTSTATUS USB_BUSIFFN SimUsbDevice::BusQueryBusTime(PVOID context, PULONG currentFrame) {
  if (currentFrame == nullptr) return STATUS_INVALID_PARAMETER;
  *currentFrame = static_cast<SimUsbDevice*>(context)->CurrentFrame();
  return STATUS_SUCCESS;
}

NTSTATUS USB_BUSIFFN SimUsbDevice::BusSubmitIsoOutUrb(PVOID, PURB) {
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS USB_BUSIFFN SimUsbDevice::BusQueryBusInformation(PVOID, ULONG, PVOID, PULONG, PULONG) {
  return STATUS_NOT_SUPPORTED;
}

BOOLEAN USB_BUSIFFN SimUsbDevice::BusIsDeviceHighSpeed(PVOID context) {
  return static_cast<SimUsbDevice*>(context)->descriptors_.highSpeed ? TRUE : FALSE;
}

NTSTATUS USB_BUSIFFN SimUsbDevice::BusEnumLogEntry(PVOID, ULONG, ULONG, ULONG, ULONG) {
  return STATUS_SUCCESS;
}

NTSTATUS USB_BUSIFFN SimUsbDevice::BusQueryBusTimeEx(PVOID context, PULONG highSpeedFrameCounter) {
  if (highSpeedFrameCounter == nullptr) return STATUS_INVALID_PARAMETER;
  *highSpeedFrameCounter = static_cast<SimUsbDevice*>(context)->clock_->MicroframeNumber();
  return STATUS_SUCCESS;
}

NTSTATUS USB_BUSIFFN SimUsbDevice::BusQueryControllerType(PVOID, PULONG hcdiOptionFlags, PUSHORT pciVendorId,
                                                         PUSHORT pciDeviceId, PUCHAR pciClass, PUCHAR pciSubClass,
                                                         PUCHAR pciRevisionId, PUCHAR pciProgIf) {
  if (hcdiOptionFlags) *hcdiOptionFlags = 0;
  if (pciVendorId) *pciVendorId = 0;
  if (pciDeviceId) *pciDeviceId = 0;
  if (pciClass) *pciClass = 0x0C;
  if (pciSubClass) *pciSubClass = 0x03;
  if (pciRevisionId) *pciRevisionId = 0;
  if (pciProgIf) *pciProgIf = 0x20;
  return STATUS_SUCCESS;
}

}  // namespace sim

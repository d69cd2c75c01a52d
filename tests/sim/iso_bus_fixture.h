// Test fixture for the simulated bus's data path: a device built from a
// profile with its audio model and streaming side, driven through hand-built
// URBs in IRPs, as the driver will.
#pragma once

#include <gtest/gtest.h>
#include <wdm.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <mutex>
#include <vector>

#include "sim/profiles/device_profile.h"
#include "sim/uac/audio_function_model.h"
#include "sim/uac/audio_streaming.h"
#include "sim/usb/sim_usb_device.h"
#include "tests/support/verifier_test.h"

namespace simtest {

constexpr std::chrono::milliseconds kTimeout{10000};

// One URB in one IRP, completed through a routine that keeps the IRP.
class UrbRequest {
 public:
  // Called on completion, at the completion's IRQL; return true to keep the
  // request out for another round (the callback has resubmitted it).
  using OnComplete = std::function<bool(UrbRequest&)>;

  explicit UrbRequest(size_t urbBytes) : storage_((urbBytes + 7) / 8) {}
  ~UrbRequest() {
    // A test that bailed out early must not free an IRP the bus still has.
    if (irp_ != nullptr && Wait()) IoFreeIrp(irp_);
  }
  PURB Urb() { return reinterpret_cast<PURB>(storage_.data()); }
  std::vector<uint8_t>& Buffer() { return buffer_; }

  void Send(PDEVICE_OBJECT target, OnComplete onComplete = nullptr) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = false;
    }
    onComplete_ = std::move(onComplete);
    if (irp_ == nullptr) {
      irp_ = IoAllocateIrp(target->StackSize, FALSE);
    } else {
      IoReuseIrp(irp_, STATUS_SUCCESS);
    }
    target_ = target;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp_);
    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    stack->Parameters.Others.Argument1 = Urb();
    IoSetCompletionRoutine(irp_, &UrbRequest::Completion, this, TRUE, TRUE, TRUE);
    IoCallDriver(target, irp_);
  }

  // Resubmits from inside the completion callback.
  void Resend() { Send(target_, onComplete_); }

  bool Wait(std::chrono::milliseconds timeout = kTimeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return done_; });
  }
  bool Done() {
    std::lock_guard<std::mutex> lock(mutex_);
    return done_;
  }
  NTSTATUS Status() const { return status_; }
  KIRQL CompletionIrql() const { return irql_; }
  uint32_t CompletionFrame() const { return frame_; }
  void SetFrameSource(std::function<uint32_t()> source) { frameSource_ = std::move(source); }

 private:
  static NTSTATUS Completion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* self = static_cast<UrbRequest*>(context);
    self->status_ = irp->IoStatus.Status;
    self->irql_ = KeGetCurrentIrql();
    if (self->frameSource_) self->frame_ = self->frameSource_();
    if (self->onComplete_ && self->onComplete_(*self)) return STATUS_MORE_PROCESSING_REQUIRED;
    // Notified under the lock: the waiter may destroy this object as soon
    // as it sees done_.
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->done_ = true;
    self->cv_.notify_all();
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  std::vector<uint64_t> storage_;
  std::vector<uint8_t> buffer_;
  PIRP irp_ = nullptr;
  PDEVICE_OBJECT target_ = nullptr;
  OnComplete onComplete_;
  std::function<uint32_t()> frameSource_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  NTSTATUS status_ = STATUS_PENDING;
  KIRQL irql_ = PASSIVE_LEVEL;
  uint32_t frame_ = 0;
};

inline size_t IsoUrbBytes(ULONG packets) {
  return FIELD_OFFSET(struct _URB_ISOCH_TRANSFER, IsoPacket) + packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
}

// Lays out an isochronous URB over the request's buffer: packet i at the sum
// of the earlier sizes.
inline void BuildIso(UrbRequest& r, USBD_PIPE_HANDLE pipe, ULONG flags, ULONG startFrame,
                     const std::vector<ULONG>& packetBytes) {
  const ULONG packets = static_cast<ULONG>(packetBytes.size());
  PURB urb = r.Urb();
  std::memset(urb, 0, IsoUrbBytes(packets));
  urb->UrbHeader.Length = static_cast<USHORT>(IsoUrbBytes(packets));
  urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
  auto& iso = urb->UrbIsochronousTransfer;
  iso.PipeHandle = pipe;
  iso.TransferFlags = flags;
  iso.StartFrame = startFrame;
  iso.NumberOfPackets = packets;
  ULONG offset = 0;
  for (ULONG i = 0; i < packets; ++i) {
    iso.IsoPacket[i].Offset = offset;
    iso.IsoPacket[i].Length = packetBytes[i];
    offset += packetBytes[i];
  }
  if (r.Buffer().size() < offset) r.Buffer().resize(offset);
  iso.TransferBuffer = r.Buffer().data();
  iso.TransferBufferLength = offset;
}

class IsoBusTest : public VerifiedTest {
 protected:
  void Start(const char* profileName, const std::function<void(sim::DeviceProfile&)>& edit = nullptr,
             sim::StreamingOptions options = {}) {
    ASSERT_TRUE(sim::MakeProfile(profileName, profile_));
    if (edit) edit(profile_);
    model_ = std::make_unique<sim::AudioFunctionModel>(profile_.descriptors, profile_.audio);
    streaming_ = std::make_unique<sim::AudioStreaming>(profile_.descriptors, *model_, options);
    device_ = std::make_unique<sim::SimUsbDevice>(profile_.descriptors, model_.get());
    device_->SetEndpointHandler(streaming_.get());
    Configure();
  }

  void TearDown() override {
    device_.reset();
    streaming_.reset();
    model_.reset();
    VerifiedTest::TearDown();
  }

  PDEVICE_OBJECT Pdo() { return device_->Pdo(); }

  NTSTATUS Call(UrbRequest& r) {
    r.Send(Pdo());
    EXPECT_TRUE(r.Wait()) << "URB never completed";
    return r.Status();
  }

  void Configure() {
    const std::vector<uint8_t>& config = profile_.descriptors.configuration;
    const ULONG interfaces = config[4];
    const ULONG header = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    UrbRequest r(header + interfaces * sizeof(USBD_INTERFACE_INFORMATION));
    PURB urb = r.Urb();
    std::memset(urb, 0, header + interfaces * sizeof(USBD_INTERFACE_INFORMATION));
    urb->UrbHeader.Length = static_cast<USHORT>(header + interfaces * sizeof(USBD_INTERFACE_INFORMATION));
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor =
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<uint8_t*>(config.data()));
    auto* position = reinterpret_cast<uint8_t*>(&urb->UrbSelectConfiguration.Interface);
    for (ULONG i = 0; i < interfaces; ++i) {
      auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position + i * sizeof(USBD_INTERFACE_INFORMATION));
      info->Length = sizeof(USBD_INTERFACE_INFORMATION);
      info->InterfaceNumber = static_cast<UCHAR>(i);
    }
    ASSERT_EQ(Call(r), STATUS_SUCCESS);
    configurationHandle_ = urb->UrbSelectConfiguration.ConfigurationHandle;
  }

  // Selects the alternate and returns its pipes.
  std::vector<USBD_PIPE_INFORMATION> SelectAlternate(uint8_t interfaceNumber, uint8_t alternate) {
    const ULONG bytes = GET_SELECT_INTERFACE_REQUEST_SIZE(4);
    UrbRequest r(bytes);
    PURB urb = r.Urb();
    std::memset(urb, 0, bytes);
    urb->UrbHeader.Length = static_cast<USHORT>(bytes);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->UrbSelectInterface.ConfigurationHandle = configurationHandle_;
    urb->UrbSelectInterface.Interface.Length =
        static_cast<USHORT>(bytes - FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface));
    urb->UrbSelectInterface.Interface.InterfaceNumber = interfaceNumber;
    urb->UrbSelectInterface.Interface.AlternateSetting = alternate;
    EXPECT_EQ(Call(r), STATUS_SUCCESS);
    const auto& info = urb->UrbSelectInterface.Interface;
    return std::vector<USBD_PIPE_INFORMATION>(info.Pipes, info.Pipes + info.NumberOfPipes);
  }

  static USBD_PIPE_HANDLE PipeOf(const std::vector<USBD_PIPE_INFORMATION>& pipes, uint8_t endpoint) {
    for (const auto& p : pipes)
      if (p.EndpointAddress == endpoint) return p.PipeHandle;
    ADD_FAILURE() << "no pipe for endpoint " << int(endpoint);
    return nullptr;
  }

  NTSTATUS PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe) {
    UrbRequest r(sizeof(struct _URB_PIPE_REQUEST));
    std::memset(r.Urb(), 0, sizeof(struct _URB_PIPE_REQUEST));
    r.Urb()->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    r.Urb()->UrbHeader.Function = function;
    r.Urb()->UrbPipeRequest.PipeHandle = pipe;
    return Call(r);
  }

  sim::DeviceProfile profile_;
  std::unique_ptr<sim::AudioFunctionModel> model_;
  std::unique_ptr<sim::AudioStreaming> streaming_;
  std::unique_ptr<sim::SimUsbDevice> device_;
  USBD_CONFIGURATION_HANDLE configurationHandle_ = nullptr;
};

// The default profile with its render interface on the streaming alternate:
// the data and feedback pipes a test sends on.
class DefaultRenderBusTest : public IsoBusTest {
 protected:
  static constexpr uint8_t kDefaultRenderInterface = 1;
  static constexpr uint8_t kDefaultRenderEndpoint = 0x01;
  static constexpr uint8_t kDefaultFeedbackEndpoint = 0x81;

  void SetUp() override {
    IsoBusTest::SetUp();
    Start("default");
    pipes_ = SelectAlternate(kDefaultRenderInterface, 1);
    out_ = PipeOf(pipes_, kDefaultRenderEndpoint);
    feedback_ = PipeOf(pipes_, kDefaultFeedbackEndpoint);
  }
  std::vector<USBD_PIPE_INFORMATION> pipes_;
  USBD_PIPE_HANDLE out_ = nullptr;
  USBD_PIPE_HANDLE feedback_ = nullptr;
};

}  // namespace simtest

// The USB access layer against the simulated bus: start-up reads and their
// length checks, configuration and alternate selection, control requests,
// pipes, and the asynchronous submission path with its IRP pool.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>

#include "driver/usb/iso_packing.h"
#include "platform/kernel/verifier.h"
#include "tests/driver/driver_fixture.h"

namespace drivertest {
namespace {

class UsbAccessTest : public DriverTest, public ::testing::WithParamInterface<sim::CompletionMode> {};

// Records class/vendor requests and answers IN requests with a pattern.
class RecordingFunction : public sim::UsbFunction {
 public:
  bool HandleControl(const sim::SetupPacket& setup, uint8_t* data, uint32_t& transferred) override {
    std::lock_guard<std::mutex> lock(mutex);
    requests.push_back(setup);
    if (setup.IsIn()) {
      for (uint32_t i = 0; i < setup.wLength; ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
      transferred = shortAnswer ? setup.wLength / 2 : setup.wLength;
    }
    return !stall;
  }
  std::mutex mutex;
  std::vector<sim::SetupPacket> requests;
  bool stall = false;
  bool shortAnswer = false;
};

TEST_P(UsbAccessTest, StartReadsDescriptorsAndConfigures) {
  ASSERT_EQ(Parse(ProfileSet("default"), GetParam()), STATUS_SUCCESS);
  EXPECT_TRUE(audio_->IsHighSpeed());
  const USHORT vendor = audio_->GetDeviceDescriptor().idVendor;  // packed: copy before binding
  const USHORT product = audio_->GetDeviceDescriptor().idProduct;
  EXPECT_EQ(vendor, 0x1FA7);
  EXPECT_EQ(product, 0x4D02);
  ASSERT_NE(audio_->GetConfigurationDescriptor(), nullptr);
  EXPECT_EQ(audio_->GetConfigurationLength(), device_->Descriptors().configuration.size());
  EXPECT_EQ(0, std::memcmp(audio_->GetConfigurationDescriptor(), device_->Descriptors().configuration.data(),
                           audio_->GetConfigurationLength()));
  ASSERT_NE(audio_->GetLanguageIds(), nullptr);
  EXPECT_EQ(audio_->GetLanguageIds()->bString[0], 0x0409);
  EXPECT_EQ(audio_->GetFreeIrpCount(), 10u);  // 0 means the default pool

  ASSERT_EQ(audio_->Configure(), STATUS_SUCCESS);
  EXPECT_TRUE(device_->IsConfigured());
  for (StreamingInterface* s = audio_->GetStreamingInterfaces(); s != nullptr; s = s->Next) {
    EXPECT_EQ(device_->CurrentAlternate(s->InterfaceNumber), 0);
    EXPECT_EQ(s->CurrentAlternate, 0u);
    EXPECT_EQ(s->DataPipe, nullptr);  // alternate 0 has no endpoints
  }
}

INSTANTIATE_TEST_SUITE_P(CompletionModes, UsbAccessTest,
                         ::testing::Values(sim::CompletionMode::Synchronous, sim::CompletionMode::Asynchronous,
                                           sim::CompletionMode::Mixed));

TEST_F(DriverTest, FullSpeedDeviceIsReportedAsSuch) {
  ASSERT_EQ(Parse(ProfileSet("uac1-fs")), STATUS_SUCCESS);
  EXPECT_FALSE(audio_->IsHighSpeed());
  EXPECT_FALSE(audio_->IsUac2());
}

TEST_F(DriverTest, DescriptorReadsOfTheWrongLengthFailTheStart) {
  sim::DescriptorSet shortDevice = ProfileSet("default");
  shortDevice.device.resize(17);
  EXPECT_EQ(Parse(shortDevice), STATUS_NOT_SUPPORTED);

  // wTotalLength promises more than the device sends.
  sim::DescriptorSet truncated = ProfileSet("default");
  truncated.configuration.resize(truncated.configuration.size() - 10);
  EXPECT_EQ(Parse(truncated), STATUS_NOT_SUPPORTED);

  // wTotalLength smaller than the descriptors: the last one crosses the end.
  sim::DescriptorSet shortTotal = ProfileSet("default");
  const uint16_t total = static_cast<uint16_t>(shortTotal.configuration.size() - 3);
  shortTotal.configuration[2] = static_cast<uint8_t>(total);
  shortTotal.configuration[3] = static_cast<uint8_t>(total >> 8);
  EXPECT_EQ(Parse(shortTotal), STATUS_NOT_SUPPORTED);

  // No language ids.
  sim::DescriptorSet noLanguages = ProfileSet("default");
  noLanguages.languageIds.clear();
  EXPECT_EQ(Parse(noLanguages), STATUS_NOT_SUPPORTED);
}

TEST_F(DriverTest, FailedBusInterfaceQueryEndsTheStart) {
  sim::DescriptorSet set = ProfileSet("default");
  device_ = std::make_unique<sim::SimUsbDevice>(set);
  // A bus driver that knows no USBDI interface: the query is left unhandled.
  device_->Pdo()->DriverObject->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  };
  audio_.reset(new (NonPagedPoolNx, POOLTAG_USB) CUSBAudioCL());
  EXPECT_EQ(audio_->Init(device_->Pdo(), 2), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(device_->UrbCount(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE), 0u);
}

TEST_F(DriverTest, ControlRequestsAreValidatedBeforeTheyReachTheDevice) {
  ASSERT_EQ(Parse(ProfileSet("default")), STATUS_SUCCESS);
  RecordingFunction function;
  device_->SetFunction(&function);
  device_->ClearControlLog();
  UCHAR data[8] = {};
  EXPECT_EQ(audio_->ControlRequest(0x80, 6, 0x0100, 0, 8, data), STATUS_INVALID_PARAMETER);  // standard
  EXPECT_EQ(audio_->ControlRequest(0xE1, 1, 0, 0, 8, data), STATUS_INVALID_PARAMETER);       // reserved type
  EXPECT_EQ(audio_->ControlRequest(0xA4, 1, 0, 0, 8, data), STATUS_INVALID_PARAMETER);       // recipient 4
  EXPECT_EQ(audio_->ControlRequest(0xA1, 1, 0, 0, 8, nullptr), STATUS_INVALID_PARAMETER);    // no buffer
  EXPECT_TRUE(function.requests.empty());
  EXPECT_TRUE(device_->ControlLog().empty());

  struct Expected {
    UCHAR type;
    USHORT function;
  } mapping[] = {{0xA0, URB_FUNCTION_CLASS_DEVICE},  {0x21, URB_FUNCTION_CLASS_INTERFACE},
                 {0xA2, URB_FUNCTION_CLASS_ENDPOINT}, {0x23, URB_FUNCTION_CLASS_OTHER},
                 {0xC0, URB_FUNCTION_VENDOR_DEVICE},  {0x41, URB_FUNCTION_VENDOR_INTERFACE},
                 {0xC2, URB_FUNCTION_VENDOR_ENDPOINT}, {0x43, URB_FUNCTION_VENDOR_OTHER}};
  for (const Expected& e : mapping) {
    const size_t before = device_->UrbCount(e.function);
    EXPECT_EQ(audio_->ControlRequest(e.type, 0x01, 0x0203, 0x0405, 4, data), STATUS_SUCCESS);
    EXPECT_EQ(device_->UrbCount(e.function), before + 1) << std::hex << int(e.type);
    const sim::SetupPacket& seen = function.requests.back();
    EXPECT_EQ(seen.bmRequestType, e.type);
    EXPECT_EQ(seen.wValue, 0x0203);
    EXPECT_EQ(seen.wIndex, 0x0405);
    EXPECT_EQ(seen.wLength, 4);
  }

  // What the device moved is reported, never more than asked.
  function.shortAnswer = true;
  ULONG transferred = 99;
  EXPECT_EQ(audio_->ControlRequest(0xA1, 0x02, 0, 0, 8, data, &transferred), STATUS_SUCCESS);
  EXPECT_EQ(transferred, 4u);
  EXPECT_EQ(data[0], 0xA0);

  function.stall = true;
  EXPECT_EQ(audio_->ControlRequest(0xA1, 0x01, 0, 0, 1, data, &transferred), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(transferred, 0u);
  device_->SetFunction(nullptr);
}

TEST_F(DriverTest, AlternateSelectionAndPipes) {
  ASSERT_EQ(Parse(ProfileSet("default")), STATUS_SUCCESS);
  ASSERT_EQ(audio_->Configure(), STATUS_SUCCESS);
  EXPECT_EQ(audio_->FindPipe(0x01), nullptr);
  EXPECT_EQ(audio_->SelectAlternate(9, 0), STATUS_INVALID_PARAMETER);   // no such interface
  EXPECT_EQ(audio_->SelectAlternate(1, 42), STATUS_INVALID_PARAMETER);  // no such alternate
  EXPECT_EQ(device_->UrbCount(URB_FUNCTION_SELECT_INTERFACE), 2u);     // only Configure's own

  ASSERT_EQ(audio_->SelectAlternate(1, 2), STATUS_SUCCESS);
  EXPECT_EQ(device_->CurrentAlternate(1), 2);
  PUSBD_PIPE_INFORMATION data = audio_->FindPipe(0x01);
  PUSBD_PIPE_INFORMATION feedback = audio_->FindPipe(0x81);
  ASSERT_NE(data, nullptr);
  ASSERT_NE(feedback, nullptr);
  EXPECT_EQ(data->PipeType, UsbdPipeTypeIsochronous);
  EXPECT_NE(data->PipeHandle, nullptr);
  EXPECT_EQ(audio_->ResetPipe(data), STATUS_SUCCESS);
  EXPECT_EQ(audio_->AbortPipe(feedback), STATUS_SUCCESS);
  EXPECT_EQ(device_->UrbCount(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL), 1u);
  EXPECT_EQ(device_->UrbCount(URB_FUNCTION_ABORT_PIPE), 1u);

  EXPECT_EQ(audio_->ResetPipe(nullptr), STATUS_INVALID_PARAMETER);
  USBD_PIPE_INFORMATION noHandle = *data;
  noHandle.PipeHandle = nullptr;
  EXPECT_EQ(audio_->ResetPipe(&noHandle), STATUS_INVALID_PARAMETER);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(audio_->ResetPipe(data), STATUS_UNSUCCESSFUL);
  KeLowerIrql(old);

  ASSERT_EQ(audio_->SelectAlternate(1, 0), STATUS_SUCCESS);
  EXPECT_EQ(audio_->FindPipe(0x01), nullptr);
  EXPECT_EQ(audio_->GetStringDescriptor(1, nullptr), STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(DriverTest, QuirkDevicesConfigureEveryInterface) {
  // The 20B1:0002 device is configured with all of its interfaces.
  ASSERT_EQ(Parse(ProfileSet("quirk-20b1-0002")), STATUS_SUCCESS);
  ASSERT_EQ(audio_->Configure(), STATUS_SUCCESS);
  const int interfaces = audio_->GetConfigurationDescriptor()->bNumInterfaces;
  EXPECT_EQ(audio_->GetInterfaceCount(), interfaces);
  EXPECT_EQ(device_->CurrentAlternate(static_cast<uint8_t>(interfaces - 1)), 0);

  // Other devices only with the audio interfaces.
  ASSERT_EQ(Parse(ProfileSet("default")), STATUS_SUCCESS);
  ASSERT_EQ(audio_->Configure(), STATUS_SUCCESS);
  EXPECT_EQ(audio_->GetInterfaceCount(), static_cast<LONG>(audio_->GetStreamingInterfaceCount() + 1));
}

// Asynchronous submission -------------------------------------------------------

struct Completions {
  std::mutex mutex;
  std::condition_variable changed;
  int done = 0;
  std::vector<ULONG> bytes;
  std::vector<NTSTATUS> statuses;

  static VOID Callback(NTSTATUS status, ULONG byteCount, PVOID context) {
    auto* self = static_cast<Completions*>(context);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->statuses.push_back(status);
    self->bytes.push_back(byteCount);
    ++self->done;
    self->changed.notify_all();
  }

  bool WaitFor(int count) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] { return done >= count; });
  }
};

PURB NewDescriptorUrb(PVOID buffer, ULONG length) {
  auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), POOLTAG_USB));
  RtlZeroMemory(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
  UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                               buffer, NULL, length, NULL);
  return urb;
}

TEST_F(DriverTest, AsynchronousSubmissionGrowsTheIrpPoolWhenEmpty) {
  ASSERT_EQ(Parse(ProfileSet("default"), sim::CompletionMode::Synchronous, 1), STATUS_SUCCESS);
  EXPECT_EQ(audio_->GetFreeIrpCount(), 1u);
  device_->SetCompletionMode(sim::CompletionMode::Asynchronous);
  // Hold the bus until all three are submitted, so none can hand its IRP back early.
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  device_->SetUrbHook([gate](PURB, NTSTATUS*) {
    gate.wait();
    return false;
  });

  Completions completions;
  UCHAR buffers[3][18] = {};
  for (int i = 0; i < 3; ++i) {
    USB_TRANSFER_CONTEXT* context = audio_->AllocateTransferContext();
    ASSERT_NE(context, nullptr);
    context->Callback = &Completions::Callback;
    context->UserContext = &completions;
    ASSERT_EQ(audio_->SubmitUrbAsync(NewDescriptorUrb(buffers[i], 18 - i), context), STATUS_SUCCESS);
  }
  EXPECT_EQ(audio_->GetFreeIrpCount(), 0u);
  release.set_value();
  ASSERT_TRUE(completions.WaitFor(3));
  device_->Drain();
  EXPECT_EQ(audio_->GetFreeIrpCount(), 3u);  // the two new IRPs joined the pool
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(completions.statuses[i], STATUS_SUCCESS);
    EXPECT_EQ(buffers[i][1], USB_DEVICE_DESCRIPTOR_TYPE);
  }
  std::sort(completions.bytes.begin(), completions.bytes.end());
  EXPECT_EQ(completions.bytes, (std::vector<ULONG>{16, 17, 18}));

  // A failing transfer reports zero bytes.
  device_->SetUrbHook([](PURB urb, NTSTATUS* status) {
    urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
    *status = STATUS_UNSUCCESSFUL;
    return true;
  });
  USB_TRANSFER_CONTEXT* context = audio_->AllocateTransferContext();
  context->Callback = &Completions::Callback;
  context->UserContext = &completions;
  UCHAR buffer[18];
  ASSERT_EQ(audio_->SubmitUrbAsync(NewDescriptorUrb(buffer, 18), context), STATUS_SUCCESS);
  ASSERT_TRUE(completions.WaitFor(4));
  device_->Drain();
  EXPECT_EQ(completions.statuses[3], STATUS_UNSUCCESSFUL);
  EXPECT_EQ(completions.bytes[3], 0u);
  EXPECT_EQ(audio_->GetFreeIrpCount(), 3u);
}

TEST_F(DriverTest, EveryAllocationFailureDuringStartIsCleanedUp) {
  const sim::DescriptorSet set = ProfileSet("default");
  const ULONG tags[] = {POOLTAG_USB, platform::PoolTag("USBD")};
  auto allocations = [&] {
    uint64_t total = 0;
    for (ULONG tag : tags) total += platform::TotalPoolAllocations(tag);
    return total;
  };
  // A clean start tells how many allocations there are to fail.
  const uint64_t before = allocations();
  ASSERT_EQ(Parse(set), STATUS_SUCCESS);
  ASSERT_EQ(audio_->Configure(), STATUS_SUCCESS);
  audio_.reset();
  const long count = static_cast<long>(allocations() - before);
  ASSERT_GT(count, 20);

  int failures = 0;
  for (long nth = 0; nth < count; ++nth) {
    platform::FailPoolAllocation(0, nth);
    NTSTATUS status = Parse(set);
    if (NT_SUCCESS(status)) status = audio_->Configure();
    platform::ResetFaultInjection();
    audio_.reset();
    device_.reset();
    if (!NT_SUCCESS(status)) {
      // Some allocations are optional (the DSD probe's buffer): those starts succeed.
      ++failures;
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "failure " << nth << " gave 0x" << std::hex << status;
    }
    ASSERT_EQ(platform::OutstandingPoolAllocations(), 0u) << "after failure " << nth << ": "
                                                          << platform::DescribeOutstandingPool();
    ASSERT_EQ(platform::OutstandingIrps(), 0u) << "after failure " << nth;
  }
  EXPECT_GT(failures, count / 2);
}

TEST(IsoPacking, PacketsAreMovedTogetherAndHostileOffsetsIgnored) {
  struct {
    _URB_ISOCH_TRANSFER header;
    USBD_ISO_PACKET_DESCRIPTOR more[3];
  } urb = {};
  UCHAR buffer[64];
  for (int i = 0; i < 64; ++i) buffer[i] = static_cast<UCHAR>(i);
  urb.header.TransferBuffer = buffer;
  // As completed by the bus: the length is what arrived, not the buffer's.
  urb.header.TransferBufferLength = 15;
  urb.header.NumberOfPackets = 4;
  USBD_ISO_PACKET_DESCRIPTOR* packets = urb.header.IsoPacket;
  packets[0] = {0, 4, 0};     // in place
  packets[1] = {16, 3, 0};    // moved to 4
  packets[2] = {32, 0, 0};    // empty
  packets[3] = {60, 8, 0};    // past the end: ignored
  EXPECT_EQ(PackIsoInPackets(&urb.header, sizeof(buffer)), 7u);
  const UCHAR expected[] = {0, 1, 2, 3, 16, 17, 18};
  EXPECT_EQ(0, std::memcmp(buffer, expected, sizeof(expected)));
}

}  // namespace
}  // namespace drivertest
